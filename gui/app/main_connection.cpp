#include "main_connection.h"

#include <openssl/pem.h>
#include <openssl/x509.h>

#include <QApplication>
#include <QCheckBox>
#include <QCursor>
#include <QDBusConnection>
#include <QFileDialog>
#include <QGridLayout>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QMessageBox>
#include <QPainter>
#include <QRegularExpression>
#include <QSvgRenderer>
#include <QVBoxLayout>
#include <cstdio>
#include <ctime>

#include "catalog_ids.h"
#include "connection_log.h"
#include "cp932.h"
#include "vlntoken.h"

// The icons are compiled into the windows' static library, whose resources
// register only when asked to.
static void load_icon_resources() { Q_INIT_RESOURCE(icons); }

namespace vlngui {

bool (*DialogHooks::settings)(QWidget*, CMainFileFunction&) = nullptr;
bool (*DialogHooks::proxy)(QWidget*, ProxyDialogData&) = nullptr;

namespace {

constexpr int kTrayRounds = 60;
constexpr int kTrayRetryMs = 5000;
constexpr int kTipMax = 127;
constexpr int kBalloonTitleMax = 63;
constexpr int kBalloonTextMax = 255;
constexpr int kStatisticsMs = 2000;
// The token monitor's two notices.
constexpr unsigned kTokenState = 0x8001;
constexpr unsigned kTokenPending = 0x8002;
constexpr char kAdapterDescription[] = "Velarn Virtual Ethernet";

std::string between(const std::string& text, const std::string& tag) {
  std::string open = "<" + tag + ">", close = "</" + tag + ">";
  size_t b = text.find(open);
  if (b == std::string::npos) return {};
  b += open.size();
  size_t e = text.find(close, b);
  return e == std::string::npos ? std::string() : text.substr(b, e - b);
}

bool octets(const std::string& text, int out[4]) {
  return std::sscanf(text.c_str(), "%d.%d.%d.%d", &out[0], &out[1], &out[2], &out[3]) == 4;
}

void token_notice(void* context, unsigned message) {
  auto* w = static_cast<CMainConnection*>(context);
  QMetaObject::invokeMethod(
      w,
      [w, message] {
        if (message == kTokenState)
          w->onTokenState();
        else if (message == kTokenPending)
          w->onTokenPending(0);
      },
      Qt::QueuedConnection);
}

// The first present of the fields, in order.
std::string name_part(X509_NAME* name, std::initializer_list<int> nids) {
  for (int nid : nids) {
    char buf[256];
    if (X509_NAME_get_text_by_NID(name, nid, buf, sizeof buf) > 0) return buf;
  }
  return {};
}

// "2026/3/7" in local time, without leading zeros.
std::string local_day(const ASN1_TIME* t) {
  struct tm tm {};
  if (!t || ASN1_TIME_to_tm(t, &tm) != 1) return {};
  time_t utc = timegm(&tm);
  struct tm local {};
  localtime_r(&utc, &local);
  return std::to_string(local.tm_year + 1900) + "/" + std::to_string(local.tm_mon + 1) + "/" +
         std::to_string(local.tm_mday);
}

}  // namespace

CertificateLines certificate_lines(const std::string& pem) {
  CertificateLines out;
  BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
  X509* cert = bio ? PEM_read_bio_X509(bio, nullptr, nullptr, nullptr) : nullptr;
  BIO_free(bio);
  if (!cert) return out;
  out.subject =
      name_part(X509_get_subject_name(cert), {NID_commonName, NID_organizationalUnitName, NID_organizationName,
                                              NID_stateOrProvinceName, NID_localityName, NID_countryName});
  out.issuer =
      name_part(X509_get_issuer_name(cert), {NID_commonName, NID_organizationalUnitName, NID_organizationName});
  out.validity = local_day(X509_get0_notBefore(cert)) + "\u3000\uff5e\u3000" + local_day(X509_get0_notAfter(cert));
  out.ok = true;
  X509_free(cert);
  return out;
}

QIcon tray_state_icon(int state) {
  static const bool loaded = (load_icon_resources(), true);
  (void)loaded;
  static const char* const kFiles[] = {":/icons/tray-idle.svg", ":/icons/tray-connecting.svg",
                                       ":/icons/tray-connected.svg"};
  const char* file = state == 0 ? kFiles[0] : state == 2 ? kFiles[2] : kFiles[1];
  QSvgRenderer svg{QString::fromLatin1(file)};
  QIcon icon;
  // Rendered at each size a panel asks for, so that no size is a blurred
  // scaling of another.
  for (int size : {16, 22, 24, 32, 48, 64}) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    svg.render(&p);
    icon.addPixmap(pm);
  }
  return icon;
}

std::string address_conflict(const std::vector<velarn::AdapterInfo>& adapters) {
  const velarn::AdapterInfo* own = nullptr;
  for (const auto& a : adapters)
    if (a.description.rfind(kAdapterDescription, 0) == 0) {
      own = &a;
      break;
    }
  if (!own || own->ip_address == "0.0.0.0") return {};
  int oa[4], om[4];
  if (!octets(own->ip_address, oa) || !octets(own->ip_mask, om)) return {};
  auto leading = [](const int m[4]) {
    int n = 0;
    while (n < 4 && m[n] != 0) ++n;
    return n;
  };
  for (const auto& a : adapters) {
    if (a.description.rfind(kAdapterDescription, 0) == 0) continue;
    int aa[4], am[4];
    if (!octets(a.ip_address, aa) || !octets(a.ip_mask, am)) continue;
    int n = std::min(leading(om), leading(am));
    if (n == 0) continue;
    bool same = true;
    for (int i = 0; i < n; ++i) same = same && aa[i] == oa[i];
    if (same) return a.ip_address;
  }
  return {};
}

