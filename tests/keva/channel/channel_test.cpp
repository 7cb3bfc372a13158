#include <apr_general.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "channel.h"
#include "files.h"
#include "in_process.h"
#include "kevad.h"
#include "platform/local_pipe.h"
#include "wait.h"

using velarn::local_pipe_connect;
using velarn::PipeConnection;

namespace {

const std::string kServer = "Server: kevad 1.4.5.248 (2015.11.18)\r\n";

// What the session controller would answer, recorded.
struct FakeSession {
  bool current = false;
  std::string state = "Connected";
  std::string profile = "<profile version=\"1.0\"/>";
  std::string started;
  int start_code = 201;
  int stops = 0;
} g_session;

ChannelSessionOps fake_ops() {
  ChannelSessionOps ops{};
  ops.start = [](const char* text, size_t len, unsigned) {
    g_session.started.assign(text, len);
    return g_session.start_code;
  };
  ops.stop_current = [] {
    if (!g_session.current) return -1;
    ++g_session.stops;
    return 0;
  };
  ops.state_name = [](apr_pool_t*) { return g_session.current ? g_session.state.c_str() : nullptr; };
  ops.profile_text = [](apr_pool_t*) { return g_session.current ? g_session.profile.c_str() : nullptr; };
  return ops;
}

class Channel : public PoolFixtureBase, public ::testing::Test {
 protected:
  void SetUp() override {
    g_session = FakeSession{};
    auto ops = fake_ops();
    channel_set_session_ops(&ops);
    ASSERT_EQ(0, channel_start(pool));
    wait_until([&] { return conn() != nullptr; }, 2000, 10);
  }
  void TearDown() override {
    channel_stop();
    channel_set_session_ops(nullptr);
  }
  std::unique_ptr<PipeConnection> conn() { return local_pipe_connect("\\\\.\\pipe\\kevad"); }

  // Sends the messages of one request and returns the whole answer ("" when
  // the service closes without one).
  std::string ask(std::initializer_list<std::string> messages) {
    auto c = conn();
    EXPECT_NE(nullptr, c);
    if (!c) return "<no channel>";
    for (const auto& m : messages) c->write(m.data(), m.size());
    char buf[8192];
    long n = c->read(buf, sizeof buf, 5000);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
  }

  TempRoot root;
};

}  // namespace

TEST_F(Channel, LivenessAnswerByteForByte) {
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
}

TEST_F(Channel, AnswersWithoutBodyEndAfterTheServerLine) {
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\n" + kServer, ask({"DELETE /keva/client/session HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n" + kServer, ask({"FETCH /keva/ HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n" + kServer, ask({"PUT /keva/client/x HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\n" + kServer, ask({"GET /keva/client HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\n" + kServer, ask({"GET /other HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\n" + kServer, ask({"GET /keva/client/state HTTP/1.1\r\n\r\n"}));
}

TEST_F(Channel, SessionQueriesAndStop) {
  if (geteuid() != 0) GTEST_SKIP() << "the profile as sent and the stop are root's alone";
  g_session.current = true;
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 9\r\n\r\nConnected",
            ask({"GET /keva/client/state HTTP/1.1\r\nHost: x\r\n\r\n"}));
  std::string p = g_session.profile;
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: " + std::to_string(p.size()) + "\r\n\r\n" + p,
            ask({"GET /keva/client/profile.xml?x=1&y HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer, ask({"DELETE /keva/client/session HTTP/1.1\r\n\r\n"}));
  EXPECT_EQ(1, g_session.stops);
}

TEST_F(Channel, PostCarriesTheBodyAcrossMessages) {
  std::string body(20000, 'p');
  std::string head = "POST /keva/client/x HTTP/1.1\r\nContent-Length: 20000\r\n\r\n";
  EXPECT_EQ("HTTP/1.1 201 Created\r\n" + kServer,
            ask({head + body.substr(0, 100), body.substr(100, 9900), body.substr(10000)}));
  EXPECT_EQ(body, g_session.started);

  g_session.start_code = 400;
  EXPECT_EQ("HTTP/1.1 400 Bad Request\r\n" + kServer,
            ask({"POST /keva/client/x HTTP/1.1\r\nContent-Length: 0\r\n\r\n"}));
  EXPECT_EQ("", g_session.started);
}

TEST_F(Channel, AHeadLongerThanOneReadIsReadInParts) {
  // Request line and headers over 16383 bytes: the first read takes the
  // first part; the header block is then incomplete and the request invalid,
  // but nothing breaks and the channel goes on serving.
  std::string big = "GET /keva/ HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n";
  EXPECT_EQ("", ask({big}));
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
}

TEST_F(Channel, MalformedRequestsGetNoAnswer) {
  EXPECT_EQ("", ask({"GET /keva/"}));           // no blank after the path
  EXPECT_EQ("", ask({"GET /keva/ HTTP/1.1"}));  // no header block at all
  EXPECT_EQ("", ask({"GET /keva/ HTTP/1.1\r\nBroken\r\n\r\n"}));
  EXPECT_EQ("", ask({"POST /keva/client/x HTTP/1.1\r\nContent-Length: 2\r\n\r\ntoo long"}));
  EXPECT_EQ("", ask({"POST /keva/client/x HTTP/1.1\r\nContent-Length: -5\r\n\r\n"}));
  EXPECT_EQ("", ask({"POST /keva/client/x HTTP/1.1\r\nContent-Length: zz\r\n\r\n"}));
  EXPECT_EQ("", g_session.started);
  {
    auto c = conn();  // connects and leaves without a word
  }
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
}

TEST_F(Channel, ListenersReceiveEventsUntilTheyLeave) {
  auto a = conn();
  auto b = conn();
  ASSERT_TRUE(a && b);
  std::string req = "FETCH /keva/listen HTTP/1.1\r\n\r\n";  // any method word listens
  a->write(req.data(), req.size());
  req = "GET /keva/listen HTTP/1.1\r\n\r\n";
  b->write(req.data(), req.size());
  // A request after both makes sure the channel has taken them.
  ASSERT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));

  std::string ev = "event=State-Change&state=Connecting&message=Connecting";
  channel_broadcast(ev.data(), ev.size());
  char buf[2048];
  EXPECT_EQ(ev, std::string(buf, static_cast<size_t>(a->read(buf, sizeof buf, 2000))));
  EXPECT_EQ(ev, std::string(buf, static_cast<size_t>(b->read(buf, sizeof buf, 2000))));

  a.reset();  // the listener goes away: the channel removes it
  ASSERT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
  std::string ev2 = "event=Info-Message&state=Connected&message=hello";
  channel_broadcast(ev2.data(), ev2.size());
  EXPECT_EQ(ev2, std::string(buf, static_cast<size_t>(b->read(buf, sizeof buf, 2000))));
}

