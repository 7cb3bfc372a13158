// The main connection window on the offscreen platform, against a scripted
// client library: tray tip and icon per state, the tray menu, the login
// window's keys, ConnectRequest's branches and the automatic flows.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMenu>
#include <QMessageBox>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "test_certs.h"
#include "gui_test_support.h"
#include "main_connection.h"
#include "vlntoken.h"

using namespace vlngui;

namespace {

// The library's side: counts what the window asked of it.
std::atomic<int> g_connects{0}, g_disconnects{0}, g_state{0};

const VlnApi kScripted{
    [] { return 0; },
    [](int* h, VLN_Callback) {
      *h = 3;
      return 0;
    },
    [](int, int32_t* s) {
      *s = g_state;
      return 0;
    },
    [](int, const char*, const char*) {
      ++g_connects;
      return 0;
    },
    [](int) {
      ++g_disconnects;
      return 0;
    },
    [](int, char* b, size_t n) {
      std::snprintf(b, n, "<profile><host>vpn.example</host><switch>hub</switch></profile>");
      return 0;
    },
    [](const char*, size_t, const char*, size_t, char* out, size_t) {
      std::strcpy(out, "enc_x");
      return 0;
    },
    [](int) { return 0; },
    [](int, VLN_Statistics* st) {
      *st = VLN_Statistics{3725, 2048, 5 * 1024 * 1024};
      return 0;
    },
};

class MainWindow : public ::testing::Test {
 protected:
  void SetUp() override {
    g_connects = g_disconnects = g_state = 0;
    guitest::ensure_app();
    catalogs_ = guitest::shipped("en");
    ctx_.catalogs = &catalogs_;
    ctx_.product_title = "Velarn Travix";
    ctx_.title_with_version = catalogs_.text(20003);
    ctx_.main_title = "Velarn Travix login";
    ctx_.data_folder = dir_.path();
    ctx_.current_profile_path = dir_.path() + "/current.vln";
    ctx_.settings_path = dir_.path() + "/kevad.ini";
    ctx_.startup_profile_path = dir_.path() + "/startup.vln";
    w_ = std::make_unique<CMainConnection>(ctx_, kScripted);
    w_->launch = [this](const std::string&) { return ++launched_; };
    int opened = -1;
    w_->HandleForwardedCommand("-cmd -svr_open", [&](int r) { opened = r; });
    wait_for([&] { return opened == 1; });
    // Boxes the window raises are answered at once and remembered.
    connect_timer_.setInterval(20);
    QObject::connect(&connect_timer_, &QTimer::timeout, [this] {
      if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
        boxes_.push_back(box->text());
        box->done(answer_);
      }
    });
    connect_timer_.start();
  }
  void TearDown() override {
    connect_timer_.stop();
    if (w_) w_->setTokenRecord(nullptr);
    w_.reset();
  }

  // A profile that may connect without asking: saved password, no login window.
  void ready_profile(ProfileRecord::AuthKind kind = ProfileRecord::AuthPassword) {
    ProfileRecord& p = w_->Current();
    p.host = "vpn.example";
    p.port = "443";
    p.switchName = "hub";
    p.trust = QStringList{"-----BEGIN CERTIFICATE-----"};
    p.authKind = kind;
    p.username = "alice";
    p.encPassword = "enc_secret";
    p.settings.showConnect = 0;
  }

  // Every job handed to the library before this has run and answered.
  void settle() {
    bool done = false;
    w_->RefreshState([&] { done = true; });
    wait_for([&] { return done; });
  }
  template <class F>
  void wait_for(F ready) {
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!ready() && std::chrono::steady_clock::now() < until) QApplication::processEvents(QEventLoop::AllEvents, 10);
    ASSERT_TRUE(ready());
  }
  static std::vector<int> menu_ids(QMenu* m) {
    std::vector<int> ids;
    for (QAction* a : m->actions()) {
      if (a->menu())
        for (int id : menu_ids(a->menu())) ids.push_back(id);
      else if (!a->isSeparator())
        ids.push_back(a->data().toInt());
    }
    return ids;
  }
  template <class T = QWidget>
  T* control(int id) {
    return w_->findChild<T*>(QString::number(id));
  }

  guitest::TempDir dir_;
  Catalogs catalogs_;
  AppContext ctx_;
  std::unique_ptr<CMainConnection> w_;
  QTimer connect_timer_;
  QStringList boxes_;
  int answer_ = QMessageBox::Yes;
  int launched_ = 0;
};

