#include "library_worker.h"

#include <QMetaObject>
#include <QPointer>
#include <chrono>

#include "main_connection.h"

namespace vlngui {

LibraryWorker::LibraryWorker(const Catalogs& catalogs, CMainConnection* window, const VlnApi& api)
    : window_(window), library_(catalogs, *this, api) {
  thread_.setObjectName(QStringLiteral("vln-library"));
  context_ = new QObject;
  context_->moveToThread(&thread_);
  connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
  thread_.start();
}

LibraryWorker::~LibraryWorker() {
  if (thread_.isRunning()) finish([](ClientLibrary& l) { l.CloseLibrary(); });
}

void LibraryWorker::run(std::function<int(ClientLibrary&)> job, std::function<void(int)> done) {
  QPointer<CMainConnection> window(window_);
  QMetaObject::invokeMethod(
      context_,
      [this, job = std::move(job), done = std::move(done), window] {
        int result = job(library_);
        if (done && window)
          QMetaObject::invokeMethod(
              window, [done, result] { done(result); }, Qt::QueuedConnection);
      },
      Qt::QueuedConnection);
}

void LibraryWorker::cancel() {
  std::lock_guard<std::mutex> l(mu_);
  cancelled_ = true;
  cv_.notify_all();
}

void LibraryWorker::finish(std::function<void(ClientLibrary&)> last) {
  cancel();
  QMetaObject::invokeMethod(
      context_,
      [this, last = std::move(last)] {
        last(library_);
        thread_.quit();
      },
      Qt::QueuedConnection);
  thread_.wait();
}

bool LibraryWorker::wait(int ms) {
  std::unique_lock<std::mutex> l(mu_);
  cv_.wait_for(l, std::chrono::milliseconds(ms), [this] { return cancelled_; });
  return !cancelled_;
}

void LibraryWorker::show_message(const std::string& text) {
  QString t = QString::fromStdString(text);
  QMetaObject::invokeMethod(
      window_,
      [w = QPointer<CMainConnection>(window_), t] {
        if (w) w->showMessage(t);
      },
      Qt::QueuedConnection);
}

void LibraryWorker::update_tray_state(int state) {
  QMetaObject::invokeMethod(
      window_,
      [w = QPointer<CMainConnection>(window_), state] {
        if (w) w->UpdateTrayState(state);
      },
      Qt::QueuedConnection);
}

void LibraryWorker::post_client_event(int value, int kind) {
  QMetaObject::invokeMethod(
      window_,
      [w = QPointer<CMainConnection>(window_), value, kind] {
        if (w) w->onClientEvent(value, kind);
      },
      Qt::QueuedConnection);
}

void LibraryWorker::append_log_line(const std::string& line) {
  QString t = QString::fromStdString(line);
  QMetaObject::invokeMethod(
      window_,
      [w = QPointer<CMainConnection>(window_), t] {
        if (w) w->appendLogLine(t);
      },
      Qt::QueuedConnection);
}

void LibraryWorker::post_token_pending(int arg) {
  QMetaObject::invokeMethod(
      window_,
      [w = QPointer<CMainConnection>(window_), arg] {
        if (w) w->onTokenPending(arg);
      },
      Qt::QueuedConnection);
}

}  // namespace vlngui
