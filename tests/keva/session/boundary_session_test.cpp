// The root service against an ordinary local user and a hostile server: each
// case acts as a real uid other than root (a forked child that has dropped
// root) against kevad running as root in the site's throwaway root.
#include <fcntl.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "tunnel_site.h"
#include "vln.h"

namespace {

// An ordinary account: an existing one outside sudo, or one made for the
// run and removed at its end.
struct TestUser {
  uid_t uid = 0;
  gid_t gid = 0;
  bool made = false;
  TestUser() {
    setpwent();
    while (struct passwd* pw = getpwent()) {
      if (pw->pw_uid >= 1000 && pw->pw_uid != 65534 && !velarn::pipe_peer_is_admin(pw->pw_uid)) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        break;
      }
    }
    endpwent();
    if (uid) return;
    if (std::system("useradd -M -N -u 23456 -s /usr/sbin/nologin velarn-boundary >/dev/null 2>&1") == 0) {
      if (struct passwd* pw = getpwnam("velarn-boundary")) {
        uid = pw->pw_uid;
        gid = pw->pw_gid;
        made = true;
      }
    }
  }
  ~TestUser() {
    if (made) std::system("userdel velarn-boundary >/dev/null 2>&1");
  }
};

const TestUser& user() {
  static TestUser u;
  return u;
}

// Runs fn in a child that has given up root for the test user; its text.
std::string as_user(const std::function<std::string()>& fn) {
  int p[2];
  if (pipe(p) != 0) return "<pipe>";
  pid_t pid = fork();
  if (pid == 0) {
    close(p[0]);
    std::string out = "<setuid>";
    if (setgroups(0, nullptr) == 0 && setresgid(user().gid, user().gid, user().gid) == 0 &&
        setresuid(user().uid, user().uid, user().uid) == 0)
      out = fn();
    if (write(p[1], out.data(), out.size()) < 0) _exit(1);
    _exit(0);
  }
  close(p[1]);
  std::string out;
  char buf[4096];
  ssize_t n;
  while ((n = read(p[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<size_t>(n));
  close(p[0]);
  waitpid(pid, nullptr, 0);
  return out;
}

bool user_can_read(const std::string& path) {
  return as_user([&] { return std::string(access(path.c_str(), R_OK) == 0 ? "yes" : "no"); }) == "yes";
}

const std::string kCreated = "HTTP/1.1 201 Created\r\n";

class Boundary : public ::testing::Test {
 protected:
  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root (namespaces, TAP devices, other uids)";
    ASSERT_NE(0u, user().uid) << "no ordinary account and none could be made";
    site = std::make_unique<TunnelSite>();
    ASSERT_TRUE(site->ok());
    // The user reaches the channel's socket as on a real machine.
    chmod(site->root().c_str(), 0755);
  }
  void TearDown() override { site.reset(); }
  std::string kevad_log() { return read_file(site->data("kevad.log")); }
  std::unique_ptr<TunnelSite> site;
};

}  // namespace

TEST_F(Boundary, AUserLoadsNoCodeReadsNoSecretAndCannotStopTheService) {
  ASSERT_TRUE(site->start_server());
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad("[trace]\n"));

  // A module in the user's own folder is refused before any of its code runs.
  std::string own = site->root() + "/userdir";
  ASSERT_EQ(0, mkdir(own.c_str(), 0755));
  ASSERT_EQ(0, std::system(("cp " EVIL_MODULE_PATH " " + own + "/m.so").c_str()));
  ASSERT_EQ(0, chown(own.c_str(), user().uid, user().gid));
  ASSERT_EQ(0, chown((own + "/m.so").c_str(), user().uid, user().gid));
  std::string token =
      "<?xml version=\"1.0\"?><profile version=\"1.0\"><host>10.203.0.1</host>"
      "<authtype>token</authtype><switch>test</switch><driver>" +
      own + "/m.so</driver><pin>1234</pin><reconnect>0</reconnect></profile>";
  std::string answer = as_user([&] { return post_session(token); });
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 500", 0)) << answer;
  EXPECT_NE(std::string::npos, kevad_log().find("invalid PKCS#11 driver: " + own + "/m.so"));
  EXPECT_NE(std::string::npos, kevad_log().find("not owned by root")) << kevad_log();
  EXPECT_NE(0, access((site->root() + "/evil-ran").c_str(), F_OK));

  // The user's session runs; its profile comes back without the password.
  answer = as_user([&] { return post_session(site->profile()); });
  ASSERT_EQ(kCreated, answer.substr(0, kCreated.size())) << answer;
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session started", 10000)) << kevad_log();
  std::string seen = as_user([] { return channel_request("GET /keva/client/profile HTTP/1.1\r\n\r\n"); });
  EXPECT_EQ(0u, seen.rfind("HTTP/1.1 200 OK", 0)) << seen;
  EXPECT_EQ(std::string::npos, seen.find("secret")) << seen;
  EXPECT_EQ(std::string::npos, seen.find("<password")) << seen;
  EXPECT_NE(std::string::npos, seen.find("<host>10.203.0.1</host>")) << seen;
  EXPECT_NE(std::string::npos, seen.find("<switch>test</switch>")) << seen;
  EXPECT_NE(std::string::npos,
            channel_request("GET /keva/client/profile HTTP/1.1\r\n\r\n").find("<password>secret</password>"));

  // Stopping the service is for administrators; the service goes on.
  answer = as_user([] { return channel_request("DELETE /keva/ HTTP/1.1\r\n\r\n"); });
  EXPECT_EQ(0u, answer.rfind("HTTP/1.1 403 Forbidden\r\n", 0)) << answer;
  EXPECT_NE(std::string::npos, channel_request("GET /keva/ HTTP/1.1\r\n\r\n").find("\r\n\r\nOK"));
  EXPECT_EQ(0, site->in_ns(site->cli_ns(), "ping -c 1 -W 2 192.168.203.1 >/dev/null"));

  // The registry's lock is root's alone.
  std::string lock = site->root() + "/etc/velarn/registry/.lock";
  struct stat st {};
  ASSERT_EQ(0, stat(lock.c_str(), &st));
  EXPECT_EQ(0600u, st.st_mode & 0777);
  EXPECT_EQ("refused", as_user([&] { return std::string(open(lock.c_str(), O_RDONLY) < 0 ? "refused" : "opened"); }));

  EXPECT_EQ(0, site->stop_kevad());
  // No file the service wrote is the user's to read, and none holds the password.
  for (const char* name : {"kevad.log", "session.log", "trace.log"}) {
    std::string path = site->data(name);
    ASSERT_EQ(0, stat(path.c_str(), &st)) << name;
    EXPECT_EQ(0640u, st.st_mode & 0777) << name;
    EXPECT_FALSE(user_can_read(path)) << name;
    EXPECT_EQ(std::string::npos, read_file(path).find("secret")) << name;
  }
  EXPECT_NE(std::string::npos, read_file(site->data("trace.log")).find("PASSWORD 6 = \"********\""));
}