std::string format_duration(int64_t seconds) {
  char buf[32];
  std::snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", static_cast<long long>(seconds / 3600),
                static_cast<long long>(seconds / 60 % 60), static_cast<long long>(seconds % 60));
  return buf;
}

std::string format_bytes(uint64_t bytes) {
  static const char* const kUnits[] = {"B", "KB", "MB", "GB", "TB"};
  double v = static_cast<double>(bytes);
  int u = 0;
  while (v >= 1024 && u < 4) {
    v /= 1024;
    ++u;
  }
  char buf[32];
  if (u == 0)
    std::snprintf(buf, sizeof buf, "%llu B", static_cast<unsigned long long>(bytes));
  else
    std::snprintf(buf, sizeof buf, "%.1f %s", v, kUnits[u]);
  return buf;
}

// ---- construction and the login form

CMainConnection::CMainConnection(const AppContext& ctx, const VlnApi& api) : ctx_(ctx) {
  setWindowTitle(QString::fromStdString(ctx_.main_title));
  setWindowIcon(tray_state_icon(2));
  launch = [folder = ctx_.data_folder](const std::string& cmd) { return LaunchCommand(cmd, folder); };
  WindowCalls calls;
  calls.show_message = [this](const QString& text) { showMessage(text); };
  calls.update_tray_state = [this](int state) { UpdateTrayState(state); };
  calls.client_event = [this](int value, int kind) { onClientEvent(value, kind); };
  calls.append_log_line = [this](const QString& line) { appendLogLine(line); };
  calls.token_pending = [this](int arg) { onTokenPending(arg); };
  worker_ = std::make_unique<LibraryWorker>(*ctx_.catalogs, this, std::move(calls), api);

  Paths paths;
  paths.programFolder = QString::fromStdString(ctx_.program_folder);
  paths.dataFolder = QString::fromStdString(ctx_.data_folder);
  paths.currentProfile = QString::fromStdString(ctx_.current_profile_path);
  paths.settingsFile = QString::fromStdString(ctx_.settings_path);
  paths.startupProfile = QString::fromStdString(ctx_.startup_profile_path);
  SetPaths(paths);
  Hooks& h = GetHooks();
  h.message = [this](unsigned id, unsigned, const QString& arg) {
    QString t = text(int(id));
    if (!arg.isEmpty()) t += QStringLiteral("\n\n") + arg;
    return ask(t, false);
  };
  h.catalogText = [this](unsigned id) { return text(int(id)); };
  h.encrypt = [this](const QString& plain) {
    // The worker's library is busy elsewhere at times; encoding needs no
    // handle, so a wrapper of its own does it here.
    struct Quiet : LibraryHost {
      void show_message(const std::string&) override {}
      void update_tray_state(int) override {}
      void post_client_event(int, int) override {}
      void post_token_pending(int) override {}
      bool main_window_visible() override { return false; }
      bool auto_connect() override { return false; }
      bool wait(int) override { return false; }
    } quiet;
    ClientLibrary lib(*ctx_.catalogs, quiet);
    std::string enc = lib.EncryptSecret(plain.toStdString());
    if (enc.empty()) ask(text(ids::kEncryptFailed), false);
    return QString::fromStdString(enc);
  };
  if (ctx_.ensure_access) h.ensureAccess = ctx_.ensure_access;
  h.proxyDialog = [this](ProxyDialogData& d) {
    if (DialogHooks::proxy) return DialogHooks::proxy(this, d);
    std::fprintf(stderr, "vlngui: the proxy dialog is not available\n");
    return false;
  };

  build_form();
  tray_.setIcon(tray_state_icon(0));
  connect(&tray_, &QSystemTrayIcon::activated, this, &CMainConnection::tray_activated);
  stats_timer_.setInterval(kStatisticsMs);
  connect(&stats_timer_, &QTimer::timeout, this, &CMainConnection::poll_statistics);
  // logind's notice stands for the query-suspend broadcast; without a
  // system bus it never comes.
  QDBusConnection bus = QDBusConnection::systemBus();
  if (bus.isConnected())
    bus.connect(QStringLiteral("org.freedesktop.login1"), QStringLiteral("/org/freedesktop/login1"),
                QStringLiteral("org.freedesktop.login1.Manager"), QStringLiteral("PrepareForSleep"), this,
                SLOT(onPrepareForSleep(bool)));
  ClearSettings();
  TokenDataInit();
}

CMainConnection::~CMainConnection() {
  shutdown();
  release_token();
  TokenDataFree();
  // A top-level window of its own, so no child: it goes with its owner.
  delete log_window_.data();
}

