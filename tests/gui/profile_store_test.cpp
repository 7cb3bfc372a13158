// The profile store against real files in a throwaway root, and its profile
// text against the service's own reader (vlnprofile).
#include "profile_store.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "test_certs.h"
#include "cp932.h"

namespace {

QByteArray slurp(const QString& path) {
  QFile f(path);
  return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

void spill(const QString& path, const QByteArray& data) {
  QFile f(path);
  ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
  f.write(data);
}

struct ToolRun {
  int code;
  std::string out, err;
};

class ProfileStoreTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tmp_.isValid());
    root_ = tmp_.path();
    setenv("VELARN_ROOT", root_.toUtf8().constData(), 1);
    data_ = root_ + "/var/lib/Velarn";
    ASSERT_TRUE(QDir().mkpath(data_));
    ASSERT_TRUE(QDir().mkpath(root_ + "/bin"));
    store_.SetPaths({root_ + "/bin", data_, data_ + "/current.xml", data_ + "/kevad.ini", data_ + "/startup.vln"});
    auto& h = store_.GetHooks();
    h.message = [this](unsigned id, unsigned, const QString& arg) {
      messages_.push_back(id);
      last_arg_ = arg;
      return 0;
    };
    h.catalogText = [](unsigned id) { return id == 11080 ? QStringLiteral("5711") : QString(); };
  }

  // A complete password profile with plain secrets, as the settings sheet
  // leaves it.
  void fill_password_profile() {
    ProfileRecord& r = store_.Current();
    r.host = "vpn1.example";
    r.port = "5712";
    r.hostAt(2) = "vpn2.example";
    r.hostAt(4) = "vpn4.example";  // host03 is empty: lost
    r.changeType = 1;
    r.switchName = "office";
    r.proxyHost = "proxy.example";
    r.proxyPort = "3128";
    r.proxyUsername = "puser";
    r.proxyPassword = "proxy&secret";
    r.authKind = ProfileRecord::AuthPassword;
    r.authType = "password";
    r.username = "alice";
    r.password = "pa<ss>word'1";
    r.trust = {QString::fromStdString(ca_.pem()).trimmed()};
    r.ciphers = "HIGH";
  }

  ToolRun vlnprofile(const QString& args) {
    QString out = root_ + "/out", err = root_ + "/err";
    QString cmd = QStringLiteral(VLNPROFILE_PATH " ") + args + " >" + out + " 2>" + err;
    int st = std::system(cmd.toUtf8().constData());
    return {WIFEXITED(st) ? WEXITSTATUS(st) : -1, slurp(out).toStdString(), slurp(err).toStdString()};
  }

  QTemporaryDir tmp_{QDir::tempPath() + "/gui2-store-" + QString::number(getpid()) + "-XXXXXX"};
  QString root_, data_;
  CMainFileFunction store_;
  std::vector<unsigned> messages_;
  QString last_arg_;
  testcerts::Key ca_key_, client_key_, other_key_;
  testcerts::Cert ca_{"Test CA", ca_key_, nullptr, nullptr, true};
  testcerts::Cert client_{"client", client_key_, &ca_, &ca_key_, false, 2};
};

