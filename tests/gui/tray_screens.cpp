// Pictures of the tray client for the documentation: the program's own main
// window and tray icon on a real display with a tray host, driven through
// each state by a scripted client library (no service needed). Writes
// tray-{idle,connecting,connected}, tray-menu, tray-menu-connected,
// login-window, connected-tip and connection-log, each -<lang>.png, into the
// folder given. With TRAY_PANEL=dark only the tray icons are taken, named
// -dark, to show them on a dark panel.
#include <unistd.h>

#include <QApplication>
#include <QDir>
#include <QMenu>
#include <QPainter>
#include <QScreen>
#include <QTimer>
#include <QToolTip>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>

#include "main_connection.h"

using namespace vlngui;

namespace {

const VlnApi kScripted{
    [] { return 0; },
    [](int* h, VLN_Callback) {
      *h = 1;
      return 0;
    },
    [](int, int32_t* s) {
      *s = 0;
      return 0;
    },
    [](int, const char*, const char*) { return 0; },
    [](int) { return 0; },
    [](int, char* b, size_t n) {
      std::snprintf(b, n, "<profile><host>vpn.example.com</host><switch>office</switch></profile>");
      return 0;
    },
    [](const char*, size_t, const char*, size_t, char* out, size_t) {
      std::strcpy(out, "enc_x");
      return 0;
    },
    [](int) { return 0; },
    [](int, VLN_Statistics* st) {
      *st = VLN_Statistics{4521, 1843200, 25690112};
      return 0;
    },
};

// Runs the event loop until ready() or 20 s.
bool pump_until(const std::function<bool()>& ready) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!ready() && std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return ready();
}

void settle(int ms) {
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
}

bool save(const QPixmap& pm, const QString& path) {
  if (pm.isNull() || !pm.save(path)) {
    std::fprintf(stderr, "tray_screens: cannot write %s\n", qPrintable(path));
    return false;
  }
  return true;
}

// A stretch of the panel around the icon, enlarged without smoothing so that
// each pixel the panel shows stays visible.
QPixmap panel_shot(const QRect& icon) {
  QRect r = icon.adjusted(-8, 0, 8, 0).intersected(QGuiApplication::primaryScreen()->geometry());
  QPixmap raw = QGuiApplication::primaryScreen()->grabWindow(0, r.x(), r.y(), r.width(), r.height());
  return raw.scaled(raw.size() * 4, Qt::KeepAspectRatio, Qt::FastTransformation);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: tray_screens OUTDIR\n");
    return 2;
  }
  QApplication app(argc, argv);
  const QString out = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(out);
  const std::string lang = catalog_language();
  const bool dark_panel = qgetenv("TRAY_PANEL") == "dark";
  const QString tag = dark_panel ? QStringLiteral("dark") : QString::fromStdString(lang);
  const std::string self = std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
  Catalogs catalogs;
  if (!catalogs.load(find_catalog_folder(self, lang))) {
    std::fprintf(stderr, "tray_screens: no %s catalogs above %s\n", lang.c_str(), self.c_str());
    return 1;
  }
  const std::string data = QDir::tempPath().toStdString() + "/vlngui-shots-" + std::to_string(::getpid());
  QDir().mkpath(QString::fromStdString(data));

  AppContext ctx;
  ctx.catalogs = &catalogs;
  ctx.product_title = catalogs.text(20101);
  ctx.title_with_version = catalogs.text(20003);
  ctx.main_title = ctx.product_title + " " + catalogs.text(20102);
  ctx.data_folder = data;
  ctx.current_profile_path = data + "/" + catalogs.text(29011);
  ctx.settings_path = data + "/" + catalogs.text(29012);
  ctx.startup_profile_path = data + "/" + catalogs.text(29014);
  int rc = 0;
  {
    CMainConnection w(ctx, kScripted);
    w.launch = [](const std::string&) { return 0; };
    StartPlan plan;
    plan.flow = StartFlow::Nothing;
    if (!w.init(plan)) return 1;
    int opened = -1;
    w.HandleForwardedCommand("-cmd -svr_open", [&](int r) { opened = r; });
    if (!pump_until([&] { return opened == 1 && w.tray().geometry().width() > 0; })) {
      std::fprintf(stderr, "tray_screens: the tray icon never got a place\n");
      return 1;
    }
    const QRect icon = w.tray().geometry();

    struct Shot {
      int state;
      const char* name;
    } states[] = {{0, "idle"}, {1, "connecting"}, {2, "connected"}};
    for (const Shot& s : states) {
      w.UpdateTrayState(s.state);
      // The connect notice's balloon covers the panel for three seconds.
      settle(s.state == 2 ? 3600 : 400);
      if (!save(panel_shot(icon), out + QStringLiteral("/tray-%1-%2.png").arg(s.name, tag))) rc = 1;
    }

    if (dark_panel) {
      w.shutdown();
      std::filesystem::remove_all(data);
      return rc;
    }

    // Menus, idle and connected, as a right click opens them by the icon.
    for (int state : {0, 2}) {
      w.UpdateTrayState(state);
      std::unique_ptr<QMenu> menu = w.buildTrayMenu();
      menu->popup(icon.bottomLeft() + QPoint(-140, 4));
      settle(400);
      QString name = state ? QStringLiteral("tray-menu-connected") : QStringLiteral("tray-menu");
      if (!save(menu->grab(), out + QStringLiteral("/%1-%2.png").arg(name, tag))) rc = 1;
      menu->close();
    }

    // The login window, as the tray's connect item opens it.
    w.UpdateTrayState(0);
    ProfileRecord& p = w.Current();
    p.host = "vpn.example.com";
    p.port = "443";
    p.switchName = "office";
    p.trust = QStringList{"-----BEGIN CERTIFICATE-----"};
    p.authKind = ProfileRecord::AuthPassword;
    p.authType = "password";
    p.username = "alice";
    p.settings.showConnect = 1;
    w.ConnectRequest();
    w.move(200, 120);
    settle(600);
    if (!save(w.grab(), out + QStringLiteral("/login-window-%1.png").arg(tag))) rc = 1;
    w.hide();

    // Connected: the tip with server, counters and address, and the log.
    const char* lines[] = {"connecting to vpn.example.com:443", "remote session started",
                           "adapter vln0 has the address 192.168.30.7/24 (dhcp)"};
    for (const char* l : lines) w.appendLogLine(QString::fromStdString(TranslateServiceText(l, catalogs.service)));
    w.onClientEvent(2, 0);
    pump_until([&] { return w.trayTip().count(QLatin1Char('\n')) >= 5; });
    QToolTip::showText(icon.bottomLeft() + QPoint(-200, 8), w.trayTip());
    QWidget* tip = nullptr;
    pump_until([&] {
      for (QWidget* t : QApplication::topLevelWidgets())
        if (t->inherits("QTipLabel") && t->isVisible()) tip = t;
      return tip != nullptr;
    });
    settle(300);
    if (!tip || !save(tip->grab(), out + QStringLiteral("/connected-tip-%1.png").arg(tag))) rc = 1;
    QToolTip::hideText();

    w.openConnectionLog();
    for (const char* l : lines)
      w.connectionLog()->appendLine(QString::fromStdString(TranslateServiceText(l, catalogs.service)));
    w.connectionLog()->move(120, 80);
    settle(600);
    if (!save(w.connectionLog()->grab(), out + QStringLiteral("/connection-log-%1.png").arg(tag))) rc = 1;
    w.connectionLog()->close();
    w.shutdown();
  }
  std::filesystem::remove_all(data);
  return rc;
}