void CMainConnection::build_form() {
  auto* outer = new QVBoxLayout(this);
  outer->setContentsMargins(0, 0, 0, 0);
  auto* banner = new QLabel(this);
  banner->setObjectName(QStringLiteral("163"));
  banner->setText(QString::fromStdString(ctx_.product_title));
  banner->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  banner->setStyleSheet(
      QStringLiteral("background:#1f3a5a; color:white; font-size:15pt; font-weight:bold; padding:12px;"));
  outer->addWidget(banner);

  auto* grid = new QGridLayout;
  grid->setContentsMargins(12, 8, 12, 8);
  auto label = [this](int id, const QString& caption) {
    auto* l = new QLabel(caption, this);
    l->setObjectName(QString::number(id));
    return l;
  };
  auto caption = [&](int id) { return label(id, text(id)); };
  int row = 0;
  for (int i = 0; i < 3; ++i, ++row) {
    grid->addWidget(caption(10002 + i), row, 0);
    grid->addWidget(label(10005 + i, QString()), row, 1);
  }
  struct Field {
    int caption, edit;
    bool masked;
  };
  for (Field f : {Field{10021, 10061, false}, Field{10022, 10062, true}, Field{10020, 10063, true}}) {
    grid->addWidget(caption(f.caption), row, 0);
    auto* e = new QLineEdit(this);
    e->setObjectName(QString::number(f.edit));
    if (f.masked) e->setEchoMode(QLineEdit::Password);
    e->installEventFilter(this);
    grid->addWidget(e, row++, 1);
  }
  for (int i = 0; i < 3; ++i, ++row) {
    grid->addWidget(caption(10011 + i), row, 0);
    grid->addWidget(label(10014 + i, QString()), row, 1);
  }
  auto* remember = new QCheckBox(text(10071), this);
  remember->setObjectName(QStringLiteral("10071"));
  remember->hide();
  grid->addWidget(remember, row++, 1);
  outer->addLayout(grid);

  auto* buttons = new QHBoxLayout;
  buttons->setContentsMargins(12, 0, 12, 8);
  buttons->addStretch();
  for (int id : {10031, 10034, 10035}) {
    auto* b = new QPushButton(text(id), this);
    b->setObjectName(QString::number(id));
    b->installEventFilter(this);
    buttons->addWidget(b);
  }
  outer->addLayout(buttons);
  status_ = new QStatusBar(this);
  status_->setSizeGripEnabled(false);
  outer->addWidget(status_);

  connect(static_cast<QPushButton*>(control(10031)), &QPushButton::clicked, this, &CMainConnection::ConnectButton);
  connect(static_cast<QPushButton*>(control(10034)), &QPushButton::clicked, this, &CMainConnection::openConnectionLog);
  connect(static_cast<QPushButton*>(control(10035)), &QPushButton::clicked, this, [this] {
    hide_window();
    if (idle_ && !profile_restored_) {
      reloadCurrentProfile();
      profile_restored_ = true;
    }
  });
  setMinimumWidth(380);
}

QWidget* CMainConnection::control(int id) const { return findChild<QWidget*>(QString::number(id)); }
QLineEdit* CMainConnection::edit(int id) const { return findChild<QLineEdit*>(QString::number(id)); }
QString CMainConnection::statusText() const { return status_ ? status_->currentMessage() : QString(); }

CMainConnection::Mode CMainConnection::mode() const {
  switch (Current().authKind) {
    case ProfileRecord::AuthCertificate: return Mode::Certificate;
    case ProfileRecord::AuthToken: return Mode::Token;
    default: return Mode::Password;
  }
}

// ---- messages

int CMainConnection::ask(const QString& t, bool question) {
  const bool was = interaction_;
  interaction_ = false;
  if (isVisible()) bring_forward();
  QMessageBox box(question ? QMessageBox::Question : QMessageBox::Warning, QString::fromStdString(ctx_.product_title),
                  QString(t).replace(QLatin1String("\r\n"), QLatin1String("\n")),
                  question ? QMessageBox::Yes | QMessageBox::No : QMessageBox::Ok, isVisible() ? this : nullptr);
  int r = box.exec();
  interaction_ = was;
  return r;
}

void CMainConnection::showMessage(const QString& t) {
  messages_.push_back(t);
  if (!showing_message_) show_next_message();
}

void CMainConnection::show_next_message() {
  // One box at a time, in the order the wrapper raised them.
  showing_message_ = true;
  while (!messages_.empty()) {
    QString t = messages_.front();
    messages_.pop_front();
    interaction_ = false;
    QMessageBox box(QMessageBox::Warning, QString::fromStdString(ctx_.product_title), t, QMessageBox::Ok);
    box.exec();
    interaction_ = true;
  }
  showing_message_ = false;
}

void CMainConnection::notify(const QString& t) {
  if (tray_.isVisible())
    tray_.showMessage(QString::fromStdString(ctx_.product_title).left(kBalloonTitleMax), t.left(kBalloonTextMax),
                      QSystemTrayIcon::Information, 3000);
}

bool CMainConnection::popup_box_open() const {
  const QString title = text(23050);
  for (QWidget* w : QApplication::topLevelWidgets())
    if (w->isVisible() && w->windowTitle() == title && qobject_cast<QMessageBox*>(w)) return true;
  return popup_up_;
}

// ---- tray

bool CMainConnection::add_tray_icon() {
  tray_.setIcon(tray_state_icon(0));
  icon_state_ = 0;
  tray_.setToolTip(text(20020));
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
  start_flow(plan);
  return true;
}

void CMainConnection::shutdown() {
  stats_timer_.stop();
  if (worker_) {
    worker_->finish([](ClientLibrary& l) { l.CloseLibrary(); });
    worker_.reset();
  }
}