// Every login kind: the connection text is accepted by the service's reader
// with the same servers and options; the saved start-up file holds secrets
// only in enc_ form, and the service's codec turns them back.
TEST_F(ProfileStoreTest, ServiceReadsWhatTheStoreWrites) {
  struct Case {
    const char* kind;
    std::function<void(ProfileRecord&)> set;
    std::vector<std::string> summary;  // lines the service logs for the connection text
    const char* secret;                // plain secret that must stay out of files
    const char* enc_line;              // what --decrypt prints for the saved file
  };
  const Case cases[] = {
      {"password",
       [](ProfileRecord&) {},
       {" host = vpn1.example", " port = 5712", " host02 = vpn2.example", " changeType = random",
        " proxyHost = proxy.example", " proxyPort = 3128", " proxyUsername = puser", " switch = office",
        " username = alice", " trust = (ok)", " ciphers = HIGH"},
       "word'1",
       "enc_password = pa<ss>word'1"},
      {"x509",
       [this](ProfileRecord& r) {
         r.authType = "x509";
         r.authKind = ProfileRecord::AuthCertificate;
         r.certificate = QString::fromStdString(client_.pem());
         r.privateKey = QString::fromStdString(client_key_.pem());
       },
       {" privatekey = (ok)", " certificate = (ok)"},
       nullptr,
       nullptr},
      {"token",
       [](ProfileRecord& r) {
         r.authType = "token";
         r.authKind = ProfileRecord::AuthToken;
         r.driver = "/usr/lib/softhsm/libsofthsm2.so";
         r.pin = "4711";
       },
       {" driver = /usr/lib/softhsm/libsofthsm2.so", " pin = ********"},
       "4711",
       "enc_pin = 4711"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.kind);
    store_.ClearSettings();
    fill_password_profile();
    c.set(store_.Current());
    store_.Current().reconnect = true;

    QString text = store_.BuildConnectProfile();
    spill(root_ + "/connect.vln", text.toUtf8());
    ToolRun r = vlnprofile(root_ + "/connect.vln");
    ASSERT_EQ(r.code, 0) << r.out << r.err << text.toStdString();
    EXPECT_NE(r.out.find("(2 servers)"), std::string::npos) << r.out;
    EXPECT_EQ(r.err.find("host04"), std::string::npos);
    for (const std::string& line : c.summary) EXPECT_NE(r.err.find(line + "\n"), std::string::npos) << line;
    EXPECT_TRUE(text.contains("<proxyPassword>proxy&amp;secret</proxyPassword>"));

    ASSERT_TRUE(store_.ApplySettings());
    EXPECT_TRUE(messages_.empty());
    QString saved;
    ASSERT_TRUE(store_.ReadStartupProfile(saved));
    EXPECT_EQ(saved, data_ + "/startup.vln");
    r = vlnprofile("--decrypt " + saved);
    ASSERT_EQ(r.code, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("enc_proxyPassword = proxy&secret"), std::string::npos) << r.out;
    if (c.enc_line) {
      EXPECT_NE(r.out.find(c.enc_line), std::string::npos) << r.out;
    }
    for (const QString& file : {saved, data_ + "/current.xml"}) {
      QByteArray bytes = slurp(file);
      EXPECT_FALSE(bytes.contains("proxy&amp;secret")) << file.toStdString();
      if (c.secret) {
        EXPECT_FALSE(bytes.contains(c.secret)) << c.secret;
      }
      EXPECT_FALSE(bytes.contains("<password>") || bytes.contains("<pin>") || bytes.contains("<proxyPassword>"));
    }
  }
}

// Save, clear, load: the record comes back; bad documents leave it alone.
TEST_F(ProfileStoreTest, DocumentRoundTripAndRefusedDocuments) {
  fill_password_profile();
  store_.Current().proxySetting = ProfileRecord::ProxySystem;
  store_.Current().useAddress = true;
  store_.Current().ip = "10.0.0.5";
  store_.Current().settings.executeConnected = "default.sh";
  store_.Current().settings.ignoreDisconnection = 1;
  ASSERT_TRUE(store_.ApplySettings());
  QByteArray doc = slurp(data_ + "/current.xml");
  EXPECT_TRUE(
      doc.startsWith("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Velarn version=\"1.0\">\n"
                     "  <profile>\n    <host>vpn1.example</host>"))
      << doc.toStdString();

  store_.ClearSettings();
  ASSERT_TRUE(store_.LoadProfile(data_ + "/current.xml"));
  const ProfileRecord& r = store_.Current();
  EXPECT_EQ(r.hostAt(2), "vpn2.example");
  EXPECT_TRUE(r.hostAt(4).isEmpty());
  EXPECT_EQ(r.changeType, 1);
  EXPECT_EQ(r.proxySetting, ProfileRecord::ProxySystem);
  EXPECT_TRUE(r.password.isEmpty());
  EXPECT_FALSE(r.encPassword.isEmpty());
  ASSERT_EQ(r.trust.size(), 1);
  EXPECT_EQ(r.trust[0], QString::fromStdString(ca_.pem()).trimmed());
  EXPECT_TRUE(r.useAddress);
  EXPECT_EQ(r.settings.executeConnected, "default.sh");
  EXPECT_EQ(r.settings.ignoreDisconnection, 1);
  EXPECT_EQ(r.settings.showConnect, 1);

  const char* bad[] = {
      "<?xml version=\"1.1\"?><profile version=\"1.0\"><host>x</host></profile>",
      "<?xml version=\"1.0\"?><settings><host>x</host></settings>",
      "<?xml version=\"1.0\"?><profile><host>x</host>",
  };
  for (const char* text : bad) {
    spill(root_ + "/bad.vln", text);
    EXPECT_FALSE(store_.LoadProfile(root_ + "/bad.vln")) << text;
    EXPECT_EQ(store_.Current().host, "vpn1.example");
  }
  ASSERT_EQ(mkfifo((root_ + "/fifo.vln").toUtf8().constData(), 0600), 0);
  EXPECT_FALSE(store_.LoadProfile(root_ + "/fifo.vln"));
  store_.ClearSettings();
  EXPECT_FALSE(store_.LoadProfile(root_ + "/missing.vln"));
  EXPECT_EQ(store_.Editing().port, "5711");

  // A document marked as the default becomes the saved profile at once.
  spill(root_ + "/default.xml",
        "<?xml version=\"1.0\"?><Velarn version=\"1.0\"><setting><Default>1</Default></setting>"
        "<profile><host>default.example</host></profile></Velarn>");
  ASSERT_TRUE(store_.LoadProfile(root_ + "/default.xml"));
  EXPECT_TRUE(slurp(data_ + "/current.xml").contains("<host>default.example</host>"));
}

