// The GUI's wrapper driving a real session: kevad, the virtual adapter and
// keva-server in namespaces of the test's own, reached only through
// ClientLibrary, with the service's texts in the Japanese catalogs.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <QApplication>
#include <QMessageBox>
#include <QProcess>
#include <QTimer>
#include <fstream>

#include "client_library.h"
#include "gui_test_support.h"
#include "instance_channel.h"
#include "main_connection.h"
#include "platform/roots.h"
#include "softhsm.h"
#include "tunnel_site.h"

using namespace vlngui;

namespace {

// The main window as the wrapper sees it, hidden, from any thread.
struct Window : LibraryHost {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::pair<int, int>> events;
  std::vector<std::string> messages;
  void show_message(const std::string& t) override {
    std::lock_guard<std::mutex> l(mu);
    messages.push_back(t);
  }
  void update_tray_state(int) override {}
  void post_client_event(int value, int kind) override {
    std::lock_guard<std::mutex> l(mu);
    events.emplace_back(value, kind);
    cv.notify_all();
  }
  void post_token_pending(int) override {}
  bool main_window_visible() override { return false; }
  bool auto_connect() override { return false; }
  bool wait(int ms) override {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return true;
  }
  bool wait_for_state(int state) {
    std::unique_lock<std::mutex> l(mu);
    return cv.wait_for(l, std::chrono::seconds(30), [&] {
      return std::find(events.begin(), events.end(), std::make_pair(state, 0)) != events.end();
    });
  }
};

bool logged(ClientLibrary& lib, const std::string& text) {
  auto e = lib.events().entries();
  return std::find(e.begin(), e.end(), text) != e.end();
}

TEST(GuiSession, WrapperConnectsThroughTheServiceAndLogsItsEventsInJapanese) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(site.start_server());
  ASSERT_TRUE(site.start_adapter());
  ASSERT_TRUE(site.start_kevad());
  Catalogs ja = guitest::shipped("ja");
  Window window;
  ClientLibrary lib(ja, window);
  ASSERT_EQ(1, lib.StartLibrary()) << read_file(site.data("kevad.log"));

  // The store hands the service an encrypted password made by the wrapper.
  std::string enc = lib.EncryptSecret("secret");
  ASSERT_FALSE(enc.empty());
  std::string profile = site.profile();
  const std::string plain = "<password>secret</password>";
  profile.replace(profile.find(plain), plain.size(), "<enc_password>" + enc + "</enc_password>");

  ASSERT_EQ(1, lib.ConnectProfile(profile)) << read_file(site.data("kevad.log"));
  ASSERT_TRUE(window.wait_for_state(2)) << read_file(site.data("kevad.log"));
  int32_t state = -1;
  ASSERT_EQ(1, lib.QueryState(&state));
  EXPECT_EQ(2, state);
  std::string running;
  lib.GetSessionProfile(&running);
  EXPECT_NE(std::string::npos, running.find("<switch>"));
  // Progress while the window is hidden is logged, not announced.
  EXPECT_TRUE(logged(lib, "サーバーに接続しました"));
  EXPECT_EQ(0, site.in_ns(site.cli_ns(), "ping -c 2 -i 0.2 -W 2 192.168.203.1 >/dev/null"));

  // A second connect while connected only redisplays.
  EXPECT_EQ(0, lib.ConnectProfile(profile));

  lib.DisconnectSession();
  ASSERT_TRUE(window.wait_for_state(0));
  EXPECT_TRUE(logged(lib, "サーバーから切断しました"));
  ASSERT_EQ(1, lib.QueryState(&state));
  EXPECT_EQ(0, state);
  EXPECT_LE(lib.events().entries().size(), EventLog::kMaxEntries);
  std::lock_guard<std::mutex> l(window.mu);
  EXPECT_TRUE(window.messages.empty()) << window.messages.front();
}

// A program started in the background by the shell, ended with the test.
struct Background {
  std::string pid_file;
  Background(const std::string& cmd, const std::string& dir, const std::string& name) {
    pid_file = dir + "/" + name + ".pid";
    std::system((cmd + " >'" + dir + "/" + name + ".log' 2>&1 & echo $! >'" + pid_file + "'").c_str());
  }
  ~Background() {
    std::string pid = read_file(pid_file);
    if (!pid.empty()) std::system(("kill " + pid + " 2>/dev/null").c_str());
  }
};

template <class F>
bool pump_until(F ready, int seconds = 60) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
  while (!ready() && std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 20);
  return ready();
}

VLN_Statistics statistics() {
  VLN_Statistics st{};
  int h = 0;
  int rc = VLN_open(&h, nullptr);
  if (rc == 0) {
    rc = VLN_statistics(h, &st);
    VLN_close(h);
  }
  EXPECT_EQ(0, rc) << "VLN_statistics";
  return st;
}