void CMainConnection::tray_activated(QSystemTrayIcon::ActivationReason reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      RefreshState();
      if (isVisible() || !interaction_) bring_forward();
      break;
    case QSystemTrayIcon::DoubleClick:
      if (!isVisible() && interaction_) {
        if (idle_)
          trayMenuAction(10002);
        else if (!ignore_disconnection())
          AskDisconnect();
      } else {
        bring_forward();
      }
      break;
    case QSystemTrayIcon::Context:
      if (!isVisible() && interaction_) {
        RefreshState();
        if (log_window_) log_window_->raise();
        show_tray_menu();
      } else {
        bring_forward();
      }
      break;
    default: break;
  }
}

std::unique_ptr<QMenu> CMainConnection::buildTrayMenu() {
  auto menu = std::make_unique<QMenu>();
  auto item = [this](QMenu* m, int id, int caption) {
    QAction* a = m->addAction(text(caption));
    a->setData(id);
    connect(a, &QAction::triggered, this, [this, id] { trayMenuAction(id); });
  };
  if (idle_) {
    QMenu* sub = menu->addMenu(text(20010));
    item(sub, 10001, 20014);
    sub->addSeparator();
    item(sub, 10005, 20015);
    sub->addSeparator();
    item(sub, 10006, 20016);
    menu->addSeparator();
  }
  item(menu.get(), 10007, 20017);
  menu->addSeparator();
  if (idle_) {
    item(menu.get(), 10002, 20011);
    menu->addSeparator();
  } else if (!ignore_disconnection()) {
    item(menu.get(), 10003, 20012);
    menu->addSeparator();
  }
  item(menu.get(), 10004, 20013);
  return menu;
}

void CMainConnection::show_tray_menu() {
  std::unique_ptr<QMenu> menu = buildTrayMenu();
  menu->exec(QCursor::pos());
}

void CMainConnection::trayMenuAction(int id) {
  switch (id) {
    case 10001:
      ClearSettings();
      reload_current();
      if (DialogHooks::settings) {
        DialogHooks::settings(this, *this);
      } else {
        std::fprintf(stderr, "vlngui: the settings dialogs are not available\n");
        appendLogLine(text(20046));
      }
      reload_current();
      break;
    case 10002:
      interaction_ = false;
      profile_restored_ = true;
      ClearSettings();
      if (!reload_current() || !ConnectRequest()) {
        if (DialogHooks::settings)
          DialogHooks::settings(this, *this);
        else
          std::fprintf(stderr, "vlngui: the settings dialogs are not available\n");
      }
      interaction_ = true;
      break;
    case 10003: AskDisconnect(); break;
    case 10004: exit_program(); break;
    case 10005: import_profile(); break;
    case 10006: export_profile(); break;
    case 10007: openConnectionLog(); break;
    default: break;
  }
}

void CMainConnection::exit_program() {
  int id = idle_ ? 20112 : mode() == Mode::Token ? 20114 : 20113;
  if (ask(text(id), true) != QMessageBox::Yes) return;
  const bool disconnect = mode() == Mode::Token && !idle_;
  RemoveTrayIcon();
  if (disconnect) DoDisconnect();
  shutdown();
}

void CMainConnection::import_profile() {
  QString path =
      QFileDialog::getOpenFileName(nullptr, QString::fromStdString(ctx_.product_title), QString(), text(20050));
  // Only the two spellings of the profile extension count; other names are ignored.
  if (!path.endsWith(QLatin1String(".vln")) && !path.endsWith(QLatin1String(".VLN"))) return;
  if (load_profile(path))
    ApplySettings();
  else
    ask(QString::fromStdString(format_text(ctx_.catalogs->text(22002), {path.toStdString()})), false);
}

void CMainConnection::export_profile() {
  QString path =
      QFileDialog::getSaveFileName(nullptr, QString::fromStdString(ctx_.product_title), QString(), text(20050));
  if (path.isEmpty()) return;
  reloadCurrentProfile();
  if (!WriteProfileFile(path))
    ask(QString::fromStdString(format_text(ctx_.catalogs->text(22001), {ctx_.current_profile_path})), false);
}

void CMainConnection::openConnectionLog() {
  if (log_window_) {
    log_window_->show();
    log_window_->raise();
    log_window_->activateWindow();
    return;
  }
  std::vector<std::string> entries = worker_ ? worker_->events().entries() : std::vector<std::string>{};
  log_window_ = new ConnectionLog(text(20045), text(10035), entries);
  log_window_->setWindowIcon(windowIcon());
  log_window_->setSummary(extra_tip());
  log_window_->show();
}

void CMainConnection::appendLogLine(const QString& line) {
  // The service's wording, or the Japanese catalog's rewording of it.
  static const QRegularExpression kAddress(
      QStringLiteral("(?:has the address|\u30a2\u30c9\u30ec\u30b9:) ([0-9]+(?:\\.[0-9]+){3}(?:/[0-9]+)?)"));
  QRegularExpressionMatch m = kAddress.match(line);
  if (m.hasMatch()) {
    adapter_address_ = m.captured(1);
    if (icon_state_ == 2) UpdateTrayState(2);
  }
  if (log_window_) {
    log_window_->appendLine(line);
    log_window_->setSummary(extra_tip());
  }
}

// ---- state

QString CMainConnection::extra_tip() const {
  QStringList lines;
  if (!statistics_.isEmpty()) lines << statistics_;
  if (!adapter_address_.isEmpty())
    lines << QString::fromStdString(format_text(ctx_.catalogs->text(20042), {adapter_address_.toStdString()}));
  return lines.join(QLatin1Char('\n'));
}