// The installer's proxy step: "(null)" placeholders give way to the system
// proxy and the user's name; a cancel only drops the placeholders.
TEST_F(ProfileStoreTest, ProxySetup) {
  struct Case {
    bool confirm;
    const char* host_after;  // in the saved profile, "" for none
  };
  const Case cases[] = {{true, "sys.example"}, {false, ""}};
  setenv("https_proxy", "http://sys.example:8000", 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.confirm);
    store_.ClearSettings();
    store_.Current().host = "vpn.example";
    store_.Current().proxyHost = "(null)";
    store_.Current().proxyUsername = "(null)";
    ASSERT_TRUE(store_.ApplySettings());
    ProxyDialogData seen;
    store_.GetHooks().proxyDialog = [&](ProxyDialogData& d) {
      seen = d;
      d.password = "typed-secret";
      d.passwordTyped = true;
      return c.confirm;
    };
    ASSERT_TRUE(store_.ProxySetup());
    EXPECT_EQ(seen.host, "sys.example");
    EXPECT_EQ(seen.port, "8000");
    EXPECT_FALSE(seen.username.isEmpty() || seen.username.contains("(null)"));
    store_.ClearSettings();
    ASSERT_TRUE(store_.LoadProfile(data_ + "/current.xml"));
    EXPECT_EQ(store_.Current().proxyHost, c.host_after);
    EXPECT_EQ(store_.Current().encProxyPassword.isEmpty(), !c.confirm);
    EXPECT_FALSE(slurp(data_ + "/current.xml").contains("typed-secret"));
  }
  unsetenv("https_proxy");
}