TEST_F(MainWindow, TrayTipAndIconFollowTheStateAndIgnoreUnknownOnes) {
  struct Case {
    int state, icon;
    const char* line;
    bool idle;
  } cases[] = {
      {1, 1, "Connecting...", false}, {2, 2, "Connected", false},    {3, 1, "Connecting...", false},
      {4, 1, "Connecting...", false}, {0, 0, "Not connected", true},
  };
  for (const Case& c : cases) {
    w_->UpdateTrayState(c.state);
    EXPECT_EQ(c.icon, w_->trayIconState()) << c.state;
    EXPECT_TRUE(w_->trayTip().startsWith(QString::fromStdString(ctx_.title_with_version))) << c.state;
    EXPECT_TRUE(w_->trayTip().contains(QString::fromLatin1(c.line))) << w_->trayTip().toStdString();
    EXPECT_EQ(c.idle, w_->idle()) << c.state;
  }
  w_->UpdateTrayState(2);
  const QString tip = w_->trayTip();
  w_->UpdateTrayState(5);
  w_->UpdateTrayState(-1);
  EXPECT_EQ(tip, w_->trayTip());
  EXPECT_EQ(2, w_->trayIconState());
  EXPECT_FALSE(w_->idle());
}

TEST_F(MainWindow, ConnectedTipCarriesServerCountersAndAddress) {
  w_->onClientEvent(2, 0);
  w_->appendLogLine("adapter vln0 has the address 192.168.30.7/24 (dhcp)");
  wait_for([&] { return w_->trayTip().contains("Sent 2.0 KB, received 5.0 MB"); });
  const QString tip = w_->trayTip();
  EXPECT_TRUE(tip.contains("Connected to vpn.example (switch hub)")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("Connected for 1:02:05")) << tip.toStdString();
  EXPECT_TRUE(tip.contains("192.168.30.7/24")) << tip.toStdString();
  w_->openConnectionLog();
  ASSERT_NE(nullptr, w_->connectionLog());
  EXPECT_TRUE(w_->connectionLog()->summary().contains("Sent 2.0 KB"));
  // Asking again brings the same window forward.
  ConnectionLog* first = w_->connectionLog();
  w_->openConnectionLog();
  EXPECT_EQ(first, w_->connectionLog());
  // It goes with the main window, rather than outliving it.
  QPointer<ConnectionLog> log(first);
  w_.reset();
  EXPECT_TRUE(log.isNull());
}

TEST_F(MainWindow, ExecuteConnectedRunsOncePerConnection) {
  w_->Current().settings.executeConnected = "/bin/true";
  w_->UpdateTrayState(2);
  w_->UpdateTrayState(2);
  EXPECT_EQ(1, launched_);
  w_->DoDisconnect();
  w_->UpdateTrayState(0);
  w_->UpdateTrayState(2);
  EXPECT_EQ(2, launched_);
}

TEST_F(MainWindow, TrayMenuPerStateAndIgnoreDisconnection) {
  struct Case {
    int state;
    int ignore;
    std::vector<int> ids;
  } cases[] = {
      {0, 0, {10001, 10005, 10006, 10007, 10002, 10004}},
      {0, 1, {10001, 10005, 10006, 10007, 10002, 10004}},
      {2, 0, {10007, 10003, 10004}},
      {2, 1, {10007, 10004}},
      {1, 1, {10007, 10004}},
  };
  for (const Case& c : cases) {
    w_->Current().settings.ignoreDisconnection = c.ignore;
    w_->UpdateTrayState(c.state);
    EXPECT_EQ(c.ids, menu_ids(w_->buildTrayMenu().get())) << c.state << "/" << c.ignore;
  }
}