void CMainConnection::UpdateTrayState(int state) {
  std::string tip = ctx_.title_with_version + "\r\n";
  switch (state) {
    case 0:
      tip += ctx_.catalogs->text(20020);
      idle_ = true;
      break;
    case 2:
      tip += ctx_.catalogs->text(20022) + "\r\n" + connected_to_;
      idle_ = false;
      if (isVisible()) {
        if (worker_) worker_->events().clear_current();
        status_->clearMessage();
        hide_window();
      }
      if (!Current().settings.executeConnected.isEmpty() && !executed_) {
        launch(Current().settings.executeConnected.toStdString());
        executed_ = true;
      }
      break;
    case 1:
    case 3:
    case 4:
      tip += ctx_.catalogs->text(20021);
      idle_ = false;
      break;
    default: return;
  }
  // The tip keeps its classic length; the counters follow it on their own lines.
  QString full = QString::fromStdString(tip).replace(QLatin1String("\r\n"), QLatin1String("\n")).left(kTipMax);
  if (state == 2 && !extra_tip().isEmpty()) full += QLatin1Char('\n') + extra_tip();
  tray_.setToolTip(full);
  const int icon = state == 0 ? 0 : state == 2 ? 2 : 1;
  if (icon != icon_state_) tray_.setIcon(tray_state_icon(icon));
  icon_state_ = icon;

  // Desktop notices: the state's edges, told once each.
  if (state != last_state_) {
    if (state == 2) {
      notify(lost_ ? text(20044)
                   : QString::fromStdString(connected_to_.empty() ? ctx_.catalogs->text(20022) : connected_to_));
      lost_ = false;
      user_disconnect_ = false;
    } else if (last_state_ == 2 && !user_disconnect_) {
      notify(text(20043));
      lost_ = true;
    }
    if (state == 0) {
      user_disconnect_ = false;
      if (lost_ && last_state_ != 2) lost_ = false;
    }
    last_state_ = state;
  }
  if (idle_) {
    stats_timer_.stop();
    statistics_.clear();
    adapter_address_.clear();
  } else {
    if (!stats_timer_.isActive()) stats_timer_.start();
    std::vector<velarn::AdapterInfo> adapters;
    std::string other = velarn::get_adapters(adapters) ? address_conflict(adapters) : std::string();
    if (!other.empty())
      tray_.showMessage(text(20030).left(kBalloonTitleMax),
                        QString::fromStdString(format_text(ctx_.catalogs->text(20031), {other})).left(kBalloonTextMax),
                        QSystemTrayIcon::Information, 3000);
  }
}

void CMainConnection::poll_statistics() {
  if (!worker_ || idle_) return;
  auto stats = std::make_shared<VLN_Statistics>();
  worker_->run(
      [stats](ClientLibrary& l) { return l.QueryStatistics(stats.get()) ? 1 : 0; },
      [this, stats](int ok) {
        if (!ok || idle_) return;
        statistics_ = QString::fromStdString(
            format_text(ctx_.catalogs->text(20040), {format_duration(stats->seconds)}) + "\n" +
            format_text(ctx_.catalogs->text(20041), {format_bytes(stats->sent), format_bytes(stats->received)}));
        if (icon_state_ == 2) UpdateTrayState(2);
        if (log_window_) log_window_->setSummary(extra_tip());
      });
}

void CMainConnection::start_library(std::function<void(bool)> then) {
  worker_->run([](ClientLibrary& l) { return l.StartLibrary(); },
               [this, then = std::move(then)](int ok) {
                 library_started_ = ok;
                 then(ok);
               });
}

void CMainConnection::fill_connected_to(std::function<void()> then) {
  auto text_out = std::make_shared<std::string>();
  worker_->run([text_out](ClientLibrary& l) { return l.GetSessionProfile(text_out.get()); },
               [this, text_out, then = std::move(then)](int) {
                 connected_to_ = format_text(ctx_.catalogs->text(20025),
                                             {between(*text_out, "host"), between(*text_out, "switch")});
                 if (then) then();
               });
}

void CMainConnection::RefreshState(std::function<void()> then) {
  if (!worker_) return;
  auto st = std::make_shared<int32_t>(0);
  worker_->run([st](ClientLibrary& l) { return l.handle() && l.QueryState(st.get()); },
               [this, st, then = std::move(then)](int ok) {
                 if (!ok) {
                   if (then) then();
                   return;
                 }
                 int state = *st;
                 if (connected_to_.empty() && state != 0) {
                   fill_connected_to([this, state, then] {
                     UpdateTrayState(state);
                     if (then) then();
                   });
                   return;
                 }
                 UpdateTrayState(state);
                 if (then) then();
               });
}

// ---- connecting

void CMainConnection::DoConnect() {
  std::string profile = BuildConnectProfile().toStdString();
  user_disconnect_ = false;
  worker_->run([profile](ClientLibrary& l) { return l.ConnectProfile(profile); },
               [this](int ok) {
                 if (ok) idle_ = false;
                 interaction_ = true;
                 update_controls();
               });
}

void CMainConnection::DoDisconnect() {
  idle_ = true;
  executed_ = false;
  user_disconnect_ = true;
  connected_to_.clear();
  if (worker_)
    worker_->run([](ClientLibrary& l) {
      l.DisconnectSession();
      return 0;
    });
  update_controls();
}

void CMainConnection::ConnectButton() {
  if (!idle_) {
    control(10031)->setEnabled(false);
    DoDisconnect();
    return;
  }
  if (!validate_login()) return;
  DoConnect();
  update_controls();
  Current().password.clear();
  Current().pin.clear();
}

