// The platform seams the portable code reaches the system through: socket
// waits and I/O, address texts, crash-time files, files replaced in shared
// folders and work run in a copy of the process. What matters is what the
// callers rely on: a shut-down wakes a wait in another thread, a vanished
// peer is an error and not a signal, no name is followed through a link.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <string>
#include <thread>

#include "platform/child_process.h"
#include "platform/crash_file.h"
#include "platform/inet.h"
#include "platform/socket.h"
#include "platform/user_files.h"
#include "files.h"

namespace {

// Generous: only reached when something is broken.
const int kLongMs = 30000;

struct PlatformSocketPair : ::testing::Test {
  int fd[2] = {-1, -1};
  void SetUp() override { ASSERT_EQ(0, socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd)); }
  void TearDown() override {
    for (int f : fd)
      if (f >= 0) close(f);
  }
};

TEST_F(PlatformSocketPair, WaitsSendsAndReceives) {
  EXPECT_EQ(0, velarn::socket_wait(fd[0], velarn::kSocketReadable, 0));
  EXPECT_EQ(1, velarn::socket_wait(fd[0], velarn::kSocketWritable, kLongMs));
  EXPECT_EQ(3, velarn::socket_send(fd[1], "abc", 3));
  EXPECT_EQ(1, velarn::socket_wait(fd[0], velarn::kSocketReadable, kLongMs));
  char buf[8];
  EXPECT_EQ(3, velarn::socket_recv(fd[0], buf, sizeof buf));
  EXPECT_EQ(0, velarn::socket_wait(fd[0], velarn::kSocketReadable, 0));
}

// connection_abort relies on this to end the tunnel threads' waits.
TEST_F(PlatformSocketPair, ShutdownWakesAWaitInAnotherThread) {
  int woke = -2;
  std::thread waiter([&] { woke = velarn::socket_wait(fd[0], velarn::kSocketReadable, kLongMs); });
  EXPECT_EQ(0, velarn::socket_shutdown(fd[0]));
  waiter.join();
  EXPECT_EQ(1, woke);
  char c;
  EXPECT_EQ(0, velarn::socket_recv(fd[0], &c, 1));
}

// Without MSG_NOSIGNAL this test program would die of SIGPIPE.
TEST_F(PlatformSocketPair, SendToAVanishedPeerIsAnErrorNotASignal) {
  close(fd[1]);
  fd[1] = -1;
  errno = 0;
  EXPECT_EQ(-1, velarn::socket_send(fd[0], "x", 1));
  EXPECT_EQ(EPIPE, errno);
}

TEST(PlatformSocket, ReportsARefusedConnectAndOpensUninherited) {
  int probe = velarn::socket_open(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(probe, 0);
  EXPECT_EQ(FD_CLOEXEC, fcntl(probe, F_GETFD) & FD_CLOEXEC);
  // A port just bound and let go: nobody listens on it.
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = velarn::host_to_net32(0x7f000001);
  socklen_t len = sizeof a;
  ASSERT_EQ(0, bind(probe, reinterpret_cast<sockaddr*>(&a), sizeof a));
  ASSERT_EQ(0, getsockname(probe, reinterpret_cast<sockaddr*>(&a), &len));
  EXPECT_EQ(0, velarn::socket_close(probe));
  int s = velarn::socket_open(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
  ASSERT_GE(s, 0);
  int rc = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  if (rc != 0) {
    ASSERT_EQ(EINPROGRESS, errno);
  }
  ASSERT_EQ(1, velarn::socket_wait(s, velarn::kSocketWritable, kLongMs));
  EXPECT_EQ(ECONNREFUSED, velarn::socket_pending_error(s));
  velarn::socket_close(s);
}

TEST(PlatformInet, ByteOrderAndAddressTexts) {
  static_assert(velarn::net_to_host16(velarn::host_to_net16(0x1234)) == 0x1234);
  const uint8_t four[4] = {192, 0, 2, 10};
  uint32_t net;
  std::memcpy(&net, four, 4);
  EXPECT_EQ(0xc000020au, velarn::net_to_host32(net));
  char text[velarn::kIpv6TextSize];
  velarn::ipv4_text(four, text, sizeof text);
  EXPECT_STREQ("192.0.2.10", text);

  struct Case {
    uint8_t a[16];
    const char* text;
    bool mapped;
  } const cases[] = {
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "::1", false},
      {{0xfd, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1}, "fd00::1", false},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff, 192, 0, 2, 1}, "::ffff:192.0.2.1", true},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xfe, 192, 0, 2, 1}, "::fffe:c000:201", false},
      {{0, 0, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff, 192, 0, 2, 1}, "::1:ffff:c000:201", false},
  };
  for (const Case& c : cases) {
    velarn::ipv6_text(c.a, text, sizeof text);
    EXPECT_STREQ(c.text, text);
    EXPECT_EQ(c.mapped, velarn::is_v4_mapped(c.a)) << c.text;
  }
  // Too small a buffer: an empty text, never a cut-off address.
  char small[4] = "xyz";
  velarn::ipv6_text(cases[1].a, small, sizeof small);
  EXPECT_STREQ("", small);
}

