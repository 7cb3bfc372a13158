// Runs the client-library wrapper on a thread of its own, so that its retry
// loops (minutes while the service starts) never freeze the tray. The window
// hands it jobs; the wrapper's messages, state changes and events come back
// to the window as queued calls. Ending the program cancels every wait.
#pragma once
#include <QObject>
#include <QPointer>
#include <QString>
#include <QThread>
#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>

#include "client_library.h"

namespace vlngui {

// What the wrapper tells the window, each run on the window's thread.
struct WindowCalls {
  std::function<void(const QString&)> show_message;
  std::function<void(int state)> update_tray_state;
  std::function<void(int value, int kind)> client_event;
  std::function<void(const QString&)> append_log_line;
  std::function<void(int arg)> token_pending;
};

class LibraryWorker : public QObject, public LibraryHost {
  Q_OBJECT
 public:
  // window is the object whose thread runs the calls; once it is gone,
  // answers still on their way are dropped.
  LibraryWorker(const Catalogs& catalogs, QObject* window, WindowCalls calls, const VlnApi& api = VlnApi::real());
  ~LibraryWorker() override;

  // Runs job on the library thread, then done(result) on the window thread.
  void run(std::function<int(ClientLibrary&)> job, std::function<void(int)> done = {});
  // Ends every wait at once; the jobs still queued run and give up quickly.
  void cancel();
  // Cancels, lets the last job (close the handle) run and joins the thread.
  void finish(std::function<void(ClientLibrary&)> last);

  void set_window_visible(bool v) { visible_ = v; }
  void set_auto_connect(bool v) { auto_connect_ = v; }
  EventLog& events() { return library_.events(); }

  // LibraryHost
  void show_message(const std::string& text) override;
  void update_tray_state(int state) override;
  void post_client_event(int value, int kind) override;
  void post_token_pending(int arg) override;
  void append_log_line(const std::string& line) override;
  bool main_window_visible() override { return visible_; }
  bool auto_connect() override { return auto_connect_; }
  bool wait(int ms) override;

 private:
  // Queues call on the window's thread, unless the window has gone.
  void to_window(std::function<void()> call);

  QPointer<QObject> window_;
  WindowCalls calls_;
  QThread thread_;
  QObject* context_ = nullptr;  // lives on thread_, the target of jobs
  ClientLibrary library_;
  std::atomic<bool> visible_{false}, auto_connect_{false};
  std::mutex mu_;
  std::condition_variable cv_;
  bool cancelled_ = false;
};

}  // namespace vlngui
