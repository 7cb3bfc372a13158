#include "main_connection.h"

#include <QApplication>
#include <QGuiApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <cstdio>

#include "catalog_ids.h"
#include "client_gui_app.h"
#include "connect_profile.h"

namespace vlngui {

namespace {

constexpr int kTrayRounds = 60;
constexpr int kTrayRetryMs = 5000;

// The three tray states: idle, in progress, connected.
QIcon state_icon(int state) {
  QPixmap pm(32, 32);
  pm.fill(Qt::transparent);
  QPainter p(&pm);
  p.setRenderHint(QPainter::Antialiasing);
  QColor c = state == 2 ? QColor(40, 160, 60) : state == 0 ? QColor(128, 128, 128) : QColor(230, 160, 0);
  p.setBrush(c);
  p.setPen(Qt::NoPen);
  p.drawEllipse(3, 3, 26, 26);
  return QIcon(pm);
}

std::string between(const std::string& text, const std::string& tag) {
  std::string open = "<" + tag + ">", close = "</" + tag + ">";
  size_t b = text.find(open);
  if (b == std::string::npos) return {};
  b += open.size();
  size_t e = text.find(close, b);
  return e == std::string::npos ? std::string() : text.substr(b, e - b);
}

}  // namespace

CMainConnection::CMainConnection(CClientGUIApp& app) : app_(app) {
  setWindowTitle(QString::fromStdString(app.main_title()));
  worker_ = std::make_unique<LibraryWorker>(app.catalogs(), this);
}

CMainConnection::~CMainConnection() { shutdown(); }

void CMainConnection::shutdown() {
  if (worker_) {
    worker_->finish([](ClientLibrary& l) { l.CloseLibrary(); });
    worker_.reset();
  }
}

bool CMainConnection::add_tray_icon() {
  tray_.setIcon(state_icon(0));
  tray_.setToolTip(QString::fromStdString(app_.text(20020)));
  if (!QSystemTrayIcon::isSystemTrayAvailable()) return false;
  tray_.show();
  return true;
}

bool CMainConnection::init(const StartPlan& plan) {
  // A tray host that is still starting gets the same rounds as a busy shell;
  // a platform without any notification area will never grow one.
  const QString platform = QGuiApplication::platformName();
  const bool never = platform == QLatin1String("offscreen") || platform == QLatin1String("minimal");
  for (int round = 1; !add_tray_icon(); ++round) {
    if (never || round >= kTrayRounds) {
      std::fprintf(stderr, "vlngui: the notification area is not available\n");
      return false;
    }
    QEventLoop loop;
    QTimer::singleShot(kTrayRetryMs, &loop, &QEventLoop::quit);
    loop.exec();
  }
  switch (plan.flow) {
    case StartFlow::Normal:
      start_library([](int) {});
      break;
    case StartFlow::Connect:
      connect_command(plan.connect_path);
      break;
    case StartFlow::Startup:
      // The service may still be starting with the desktop session.
      QTimer::singleShot(5000, this, [this] {
        start_library([](int) {});
      });
      break;
    case StartFlow::Nothing:
      break;
  }
  return true;
}

void CMainConnection::start_library(std::function<void(int)> then) {
  worker_->run([](ClientLibrary& l) {
    if (!l.StartLibrary()) return -1;
    int32_t st = 0;
    return l.QueryState(&st) ? st : -1;
  }, [this, then = std::move(then)](int st) {
    if (st < 0) return;
    UpdateTrayState(st);
    then(st);
  });
}

void CMainConnection::connect_command(const std::string& path) {
  start_library([this, path](int) {
    if (idle_) {
      connect_file(path);
    } else if (!ignore_disconnection_) {
      AskDisconnect();
    }
  });
}

void CMainConnection::connect_file(const std::string& path) {
  std::string profile;
  if (!connect_profile_text(path, &profile)) {
    showMessage(QString::fromStdString(format_text(app_.text(ids::kProfileLoadFailed), {path})));
    return;
  }
  profile_restored_ = false;
  worker_->run([profile](ClientLibrary& l) { return l.ConnectProfile(profile); }, [this](int ok) {
    if (ok) idle_ = false;
    set_interaction(true);
  });
}

void CMainConnection::HandleForwardedCommand(const std::string& text, std::function<void(int)> reply) {
  ForwardPlan plan = plan_forward(CommandLine(text), interaction_, isVisible());
  if (plan.tray_check && tray_.isVisible()) {
    showMessage(QString::fromStdString(app_.text(ids::kAlreadyRunning)));
    reply(0);
    return;
  }
  if (plan.tray_check) tray_.show();
  switch (plan.action) {
    case ForwardAction::Exit:
      reply(0);
      RemoveTrayIcon();
      worker_->finish([idle = idle_](ClientLibrary& l) {
        if (!idle) l.DisconnectSession();
        l.CloseLibrary();
      });
      worker_.reset();
      std::fflush(nullptr);
      ::exit(0);
    case ForwardAction::ReopenLibrary:
      worker_->run([](ClientLibrary& l) { return l.ReopenLibrary(); }, reply);
      return;
    case ForwardAction::CloseLibrary:
      worker_->run([](ClientLibrary& l) { return l.CloseLibrary(); }, reply);
      return;
    case ForwardAction::BringForward:
      if (isVisible()) {
        raise();
        activateWindow();
      }
      break;
    case ForwardAction::Connect:
      profile_restored_ = false;
      if (idle_) {
        connect_file(plan.connect_path);
      } else if (!ignore_disconnection_) {
        AskDisconnect();
      }
      break;
    case ForwardAction::Disconnect:
      DoDisconnect();
      set_interaction(true);
      break;
    case ForwardAction::Nothing:
      break;
  }
  reply(0);
}

void CMainConnection::DoDisconnect() {
  idle_ = true;
  connected_to_.clear();
  if (worker_)
    worker_->run([](ClientLibrary& l) {
      l.DisconnectSession();
      return 0;
    });
}

void CMainConnection::AskDisconnect() {
  if (isVisible() || !interaction_) return;
  set_interaction(false);
  QMessageBox box(QMessageBox::Question, QString::fromStdString(app_.product_title()),
                  QString::fromStdString(app_.text(23011)), QMessageBox::Yes | QMessageBox::No);
  if (box.exec() == QMessageBox::Yes) DoDisconnect();
  set_interaction(true);
}

void CMainConnection::UpdateTrayState(int state) {
  std::string tip = app_.title_with_version() + "\r\n";
  switch (state) {
    case 0: tip += app_.text(20020); idle_ = true; break;
    case 2: tip += app_.text(20022) + "\r\n" + connected_to_; idle_ = false; break;
    case 1: case 3: case 4: tip += app_.text(20021); idle_ = false; break;
    default: return;
  }
  tray_.setIcon(state_icon(state));
  tray_.setToolTip(QString::fromStdString(tip).left(127));
}

void CMainConnection::RemoveTrayIcon() {
  tray_.hide();
  if (worker_) worker_->events().clear();
  QApplication::quit();
}

void CMainConnection::showMessage(const QString& text) {
  messages_.push_back(text);
  if (!showing_message_) show_next_message();
}

void CMainConnection::show_next_message() {
  // One box at a time, in the order the wrapper raised them.
  showing_message_ = true;
  while (!messages_.empty()) {
    QString text = messages_.front();
    messages_.pop_front();
    set_interaction(false);
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(app_.product_title()), text, QMessageBox::Ok);
    box.exec();
    set_interaction(true);
  }
  showing_message_ = false;
}

