#include "library_worker.h"

#include <QMetaObject>
#include <chrono>

namespace vlngui {

LibraryWorker::LibraryWorker(const Catalogs& catalogs, QObject* window, WindowCalls calls, const VlnApi& api)
    : window_(window), calls_(std::move(calls)), library_(catalogs, *this, api) {
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
  QMetaObject::invokeMethod(
      context_,
      [this, job = std::move(job), done = std::move(done)] {
        int result = job(library_);
        if (done) to_window([done, result] { done(result); });
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

void LibraryWorker::to_window(std::function<void()> call) {
  // The pointer is read here, on the library thread, and again on the
  // window's: a window destroyed in between gets nothing. Each call carries
  // its own copy of the callback, since the worker may be gone by then.
  QPointer<QObject> w = window_;
  if (!w) return;
  QMetaObject::invokeMethod(
      w,
      [w, call = std::move(call)] {
        if (w) call();
      },
      Qt::QueuedConnection);
}

void LibraryWorker::show_message(const std::string& text) {
  to_window([f = calls_.show_message, t = QString::fromStdString(text)] { f(t); });
}

void LibraryWorker::update_tray_state(int state) {
  to_window([f = calls_.update_tray_state, state] { f(state); });
}

void LibraryWorker::post_client_event(int value, int kind) {
  to_window([f = calls_.client_event, value, kind] { f(value, kind); });
}

void LibraryWorker::append_log_line(const std::string& line) {
  to_window([f = calls_.append_log_line, t = QString::fromStdString(line)] { f(t); });
}

void LibraryWorker::post_token_pending(int arg) {
  to_window([f = calls_.token_pending, arg] { f(arg); });
}

}  // namespace vlngui