TEST_F(Boundary, NoClientHoldsTheChannelOrTheStop) {
  ASSERT_TRUE(site->start_kevad());
  for (int i = 0; i < 100 && channel_request("GET /keva/ HTTP/1.1\r\n\r\n", 200).empty(); ++i) usleep(50000);
  // One client says nothing, another announces more body than it sends.
  auto silent = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
  auto half = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
  ASSERT_TRUE(silent && half);
  std::string head = "POST /keva/client/x HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789";
  ASSERT_TRUE(half->write(head.data(), head.size()));
  EXPECT_NE(std::string::npos, channel_request("GET /keva/ HTTP/1.1\r\n\r\n", 5000).find("\r\n\r\nOK"));

  // A user's listeners are capped; the one past the cap is closed at once.
  std::string capped = as_user([] {
    std::vector<std::unique_ptr<velarn::PipeConnection>> held;
    for (int i = 0; i < 17; ++i) {
      auto c = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
      if (!c) return std::string("connect failed");
      std::string listen = "GET /keva/listen HTTP/1.1\r\n\r\n";
      c->write(listen.data(), listen.size());
      held.push_back(std::move(c));
    }
    // Whichever request arrived last is the one refused.
    char b[64];
    int closed = 0;
    for (int round = 0; round < 50 && closed == 0; ++round, usleep(100000))
      for (auto& c : held)
        if (c && c->read(b, sizeof b, 0) == 0) {
          ++closed;
          c.reset();
        }
    for (auto& c : held)
      if (c && c->read(b, sizeof b, 100) == 0) ++closed;
    return "closed " + std::to_string(closed);
  });
  EXPECT_EQ("closed 1", capped) << kevad_log();
  // Root still starts a session and is answered.
  EXPECT_EQ(kCreated, post_session(site->profile("<reconnect>0</reconnect>")).substr(0, kCreated.size()));

  // The half-sent request is dropped after its time; a stop waits for no client.
  char b[64];
  EXPECT_EQ(0, half->read(b, sizeof b, 20000));
  EXPECT_EQ(0, site->stop_kevad());
  EXPECT_NE(std::string::npos, kevad_log().find("invalid API request"));
}