void CMainConnection::AskDisconnect() {
  if (isVisible() || !interaction_) return;
  if (ask(text(23011), true) == QMessageBox::Yes) {
    DoDisconnect();
    if (!profile_restored_) {
      reload_current();
      profile_restored_ = true;
    }
  }
}

bool CMainConnection::ConnectRequest() {
  if (!idle_) return true;
  interaction_ = false;
  ProfileRecord& p = Current();
  if (mode() == Mode::Token) {
    if (p.driver.isEmpty()) {
      interaction_ = true;
      return false;
    }
    if (!prepare_token()) {
      interaction_ = true;
      return true;
    }
  }
  int fault = 0;
  if (p.host.isEmpty())
    fault = 22211;
  else if (p.port.isEmpty())
    fault = 22212;
  else if (p.switchName.isEmpty())
    fault = 22213;
  else if (p.trust.isEmpty())
    fault = 22018;
  else if (mode() == Mode::Token && p.driver.isEmpty())
    fault = 22203;
  else if (mode() == Mode::Certificate && p.certificate.isEmpty())
    fault = 22012;
  if (fault) {
    ask(text(fault), false);
    interaction_ = true;
    return false;
  }
  interaction_ = true;
  if (auto_connect()) {
    DoConnect();
  } else if (show_connect()) {
    ShowLoginWindow();
  } else if (mode() == Mode::Token) {
    if (!p.pin.isEmpty() || !p.encPin.isEmpty())
      DoConnect();
    else
      ShowLoginWindow();
  } else if (mode() == Mode::Certificate) {
    DoConnect();
  } else if (p.username.isEmpty() || (p.password.isEmpty() && p.encPassword.isEmpty())) {
    ShowLoginWindow();
  } else {
    DoConnect();
  }
  return true;
}

void CMainConnection::ShowLoginWindow() {
  bring_forward();
  if (idle_) control(10031)->setEnabled(true);
  show();
  if (worker_) worker_->set_window_visible(true);
  const ProfileRecord& p = Current();
  static_cast<QLabel*>(control(10005))->setText(p.host);
  static_cast<QLabel*>(control(10006))->setText(p.port);
  static_cast<QLabel*>(control(10007))->setText(p.switchName);
  for (int id : {10061, 10062, 10063, 10020, 10021, 10022, 10011, 10012, 10013, 10014, 10015, 10016})
    control(id)->hide();
  switch (mode()) {
    case Mode::Password:
      for (int id : {10061, 10062, 10021, 10022}) control(id)->show();
      edit(10061)->setText(p.username);
      edit(10062)->setText(p.encPassword);
      (p.username.isEmpty() ? edit(10061) : edit(10062))->setFocus();
      break;
    case Mode::Certificate: {
      for (int id : {10011, 10012, 10013, 10014, 10015, 10016}) control(id)->show();
      CertificateLines c = certificate_lines(p.certificate.toStdString());
      if (c.ok) {
        static_cast<QLabel*>(control(10014))->setText(QString::fromStdString(c.subject));
        static_cast<QLabel*>(control(10015))->setText(QString::fromStdString(c.issuer));
        static_cast<QLabel*>(control(10016))->setText(QString::fromStdString(c.validity));
      }
      break;
    }
    case Mode::Token:
      for (int id : {10020, 10063}) control(id)->show();
      edit(10063)->setText(p.encPin);
      edit(10063)->setFocus();
      break;
  }
  update_controls();
  status_->clearMessage();
  // The rows of the other modes are hidden: no room kept for them.
  adjustSize();
}

bool CMainConnection::validate_login() {
  ProfileRecord& p = Current();
  auto fail = [this](int id, QLineEdit* focus) {
    bring_forward();
    ask(text(id), false);
    if (focus) focus->setFocus();
    return false;
  };
  if (mode() == Mode::Token) {
    QString pin = edit(10063)->text();
    if (velarn::cp932::has_kana_or_kanji(pin)) return fail(22220, edit(10063));
    if (pin.isEmpty()) return fail(22201, edit(10063));
    if (pin != p.encPin) p.pin = pin;
    return true;
  }
  if (mode() == Mode::Password) {
    QString user = edit(10061)->text(), pass = edit(10062)->text();
    if (user.isEmpty()) return fail(22204, edit(10061));
    if (pass.isEmpty()) return fail(22204, edit(10062));
    if (velarn::cp932::has_kana_or_kanji(user)) return fail(22220, edit(10061));
    if (velarn::cp932::has_kana_or_kanji(pass)) return fail(22220, edit(10062));
    if (user.size() >= 17) return fail(22221, edit(10061));
    if (pass.size() >= 126) return fail(22223, edit(10062));
    p.username = user;
    if (pass != p.encPassword) {
      p.password = pass;
      p.encPassword.clear();
    }
  }
  return true;
}

void CMainConnection::update_controls() {
  const std::vector<int> ids = mode() == Mode::Token      ? std::vector<int>{10020, 10063, 10071}
                               : mode() == Mode::Password ? std::vector<int>{10061, 10062, 10021, 10022, 10071}
                                                          : std::vector<int>{};
  for (int id : ids) control(id)->setEnabled(idle_);
  static_cast<QPushButton*>(control(10031))->setText(text(idle_ ? 10031 : 10032));
}