TEST_F(ProfileStoreTest, ValidationTable) {
  struct Case {
    const char* what;
    std::function<void(ProfileRecord&)> set;
    unsigned id;
  };
  const QString pem = QString::fromStdString(client_.pem());
  const Case cases[] = {
      {"12-character password", [](ProfileRecord& r) { r.password = "123456789012"; }, 0},
      {"13-character password", [](ProfileRecord& r) { r.password = "1234567890123"; }, 22222},
      {"125-character host", [](ProfileRecord& r) { r.host = QString(125, 'h'); }, 0},
      {"126-character host", [](ProfileRecord& r) { r.hostAt(7) = QString(126, 'h'); }, 22222},
      {"17-character switch", [](ProfileRecord& r) { r.switchName = QString(17, 's'); }, 22222},
      {"port 65535", [](ProfileRecord& r) { r.port = "65535"; }, 0},
      {"port 65536", [](ProfileRecord& r) { r.port = "65536"; }, 22224},
      {"proxy port 0099999", [](ProfileRecord& r) { r.proxyPort = "0099999"; }, 22224},
      {"port with a letter", [](ProfileRecord& r) { r.portAt(3) = "80a"; }, 22227},
      {"port (null)", [](ProfileRecord& r) { r.port = "(null)"; }, 0},
      {"katakana user name", [](ProfileRecord& r) { r.username = QStringLiteral("ユーザ"); }, 22220},
      {"hiragana switch", [](ProfileRecord& r) { r.switchName = QStringLiteral("すいっち"); }, 22220},
      {"half-width kana", [](ProfileRecord& r) { r.host = QStringLiteral("ｱ.example"); }, 22220},
      {"kanji password", [](ProfileRecord& r) { r.password = QStringLiteral("漢字"); }, 22220},
      {"full-width digit", [](ProfileRecord& r) { r.port = QStringLiteral("５"); }, 22220},
      {"accented letter", [](ProfileRecord& r) { r.username = QStringLiteral("zoë"); }, 0},
      {"unknown authtype", [](ProfileRecord& r) { r.authType = "kerberos"; }, 22220},
      {"unreadable trust", [](ProfileRecord& r) { r.trust = {"not a certificate"}; }, 22016},
      {"short MAC", [](ProfileRecord& r) { r.macAllow = {"00:11:22:33:44:5"}; }, 22220},
      {"good MAC", [](ProfileRecord& r) { r.macDeny = {"00:11:22:33:44:5F"}; }, 0},
      {"key of another certificate",
       [&](ProfileRecord& r) {
         r.certificate = pem;
         r.privateKey = QString::fromStdString(other_key_.pem());
       },
       22011},
      {"matching key",
       [&](ProfileRecord& r) {
         r.certificate = pem;
         r.privateKey = QString::fromStdString(client_key_.pem());
       },
       0},
  };
  for (const Case& c : cases) {
    ProfileRecord r;
    r.host = "vpn.example";
    r.authType = "password";
    c.set(r);
    QString value;
    EXPECT_EQ(CMainFileFunction::Validate(r, &value), c.id) << c.what;
  }

  // Through a load, the message carries the offending value and the current
  // profile stays.
  store_.Current().host = "kept";
  spill(root_ + "/long.vln",
        "<?xml version=\"1.0\"?><profile version=\"1.0\"><host>h</host><authtype>password"
        "</authtype><password>1234567890123</password></profile>");
  EXPECT_FALSE(store_.LoadProfile(root_ + "/long.vln"));
  EXPECT_EQ(messages_, std::vector<unsigned>{22222});
  EXPECT_EQ(last_arg_, "1234567890123");
  EXPECT_EQ(store_.Current().host, "kept");
}

TEST_F(ProfileStoreTest, StartupEntryInKevadIni) {
  const QString ini = data_ + "/kevad.ini";
  struct Case {
    const char* what;
    const char* before;  // nullptr: no file
    const char* after;
  };
  const Case cases[] = {
      {"no file", nullptr, "[client]\nStartupProfile = /p.vln\n"},
      {"no blanks around the equals sign", "[client]\nStartupProfile=/old.vln\nreconnect = 5\n",
       "[client]\nStartupProfile = /p.vln\nreconnect = 5\n"},
      {"last section [log], empty lines", "[client]\r\nreconnect = 5\r\n\r\n[log]\nlog_file = kevad.log\n\n",
       "[client]\nStartupProfile = /p.vln\nreconnect = 5\n[log]\nlog_file = kevad.log\n"},
      {"no [client] section", "[log]\nlog_file = x.log\n",
       "[log]\nlog_file = x.log\n[client]\nStartupProfile = /p.vln\n"},
      {"two entries, one elsewhere",
       "[client]\nstartupprofile = /a\nStartupProfile = /b\n[other]\nStartupProfile = /c\n",
       "[client]\nStartupProfile = /p.vln\n[other]\nStartupProfile = /c\n"},
  };
  for (const Case& c : cases) {
    QFile::remove(ini);
    if (c.before) spill(ini, c.before);
    ASSERT_TRUE(store_.WriteStartupEntry("/p.vln")) << c.what;
    EXPECT_EQ(slurp(ini).toStdString(), c.after) << c.what;
    QString path;
    EXPECT_TRUE(store_.ReadStartupProfile(path));
    EXPECT_EQ(path, "/p.vln") << c.what;
  }

  // A link planted at the temporary name is replaced, never written through.
  spill(root_ + "/victim", "untouched");
  ASSERT_EQ(symlink((root_ + "/victim").toUtf8().constData(), (ini + ".tmp").toUtf8().constData()), 0);
  ASSERT_TRUE(store_.WriteStartupEntry(""));
  EXPECT_EQ(slurp(root_ + "/victim"), "untouched");
  EXPECT_FALSE(QFileInfo::exists(ini + ".tmp"));
  QString path = "x";
  EXPECT_TRUE(store_.ReadStartupProfile(path));
  EXPECT_TRUE(path.isEmpty());
}