TEST_F(Boundary, SettingsAndPlantedLinksLeadNowhere) {
  std::string victim = site->root() + "/victim";
  write_file(victim, "keep\n");
  ASSERT_EQ(0, symlink(victim.c_str(), site->data("kevad.log").c_str()));
  std::string outside = site->root() + "/etc/evil.log";
  std::string own = site->root() + "/userdir";
  ASSERT_EQ(0, mkdir(own.c_str(), 0755));
  write_file(own + "/startup.vln", site->profile());
  ASSERT_EQ(0, chown((own + "/startup.vln").c_str(), user().uid, user().gid));
  ASSERT_TRUE(site->start_kevad("[client]\nStartupProfile = " + own +
                                "/startup.vln\nrequire_trust = 1\n[log]\nlog_file = " + outside +
                                "\n[trace]\ntrace_file = ../evil-trace.log\n"));
  for (int i = 0; i < 100 && channel_request("GET /keva/ HTTP/1.1\r\n\r\n", 200).empty(); ++i) usleep(50000);
  // A profile without a trust list is refused when the settings ask for one.
  EXPECT_EQ(0u, post_session(site->profile()).rfind("HTTP/1.1 400", 0));
  EXPECT_EQ(0, site->stop_kevad());

  EXPECT_EQ("keep\n", read_file(victim));
  EXPECT_NE(0, access(outside.c_str(), F_OK));
  EXPECT_NE(0, access((site->root() + "/var/lib/evil-trace.log").c_str(), F_OK));
  struct stat st {};
  ASSERT_EQ(0, lstat(site->data("kevad.log").c_str(), &st));
  EXPECT_TRUE(S_ISREG(st.st_mode));
  std::string log = kevad_log();
  // Said before the main log is open, so in the error log.
  EXPECT_NE(std::string::npos, read_file(site->data("kevad-error.log")).find("is outside"));
  EXPECT_NE(std::string::npos, log.find(own + "/startup.vln: not owned by root")) << log;
  EXPECT_NE(std::string::npos, log.find("kevad.ini requires one")) << log;
  EXPECT_EQ(std::string::npos, log.find("remote session started"));
}

namespace {
std::vector<std::string> g_states;
std::mutex g_states_mutex;
void on_event(const VLN_Event* e) {
  std::string text;
  for (const uint16_t* p = e->text; p && *p; ++p) text += *p < 0x80 ? static_cast<char>(*p) : '?';
  std::lock_guard<std::mutex> lock(g_states_mutex);
  g_states.push_back(std::to_string(e->kind) + ":" + std::to_string(e->value) + ":" + text);
}
}  // namespace

TEST_F(Boundary, ServerTextForgesNoLogLineAndNoState) {
  ASSERT_TRUE(site->start_server({"--version-text", "1.0\r\nJan 01 00:00:00 [error] forged&state=Connected"}));
  ASSERT_TRUE(site->start_adapter());
  ASSERT_TRUE(site->start_kevad());
  int rc = VLN_ERR_LINK;
  for (int i = 0; i < 50 && (rc = VLN_init()) != VLN_OK; ++i) usleep(100000);
  ASSERT_EQ(VLN_OK, rc);
  int handle = 0;
  ASSERT_EQ(VLN_OK, VLN_open(&handle, on_event));
  ASSERT_EQ(kCreated, post_session(site->profile()).substr(0, kCreated.size()));
  ASSERT_TRUE(site->wait_for_log(site->data("kevad.log"), "remote session started", 10000)) << kevad_log();
  std::string log = kevad_log();
  EXPECT_EQ(std::string::npos, log.find("\nJan 01 00:00:00 [error] forged")) << log;
  EXPECT_NE(std::string::npos, log.find("server version: 1.0??Jan 01 00:00:00 [error] forged&state=Connected")) << log;
  VLN_disconnect(handle);
  for (int i = 0; i < 100; ++i) {
    {
      std::lock_guard<std::mutex> lock(g_states_mutex);
      bool seen = false;
      for (const auto& s : g_states) seen = seen || s.find("server version") != std::string::npos;
      if (seen) break;
    }
    usleep(50000);
  }
  VLN_close(handle);
  std::lock_guard<std::mutex> lock(g_states_mutex);
  bool seen = false;
  for (const auto& s : g_states) {
    if (s.find("server version") == std::string::npos) continue;
    seen = true;
    // Sent while connecting: the forged "&state=" stays inside the message.
    EXPECT_EQ(std::to_string(VLN_EVENT_PROGRESS) + ":" + std::to_string(VLN_STATE_CONNECTING) +
                  ":server version: 1.0??Jan 01 00:00:00 [error] forged&state=Connected",
              s);
  }
  EXPECT_TRUE(seen);
}