void CMainConnection::onClientEvent(int value, int kind) {
  QString current = worker_ ? QString::fromStdString(worker_->events().current_text()) : QString();
  if (!current.isEmpty() && isVisible()) status_->showMessage(current);
  if (kind == 1) {
    QString popup = QString::fromStdString(worker_ ? worker_->events().take_popup() : std::string());
    if (!popup.isEmpty() && !popup_box_open()) {
      popup_up_ = true;
      QMessageBox box(QMessageBox::Warning, text(23050), popup, QMessageBox::Ok);
      box.exec();
      popup_up_ = false;
      if (is_abnormal_end(popup.toStdString(), *ctx_.catalogs) && worker_)
        worker_->run([](ClientLibrary& l) {
          l.RefreshAfterRestart();
          return 0;
        });
    }
  } else if (kind == 0) {
    if (value == 2 && connected_to_.empty() && worker_) {
      fill_connected_to([this] {
        if (!idle_) UpdateTrayState(2);
      });
    }
    UpdateTrayState(value);
  }
  if (value == 0) {
    control(10031)->setEnabled(true);
    if (isVisible()) control(10031)->setFocus();
  }
  update_controls();
}

// ---- window behaviour

void CMainConnection::bring_forward() {
  if (!isVisible()) return;
  raise();
  activateWindow();
}

void CMainConnection::hide_window() {
  hide();
  if (worker_) worker_->set_window_visible(false);
}