// The tray client itself on a virtual display with a tray host, the real
// libvln behind it, listening as the running instance; boxes it raises are
// answered and kept.
struct TrayClient {
  guitest::TempDir dir;
  std::unique_ptr<Background> xvfb, trayer;
  std::unique_ptr<QApplication> app;
  Catalogs en;
  AppContext ctx;
  std::unique_ptr<CMainConnection> w;
  std::unique_ptr<InstanceServer> server;
  QStringList boxes;
  QTimer answer;
  int argc = 1;
  char arg0[18] = "gui_session_tests";
  char* argv[2] = {arg0, nullptr};

  void start() {
    const std::string run = dir.path() + "/run";
    ASSERT_EQ(0, ::mkdir(run.c_str(), 0700));
    // -noreset: otherwise the display resets whenever its last client leaves
    // and refuses whoever connects at that moment.
    xvfb = std::make_unique<Background>(
        "Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp -noreset 3>'" + dir.path() + "/display'", dir.path(),
        "xvfb");
    auto display_ready = [&] { return !read_file(dir.path() + "/display").empty(); };
    for (int i = 0; i < 150 && !display_ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(display_ready());
    std::string display = ":" + read_file(dir.path() + "/display");
    display.erase(display.find_last_not_of(" \n") + 1);
    setenv("DISPLAY", display.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", run.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "xcb", 1);
    setenv("LANG", "C.UTF-8", 1);
    trayer = std::make_unique<Background>("trayer --edge top --align right --widthtype pixel --width 120 --height 24",
                                          dir.path(), "trayer");
    app = std::make_unique<QApplication>(argc, argv);
    en = guitest::shipped("en");
    ctx.catalogs = &en;
    ctx.product_title = en.text(20101);
    ctx.title_with_version = en.text(20003);
    ctx.main_title = ctx.product_title + " " + en.text(20102);
    ctx.data_folder = dir.path();
    ctx.current_profile_path = dir.path() + "/" + en.text(29011);
    ctx.settings_path = dir.path() + "/" + en.text(29012);
    ctx.startup_profile_path = dir.path() + "/" + en.text(29014);
    w = std::make_unique<CMainConnection>(ctx);
    QObject::connect(&answer, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        boxes << box->text();
        box->done(QMessageBox::Yes);
      }
    });
    answer.start(50);
    StartPlan plan;
    plan.flow = StartFlow::Nothing;
    ASSERT_TRUE(w->init(plan)) << "no tray";
    server = std::make_unique<InstanceServer>([this](const std::string& line, std::function<void(int)> reply) {
      w->HandleForwardedCommand(line, std::move(reply));
    });
    ASSERT_TRUE(server->listen(instance_name()));
    int opened = -1;
    w->HandleForwardedCommand("-cmd -svr_open", [&](int r) { opened = r; });
    ASSERT_TRUE(pump_until([&] { return opened == 1; }));
  }
  ~TrayClient() {
    answer.stop();
    if (w) w->shutdown();
    server.reset();
    w.reset();
    app.reset();
  }
  std::string seen() const { return w->trayTip().toStdString() + " | " + boxes.join("|").toStdString(); }
};

TEST(GuiSession, TrayClientConnectsShowsCountersAndEndsOnAForwardedDisconnect) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
  if (std::system("command -v Xvfb >/dev/null && command -v trayer >/dev/null") != 0)
    GTEST_SKIP() << "needs Xvfb and trayer";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  ASSERT_TRUE(site.start_server());
  ASSERT_TRUE(site.start_adapter());
  ASSERT_TRUE(site.start_kevad());
  TrayClient tc;
  ASSERT_NO_FATAL_FAILURE(tc.start());
  CMainConnection& w = *tc.w;

  // The user's profile, trusting the server's own certificate, credentials saved.
  const std::string file = tc.dir.path() + "/office.vln";
  std::ofstream(file) << site.profile("<port>5711</port><trust>" + read_file(site.root() + "/server.crt") + "</trust>");
  ASSERT_TRUE(w.LoadProfile(QString::fromStdString(file))) << tc.seen();
  w.Current().settings.showConnect = 0;
  ASSERT_TRUE(w.ConnectRequest()) << tc.seen();
  ASSERT_TRUE(pump_until([&] { return w.trayTip().contains("Connected to 10.203.0.1 (switch test)"); }))
      << tc.seen() << read_file(site.data("kevad.log"));
  EXPECT_EQ(2, w.trayIconState());

  // Counters grow while traffic flows, and the tip shows them.
  VLN_Statistics before = statistics();
  EXPECT_EQ(0, site.in_ns(site.cli_ns(), "ping -c 5 -i 0.2 -W 2 192.168.203.1 >/dev/null"));
  VLN_Statistics after = statistics();
  EXPECT_GT(after.sent, before.sent + 5 * 98);
  EXPECT_GT(after.received, before.received + 5 * 98);
  EXPECT_TRUE(pump_until([&] { return w.trayTip().contains("Sent ") && w.trayTip().contains("Connected for "); }))
      << tc.seen();

  // A second start hands -cmd -disconnect to this one.
  QProcess second;
  second.start(QStringLiteral(VLNGUI_PATH), {QStringLiteral("-cmd"), QStringLiteral("-disconnect")});
  ASSERT_TRUE(pump_until([&] { return second.state() == QProcess::NotRunning; }));
  EXPECT_EQ(0, second.exitCode()) << second.readAllStandardError().toStdString();
  EXPECT_TRUE(pump_until([&] { return w.trayIconState() == 0 && w.idle(); })) << tc.seen();
  EXPECT_TRUE(site.wait_for_log(site.data("kevad.log"), "remote session closed", 30000));
  EXPECT_TRUE(tc.boxes.isEmpty()) << tc.seen();
}