struct PlatformFiles : ::testing::Test {
  TempDir dir{"velarn-seams"};
  std::string at(const char* name) const { return dir.path() + "/" + name; }
};

TEST_F(PlatformFiles, CrashFilesAppendRewindAndRefuseLinks) {
  write_file(at("victim"), "keep");
  ASSERT_EQ(0, symlink(at("victim").c_str(), at("link").c_str()));
  EXPECT_EQ(velarn::kNoCrashFile, velarn::crash_file_open(at("link").c_str(), true));
  EXPECT_EQ(velarn::kNoCrashFile, velarn::crash_file_open(at("link").c_str(), false));

  write_file(at("log"), "one\n");
  velarn::CrashFile f = velarn::crash_file_open(at("log").c_str(), true);
  ASSERT_NE(velarn::kNoCrashFile, f);
  velarn::crash_file_write(f, "two\n", 4);
  velarn::crash_file_close(f);
  EXPECT_EQ("one\ntwo\n", read_file(at("log")));

  f = velarn::crash_file_open(at("dump").c_str(), false);
  ASSERT_NE(velarn::kNoCrashFile, f);
  struct stat st;
  ASSERT_EQ(0, stat(at("dump").c_str(), &st));
  EXPECT_EQ(0u, st.st_mode & 0037) << std::oct << st.st_mode;
  velarn::crash_file_write(f, "a longer first dump\n", 20);
  EXPECT_TRUE(velarn::crash_file_rewind(f));
  velarn::crash_file_write(f, "second\n", 7);
  velarn::crash_file_close(f);
  EXPECT_EQ("second\n", read_file(at("dump")));
  EXPECT_EQ("keep", read_file(at("victim")));
}

TEST_F(PlatformFiles, ReplacingNeverWritesThroughALink) {
  write_file(at("victim"), "keep");
  write_file(at("profile"), "old");
  // A stale temporary name planted as a link to someone else's file.
  ASSERT_EQ(0, symlink(at("victim").c_str(), at("profile.tmp").c_str()));
  EXPECT_TRUE(velarn::write_file_replacing(at("profile"), "new", 3));
  EXPECT_EQ("new", read_file(at("profile")));
  EXPECT_EQ("keep", read_file(at("victim")));
  EXPECT_NE(0, access(at("profile.tmp").c_str(), F_OK));
  EXPECT_FALSE(velarn::write_file_replacing(at("no-such-folder/profile"), "x", 1));

  EXPECT_TRUE(velarn::create_new_file(at("session.log")));
  EXPECT_FALSE(velarn::create_new_file(at("session.log")));
  ASSERT_EQ(0, symlink(at("nowhere").c_str(), at("dangling").c_str()));
  EXPECT_FALSE(velarn::create_new_file(at("dangling")));
  EXPECT_NE(0, access(at("nowhere").c_str(), F_OK));
}

TEST_F(PlatformFiles, ACopyOfTheProcessMayDieWithoutTheCaller) {
  std::string mark = at("ran");
  EXPECT_TRUE(velarn::run_in_copy([&] { write_file(mark, "yes"); }));
  EXPECT_EQ("yes", read_file(mark));  // waited for
  EXPECT_TRUE(velarn::run_in_copy([] { raise(SIGKILL); }));
}

}  // namespace