void CMainConnection::onClientEvent(int value, int kind) {
  if (kind == 1) {
    QString popup = QString::fromStdString(worker_ ? worker_->events().take_popup() : std::string());
    if (!popup.isEmpty() && !popup_up_) {
      popup_up_ = true;
      QMessageBox box(QMessageBox::Warning, QString::fromStdString(app_.text(23050)), popup, QMessageBox::Ok);
      box.exec();
      popup_up_ = false;
      if (is_abnormal_end(popup.toStdString(), app_.catalogs()) && worker_)
        worker_->run([](ClientLibrary& l) {
          l.RefreshAfterRestart();
          return 0;
        });
    }
  } else if (kind == 0) {
    if (value == 2 && connected_to_.empty() && worker_) {
      worker_->run([this](ClientLibrary& l) {
        std::string text;
        l.GetSessionProfile(&text);
        std::string line = format_text(app_.text(20025), {between(text, "host"), between(text, "switch")});
        QMetaObject::invokeMethod(this, [this, line] {
          connected_to_ = line;
          UpdateTrayState(2);
        }, Qt::QueuedConnection);
        return 0;
      });
    }
    UpdateTrayState(value);
  }
}

void CMainConnection::onTokenPending(int arg) {
  if (arg != 1) return;
  // The service restarts: give it five seconds, then look again, without
  // holding the window thread.
  set_interaction(false);
  QTimer::singleShot(5000, this, [this] {
    if (worker_)
      worker_->run([](ClientLibrary& l) {
        l.RefreshAfterRestart();
        return 0;
      }, [this](int) { set_interaction(true); });
  });
}

}  // namespace vlngui