// Token monitoring: the client key lives on a token behind the pass-through
// test module; pulling the token out keeps the client idle, putting it in
// connects without a click.
#ifdef P11SHIM_PATH
TEST(GuiSession, InsertedTokenConnectsWithTokenMonitoringOn) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices)";
  if (access(kSoftHsm, R_OK) != 0) GTEST_SKIP() << "SoftHSM2 is not installed";
  if (std::system("command -v Xvfb >/dev/null && command -v trayer >/dev/null") != 0)
    GTEST_SKIP() << "needs Xvfb and trayer";
  TunnelSite site;
  ASSERT_TRUE(site.ok());
  SoftHsmToken token(site.root() + "/softhsm");
  const std::string conf = token.conf(), hide = site.root() + "/hidden", base = token.dir() + "/user";
  setenv("P11SHIM_HIDE", hide.c_str(), 1);
  std::string error;
  ASSERT_TRUE(token.init(&error)) << error;
  ASSERT_TRUE(token.make_identity("user", "token-user", &error)) << error;
  ASSERT_TRUE(token.import("user", "01", &error)) << error;
  write_file(hide, "");
  std::ofstream(site.root() + "/users") << "cert-cn:token-user\n";
  ASSERT_TRUE(site.start_server({"--ca", base + ".crt", "--require-client-cert"}));
  ASSERT_TRUE(site.start_adapter());
  ASSERT_TRUE(site.start_kevad_env("", {"SOFTHSM2_CONF=" + conf, "P11SHIM_HIDE=" + hide}));
  // The token library's module list, where the GUI looks for it.
  velarn::roots::make_dirs(site.data(""));
  std::ofstream(site.data("vlntoken.ini")) << "[PKCS11]\nshim=" << P11SHIM_PATH << "\t1\n";

  TrayClient tc;
  ASSERT_NO_FATAL_FAILURE(tc.start());
  CMainConnection& w = *tc.w;
  std::ofstream(tc.ctx.current_profile_path)
      << "<?xml version=\"1.0\" encoding=\"utf-8\"?><profile version=\"1.0\"><host>10.203.0.1</host>"
         "<port>5711</port><authtype>token</authtype><switch>test</switch><driver>"
      << P11SHIM_PATH << "</driver><pin>1234</pin><trust>" << read_file(site.root() + "/server.crt")
      << "</trust></profile>";
  w.reloadCurrentProfile();
  ASSERT_EQ(CMainConnection::Mode::Token, w.mode()) << tc.seen();
  w.Current().settings.tokenMonitor = 1;
  w.Current().settings.showConnect = 0;
  ASSERT_NE(nullptr, w.tokenRecord()) << tc.seen();
  // The first notice after the reload only arms the flow; no token, no session.
  ASSERT_TRUE(pump_until([&] { return w.tokenArmed(); })) << tc.seen();
  pump_until([] { return false; }, 2);
  EXPECT_TRUE(w.idle());

  ASSERT_EQ(0, ::unlink(hide.c_str()));
  ASSERT_TRUE(pump_until([&] { return w.trayIconState() == 2; })) << tc.seen() << read_file(site.data("kevad.log"));
  // The tip follows the state: its server line may come a moment later.
  EXPECT_TRUE(pump_until([&] { return w.trayTip().contains("Connected to 10.203.0.1 (switch test)"); })) << tc.seen();
  w.DoDisconnect();
  EXPECT_TRUE(pump_until([&] { return w.trayIconState() == 0; })) << tc.seen();
  EXPECT_TRUE(tc.boxes.isEmpty()) << tc.seen();
}
#endif

}  // namespace