bool CMainConnection::eventFilter(QObject* watched, QEvent* event) {
  if (event->type() == QEvent::KeyPress) {
    auto* key = static_cast<QKeyEvent*>(event);
    const int k = key->key();
    if (k == Qt::Key_Escape) return true;  // never closes the window
    if (k == Qt::Key_Return || k == Qt::Key_Enter) {
      enter_pressed(qobject_cast<QWidget*>(watched));
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void CMainConnection::keyPressEvent(QKeyEvent* event) {
  const int k = event->key();
  if (k == Qt::Key_Escape) return;
  if (k == Qt::Key_Return || k == Qt::Key_Enter) return enter_pressed(nullptr);
  QWidget::keyPressEvent(event);
}

void CMainConnection::enter_pressed(QWidget* focus) {
  if (!isVisible()) return;
  // Enter on the log or close button presses that button, as on any dialog.
  for (int id : {10034, 10035})
    if (focus == control(id)) {
      static_cast<QPushButton*>(control(id))->click();
      return;
    }
  ConnectButton();
  bring_forward();
  control(10031)->setFocus();
}

// ---- profiles and tokens

bool CMainConnection::load_profile(const QString& path) {
  if (!LoadProfile(path)) return false;
  if (worker_) worker_->set_auto_connect(auto_connect());
  if (mode() == Mode::Token) start_token_monitor();
  return true;
}

void CMainConnection::reloadCurrentProfile() {
  token_armed_ = false;
  reload_current();
}

bool CMainConnection::reload_current() {
  ClearSettings();
  return load_profile(QString::fromStdString(ctx_.current_profile_path));
}

void CMainConnection::setTokenRecord(TokenData* record) {
  release_token();
  token_ = record;
}

void CMainConnection::release_token() {
  if (!token_) return;
  TokenFree(token_);
  token_ = nullptr;
}

void CMainConnection::start_token_monitor() {
  ProfileRecord& p = Current();
  if (p.driver.isEmpty() || token_) return;
  const std::string path = p.driver.toStdString();
  int rc = TokenLoad(path.c_str(), &token_);
  if (rc == 0) {
    char title[260] = {0};
    rc = TokenGetTitle(path.c_str(), title);
    if (rc == 0)
      token_title_ = title;
    else
      token_title_.clear();
  }
  if (rc != 0) {
    release_token();
    p.driver.clear();
    ask(QString::fromStdString(ctx_.catalogs->token_text(rc)), false);
    return;
  }
  if (token_->driver_flag) {
    TokenNotifier notifier{token_notice, this};
    TokenStartMonitor(token_, nullptr, &notifier);
    TokenNow(token_);
  }
}

bool CMainConnection::prepare_token() {
  ProfileRecord& p = Current();
  const std::string path = p.driver.toStdString();
  TokenData* record = token_;
  TokenData* fresh = nullptr;
  int rc = 0;
  if (!record || !IsTokenInfo(path.c_str(), record)) {
    rc = TokenLoad(path.c_str(), &fresh);
    record = fresh;
  }
  if (rc == 0) rc = TokenGetInfo(record);
  if (rc != 0) {
    if (fresh) TokenFree(fresh);
    if (!auto_connect()) ask(QString::fromStdString(ctx_.catalogs->token_text(rc)), false);
    return false;
  }
  if (record->profile_found) {
    // The device's profile names the servers to use with it.
    if (record->host[0]) p.host = QString::fromUtf8(record->host);
    if (record->port[0]) p.port = QString::fromUtf8(record->port);
    if (record->switch_name[0]) p.switchName = QString::fromUtf8(record->switch_name);
  }
  if (fresh) TokenFree(fresh);
  return true;
}

void CMainConnection::onTokenPending(int arg) {
  if (arg == 1) {
    // The service restarts: give it five seconds, then look again, without
    // holding the window thread.
    interaction_ = false;
    QTimer::singleShot(5000, this, [this] {
      if (!worker_) return;
      worker_->run(
          [](ClientLibrary& l) {
            l.RefreshAfterRestart();
            return 0;
          },
          [this](int) { interaction_ = true; });
    });
    return;
  }
  if (interaction_ && token_monitor() && (mode() != Mode::Token || idle_) && !processing_) {
    auto* box = new QMessageBox(QMessageBox::Information, QString::fromStdString(ctx_.product_title), text(19011),
                                QMessageBox::NoButton);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setModal(false);
    box->show();
    processing_ = box;
  }
}

void CMainConnection::onTokenState() {
  if (processing_) processing_->close();
  if (token_ && token_->token_present == 0) {
    if (suspend_) {
      suspend_ = false;
      return;
    }
    if (!idle_) DoDisconnect();
    if (isVisible()) {
      if (worker_) worker_->events().clear_current();
      status_->clearMessage();
      hide_window();
      return;
    }
  }
  if (popup_box_open() || !interaction_) return;
  const bool present = token_ && token_->token_present;
  if (mode() == Mode::Token && !idle_ && !present) {
    if (!profile_restored_) {
      reload_current();
      profile_restored_ = true;
    }
    token_armed_ = true;
  } else if (!token_armed_) {
    token_armed_ = true;
  } else if (present && token_monitor() && idle_ && !isVisible()) {
    interaction_ = false;
    ConnectRequest();
    interaction_ = true;
  }
}

void CMainConnection::onPrepareForSleep(bool going) {
  if (going) suspend_ = true;
}

void CMainConnection::RemoveTrayIcon() {
  stats_timer_.stop();
  tray_.hide();
  if (worker_) worker_->events().clear();
  if (mode() == Mode::Token) release_token();
  if (log_window_) log_window_->close();
  QApplication::quit();
}

// ---- start flows and forwarded commands

void CMainConnection::start_flow(const StartPlan& plan) {
  switch (plan.flow) {
    case StartFlow::Normal:
      start_library([this](bool ok) {
        if (!ok) return;
        RefreshState([this] {
          // A -connect forwarded while the service was still starting has
          // loaded its own profile by now: that one stays.
          if (profile_restored_) reload_current();
          if (!idle_) RefreshState();
        });
      });
      break;
    case StartFlow::Connect: connect_command(plan.connect_path); break;
    case StartFlow::Startup:
      // The service may still be starting with the desktop session.
      QTimer::singleShot(5000, this, [this] { startup_flow(); });
      break;
    case StartFlow::Nothing: break;
  }
}

void CMainConnection::startup_flow() {
  start_library([this](bool ok) {
    if (!ok) return;
    RefreshState([this] {
      reloadCurrentProfile();
      if (mode() == Mode::Token && auto_connect()) {
        QString startup;
        // A start-up profile means the service runs the session itself.
        if (ReadStartupProfile(startup) && startup.trimmed().isEmpty()) ConnectRequest();
      }
      if (!idle_) RefreshState();
    });
  });
}

void CMainConnection::connect_command(const std::string& path) {
  start_library([this, path](bool ok) {
    if (!ok) return;
    RefreshState([this, path] {
      if (idle_) {
        if (!reload_current()) ApplySettings();
        if (!load_profile(QString::fromStdString(path))) {
          ask(QString::fromStdString(format_text(ctx_.catalogs->text(ids::kProfileLoadFailed), {path})), false);
          return;
        }
        if (idle_) {
          profile_restored_ = false;
          ConnectRequest();
        }
      } else if (!ignore_disconnection()) {
        AskDisconnect();
        ClearSettings();
      }
    });
  });
}

void CMainConnection::HandleForwardedCommand(const std::string& line, std::function<void(int)> reply) {
  ForwardPlan plan = plan_forward(CommandLine(line), interaction_, isVisible());
  if (plan.tray_check && tray_.isVisible()) {
    ask(QString::fromStdString(ctx_.product_title + "\n" + ctx_.catalogs->text(ids::kAlreadyRunning)), false);
    reply(0);
    return;
  }
  if (plan.tray_check) tray_.show();
  switch (plan.action) {
    case ForwardAction::Exit:
      reply(0);
      if (!idle_) DoDisconnect();
      RemoveTrayIcon();
      shutdown();
      std::fflush(nullptr);
      ::exit(0);
    case ForwardAction::ReopenLibrary: worker_->run([](ClientLibrary& l) { return l.ReopenLibrary(); }, reply); return;
    case ForwardAction::CloseLibrary:
      worker_->run(
          [](ClientLibrary& l) {
            l.CloseLibrary();
            return 1;
          },
          reply);
      return;
    case ForwardAction::BringForward: bring_forward(); break;
    case ForwardAction::Connect: {
      profile_restored_ = false;
      if (idle_) {
        // The library may not be open yet when the first start had no
        // command line for it.
        auto go = [this, path = plan.connect_path] {
          if (!load_profile(QString::fromStdString(path))) {
            ask(QString::fromStdString(format_text(ctx_.catalogs->text(ids::kProfileLoadFailed), {path})), false);
            return;
          }
          bring_forward();
          ConnectRequest();
        };
        if (library_started_)
          go();
        else
          start_library([go](bool ok) {
            if (ok) go();
          });
      } else if (!ignore_disconnection()) {
        AskDisconnect();
      }
      break;
    }
    case ForwardAction::Disconnect:
      DoDisconnect();
      if (!profile_restored_) {
        reload_current();
        profile_restored_ = true;
      }
      interaction_ = true;
      break;
    case ForwardAction::Nothing: break;
  }
  reply(0);
}

}  // namespace vlngui