TEST_F(MainWindow, ConnectRequestBranches) {
  enum Expect { Connects, ShowsLogin, Refused };
  struct Case {
    const char* name;
    std::function<void(ProfileRecord&)> edit;
    Expect expect;
    const char* message;
  } cases[] = {
      {"saved password, no ShowConnect", [](ProfileRecord&) {}, Connects, nullptr},
      {"ShowConnect", [](ProfileRecord& p) { p.settings.showConnect = 1; }, ShowsLogin, nullptr},
      {"auto-connect beats ShowConnect",
       [](ProfileRecord& p) {
         p.settings.showConnect = 1;
         p.reconnect = true;
       },
       Connects, nullptr},
      {"no user name", [](ProfileRecord& p) { p.username.clear(); }, ShowsLogin, nullptr},
      {"no password", [](ProfileRecord& p) { p.encPassword.clear(); }, ShowsLogin, nullptr},
      {"certificate",
       [](ProfileRecord& p) {
         p.authKind = ProfileRecord::AuthCertificate;
         p.certificate = "c";
       },
       Connects, nullptr},
      {"certificate missing", [](ProfileRecord& p) { p.authKind = ProfileRecord::AuthCertificate; }, Refused,
       "certificate"},
      {"no host", [](ProfileRecord& p) { p.host.clear(); }, Refused, "server host"},
      {"no switch", [](ProfileRecord& p) { p.switchName.clear(); }, Refused, "switch"},
      {"token without module", [](ProfileRecord& p) { p.authKind = ProfileRecord::AuthToken; }, Refused, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    w_->hide();
    w_->ClearSettings();
    ready_profile();
    c.edit(w_->Current());
    g_connects = 0;
    boxes_.clear();
    bool ok = w_->ConnectRequest();
    settle();
    EXPECT_EQ(c.expect != Refused, ok);
    EXPECT_EQ(c.expect == Connects ? 1 : 0, g_connects.load());
    EXPECT_EQ(c.expect == ShowsLogin, w_->isVisible());
    EXPECT_TRUE(w_->interaction());
    if (c.message) {
      ASSERT_EQ(1, boxes_.size());
      EXPECT_TRUE(boxes_[0].contains(c.message)) << boxes_[0].toStdString();
    } else {
      EXPECT_TRUE(boxes_.isEmpty());
    }
    w_->UpdateTrayState(0);
  }
}

TEST_F(MainWindow, EnterConnectsOrPressesTheFocusedButtonAndEscapeIsSwallowed) {
  ready_profile();
  w_->Current().settings.showConnect = 1;
  ASSERT_TRUE(w_->ConnectRequest());
  ASSERT_TRUE(w_->isVisible());
  auto* user = control<QLineEdit>(10061);
  auto* pass = control<QLineEdit>(10062);
  EXPECT_EQ("alice", user->text());
  pass->setText("typed secret");
  QTest::keyClick(pass, Qt::Key_Escape);
  EXPECT_TRUE(w_->isVisible());
  QTest::keyClick(pass, Qt::Key_Return);
  wait_for([] { return g_connects == 1; });
  // Too long a user name is refused with its message, and nothing connects.
  w_->UpdateTrayState(0);
  user->setText(QString(17, 'u'));
  QTest::keyClick(user, Qt::Key_Enter);
  settle();
  EXPECT_EQ(1, g_connects.load());
  ASSERT_EQ(1, boxes_.size());
  EXPECT_TRUE(boxes_[0].contains("16 characters")) << boxes_[0].toStdString();
  // Enter on the close button closes, and a hidden window swallows Enter.
  QTest::keyClick(control(10035), Qt::Key_Return);
  EXPECT_FALSE(w_->isVisible());
  QTest::keyClick(pass, Qt::Key_Return);
  settle();
  EXPECT_EQ(1, g_connects.load());
}

TEST_F(MainWindow, CertificateLoginShowsTheCertificatesNamesAndDays) {
  testcerts::Key ca_key, key;
  testcerts::Cert ca("Office CA", ca_key, nullptr, nullptr, true);
  testcerts::Cert mine("alice@office", key, &ca, &ca_key, false);
  ready_profile(ProfileRecord::AuthCertificate);
  w_->Current().certificate = QString::fromStdString(mine.pem());
  w_->Current().settings.showConnect = 1;
  ASSERT_TRUE(w_->ConnectRequest());
  EXPECT_EQ("alice@office", control<QLabel>(10014)->text());
  EXPECT_EQ("Office CA", control<QLabel>(10015)->text());
  EXPECT_TRUE(control<QLabel>(10016)->text().contains(QString::fromUtf8("\u3000\uff5e\u3000")));
  EXPECT_FALSE(control(10061)->isVisible());
  EXPECT_EQ(std::string(), certificate_lines("not a certificate").validity);
}

TEST_F(MainWindow, ForwardedConnectDuringAModalMessageOnlyBringsTheWindowForward) {
  int reply = -1;
  bool forwarded = false;
  QTimer::singleShot(50, [&] {
    EXPECT_FALSE(w_->interaction());
    w_->HandleForwardedCommand("-connect " + dir_.path() + "/other.vln", [&](int r) { reply = r; });
    forwarded = true;
  });
  // The box stays until the forwarded command has been handled.
  connect_timer_.stop();
  QTimer closer;
  QObject::connect(&closer, &QTimer::timeout, [&] {
    if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget()); box && forwarded) box->done(0);
  });
  closer.start(20);
  w_->showMessage("busy");
  EXPECT_TRUE(forwarded);
  EXPECT_EQ(0, reply);
  EXPECT_TRUE(w_->profileRestored());
  EXPECT_TRUE(w_->interaction());
  settle();
  EXPECT_EQ(0, g_connects.load());
}