// A profile that cannot run unattended gets no start-up entry.
TEST_F(ProfileStoreTest, StartupProfileNeedsSavedCredentials) {
  fill_password_profile();
  store_.Current().reconnect = true;
  store_.Current().password.clear();
  ASSERT_TRUE(store_.ApplySettings());
  EXPECT_EQ(messages_, std::vector<unsigned>{22267});
  EXPECT_FALSE(store_.Current().reconnect);
  QString path = "x";
  ASSERT_TRUE(store_.ReadStartupProfile(path));
  EXPECT_TRUE(path.isEmpty());
  EXPECT_FALSE(QFileInfo::exists(data_ + "/startup.vln"));
}

TEST_F(ProfileStoreTest, SystemProxyFromTheEnvironment) {
  struct Case {
    const char *https, *http, *host, *port;
  };
  const Case cases[] = {
      {nullptr, "http://u:p@proxy.example:3128/", "proxy.example", "3128"},
      {"https://secure.example:8443", "http://plain.example:80", "secure.example", "8443"},
      {nullptr, "[::1]:8080", "::1", "8080"},
      {nullptr, "proxy-without-port", "proxy-without-port", ""},
  };
  for (const char* v : {"https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY"}) unsetenv(v);
  EXPECT_FALSE(store_.ReadSystemProxy());
  for (const Case& c : cases) {
    c.https ? setenv("https_proxy", c.https, 1) : unsetenv("https_proxy");
    setenv("http_proxy", c.http, 1);
    ASSERT_TRUE(store_.ReadSystemProxy());
    EXPECT_EQ(store_.Current().proxyHost, c.host);
    EXPECT_EQ(store_.Current().proxyPort, c.port);
  }
  unsetenv("https_proxy");
  unsetenv("http_proxy");
}

// An earlier installation's profile becomes the user's profile; the other
// profile files go, the start-up profile stays.
TEST_F(ProfileStoreTest, RenameMigratesAndRunsFirstTime) {
  spill(data_ + "/a-old.vln",
        "<?xml version=\"1.0\"?><profile version=\"1.0\"><host>old.example</host>"
        "<switch>hub</switch><authtype>password</authtype><username>bob</username></profile>");
  spill(data_ + "/b-other.vln", "<?xml version=\"1.0\"?><profile version=\"1.0\"/>");
  spill(data_ + "/startup.vln", "kept");
  ASSERT_TRUE(store_.RenameCommand());
  EXPECT_FALSE(QFileInfo::exists(data_ + "/a-old.vln"));
  EXPECT_FALSE(QFileInfo::exists(data_ + "/b-other.vln"));
  EXPECT_FALSE(QFileInfo::exists(data_ + "/current.xml.inst"));
  EXPECT_EQ(slurp(data_ + "/startup.vln"), "kept");
  EXPECT_TRUE(QFileInfo::exists(data_ + "/session.log"));
  store_.ClearSettings();
  ASSERT_TRUE(store_.LoadProfile(data_ + "/current.xml"));
  EXPECT_EQ(store_.Current().host, "old.example");
  EXPECT_EQ(store_.Current().username, "bob");

  EXPECT_TRUE(store_.DeleteDataFolder());
  EXPECT_FALSE(QFileInfo::exists(data_));
}

}  // namespace