TEST_F(Channel, ABroadcastNeverBlocksOnAListenerThatDoesNotRead) {
  auto a = conn();
  std::string req = "GET /keva/listen HTTP/1.1\r\n\r\n";
  a->write(req.data(), req.size());
  ask({"GET /keva/ HTTP/1.1\r\n\r\n"});
  std::string ev(1000, 'e');
  for (int i = 0; i < 5000; ++i) channel_broadcast(ev.data(), ev.size());  // would block if it waited
  // Back here at all is the point; the channel still serves everyone else.
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
}

TEST_F(Channel, PeersOutsideTheAllowedAccountsAreRefused) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another account";
  chmod(root.path().c_str(), 0755);  // let the other account reach the socket file
  pid_t pid = fork();
  if (pid == 0) {
    // uid 1 ("daemon") is neither root, an administrator nor an ordinary user.
    if (setgid(1) != 0 || setuid(1) != 0) _exit(3);
    auto c = local_pipe_connect("\\\\.\\pipe\\kevad");
    if (!c) _exit(4);
    std::string req = "GET /keva/ HTTP/1.1\r\n\r\n";
    c->write(req.data(), req.size());
    char buf[256];
    long n = c->read(buf, sizeof buf, 3000);
    // Closed without an answer: an end of data, or a reset when the
    // request was still unread.
    _exit(n == 0 || (n < 0 && errno == ECONNRESET) ? 0 : 5);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(0, WEXITSTATUS(status));
  EXPECT_TRUE(velarn::pipe_peer_allowed(0));
  EXPECT_FALSE(velarn::pipe_peer_allowed(65534));
}

TEST_F(Channel, ArbitraryRequestsNeverBreakTheChannel) {
  // Valid requests cut, spliced and sprinkled with random bytes, sent by
  // clients that leave at once: whatever the channel makes of them, it must
  // go on serving.
  const std::string seeds[] = {
      "GET /keva/ HTTP/1.1\r\n\r\n",
      "POST /keva/client/x HTTP/1.1\r\nContent-Length: 5\r\n\r\nhello",
      "GET /keva/listen HTTP/1.1\r\nA: b\r\n\r\n",
      "DELETE /keva/client/s?x=1&y HTTP/1.1\r\nContent-Length: 0\r\n\r\n",
  };
  uint32_t rng = 12345;
  auto next = [&rng] { return rng = rng * 1103515245u + 12345u, rng >> 8; };
  for (int i = 0; i < 400; ++i) {
    std::string r = seeds[next() % 4];
    int edits = 1 + next() % 4;
    for (int e = 0; e < edits && !r.empty(); ++e) {
      size_t pos = next() % r.size();
      switch (next() % 4) {
        case 0: r[pos] = static_cast<char>(next()); break;
        case 1: r.erase(pos, 1 + next() % 8); break;
        case 2: r.insert(pos, seeds[next() % 4].substr(0, next() % 20)); break;
        case 3: r = r.substr(0, pos); break;
      }
    }
    if (r.empty()) r = " ";
    auto c = conn();
    ASSERT_NE(nullptr, c);
    c->write(r.data(), r.size());
  }
  EXPECT_EQ("HTTP/1.1 200 OK\r\n" + kServer + "Content-Length: 2\r\n\r\nOK", ask({"GET /keva/ HTTP/1.1\r\n\r\n"}));
}