TEST_F(MainWindow, TokenNoticesSuspendAndArming) {
  auto* token = static_cast<TokenData*>(std::calloc(1, sizeof(TokenData)));
  w_->setTokenRecord(token);
  ready_profile();
  w_->Current().settings.tokenMonitor = 1;

  // A removal right after the suspend notice is the suspend's, not the user's.
  g_state = 2;
  w_->UpdateTrayState(2);
  w_->onPrepareForSleep(true);
  token->token_present = 0;
  w_->onTokenState();
  settle();
  EXPECT_FALSE(w_->idle());
  EXPECT_EQ(0, g_disconnects.load());
  EXPECT_FALSE(w_->suspendFlag());
  g_state = 0;
  w_->onTokenState();
  settle();
  EXPECT_TRUE(w_->idle());
  EXPECT_EQ(1, g_disconnects.load());

  // After a reload the first presence notice only arms the flow.
  w_->reloadCurrentProfile();
  ready_profile();
  w_->Current().settings.tokenMonitor = 1;
  EXPECT_FALSE(w_->tokenArmed());
  token->token_present = 1;
  w_->onTokenState();
  settle();
  EXPECT_TRUE(w_->tokenArmed());
  EXPECT_EQ(0, g_connects.load());
  w_->onTokenState();
  wait_for([] { return g_connects == 1; });
}

}  // namespace

namespace {

TEST(AddressConflict, OverlapByTheShorterMaskAgainstOtherAdapters) {
  auto adapter = [](const char* desc, const char* ip, const char* mask) {
    velarn::AdapterInfo a;
    a.description = desc;
    a.ip_address = ip;
    a.ip_mask = mask;
    return a;
  };
  const auto own = adapter("Velarn Virtual Ethernet Adapter", "192.168.30.7", "255.255.255.0");
  struct Case {
    std::vector<velarn::AdapterInfo> list;
    const char* conflict;
  } cases[] = {
      {{own, adapter("eth0", "192.168.30.20", "255.255.255.0")}, "192.168.30.20"},
      {{own, adapter("eth0", "192.168.31.20", "255.255.255.0")}, ""},
      // The shorter mask decides: a /16 on the other side still overlaps.
      {{own, adapter("wlan0", "192.168.99.1", "255.255.0.0")}, "192.168.99.1"},
      {{own, adapter("lo", "127.0.0.1", "255.0.0.0")}, ""},
      {{own, adapter("dummy", "0.0.0.0", "0.0.0.0")}, ""},
      // No address yet, or no virtual adapter at all: nothing to compare.
      {{adapter("Velarn Virtual Ethernet Adapter", "0.0.0.0", "0.0.0.0"),
        adapter("eth0", "192.168.30.20", "255.255.255.0")},
       ""},
      {{adapter("eth0", "192.168.30.20", "255.255.255.0")}, ""},
  };
  for (const Case& c : cases) EXPECT_EQ(c.conflict, address_conflict(c.list)) << c.list.back().description;
}

}  // namespace
