#include <apr_network_io.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <regex>

#include "config.h"
#include "files.h"
#include "in_process.h"
#include "log.h"
#include "trace.h"

namespace {

std::string format_line(int level, apr_sockaddr_t* peer, const char* fmt, ...) {
  char line[512], msg[256];
  va_list ap;
  va_start(ap, fmt);
  size_t n = log_format_line(line, msg, level, peer, fmt, ap);
  va_end(ap);
  EXPECT_EQ(n, std::strlen(line));
  return line;
}

// Standard error sent to a file while alive.
class StderrToFile {
 public:
  explicit StderrToFile(const std::string& path) {
    fflush(stderr);
    saved_ = dup(2);
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(fd, 2);
    close(fd);
  }
  ~StderrToFile() {
    dup2(saved_, 2);
    close(saved_);
  }

 private:
  int saved_;
};

class Logging : public PoolFixtureBase, public ::testing::Test {
 protected:
  void TearDown() override {
    log_close();
    log_set_modes(false, false);
    config_clear();
    trace_reset_for_test(-1, nullptr);
  }
  TempRoot root;
};

}  // namespace

TEST(LogLine, TimeLevelAndMessage) {
  std::string line = format_line(KLOG_INFO, nullptr, "remote session %s", "started");
  EXPECT_TRUE(std::regex_match(line, std::regex("[A-Z][a-z]{2} \\d{2} \\d{2}:\\d{2}:\\d{2} "
                                                "\\[info\\] remote session started\n")))
      << line;
}

TEST(LogLine, PeerAddressStandsBetweenLevelAndMessage) {
  apr_pool_t* pool;
  apr_initialize();
  apr_pool_create(&pool, nullptr);
  apr_sockaddr_t* sa;
  ASSERT_EQ(APR_SUCCESS, apr_sockaddr_info_get(&sa, "192.0.2.7", APR_INET, 5711, 0, pool));
  std::string line = format_line(KLOG_ERROR, sa, "proxy error: %s", "Forbidden");
  EXPECT_NE(std::string::npos, line.find("[error] 192.0.2.7:5711: proxy error: Forbidden\n")) << line;
  apr_pool_destroy(pool);
}

TEST(LogLine, LongMessagesAreCutAt255Characters) {
  std::string big(300, 'x');
  std::string line = format_line(KLOG_WARNING, nullptr, "%s", big.c_str());
  auto pos = line.find("[warning] ");
  ASSERT_NE(std::string::npos, pos);
  EXPECT_EQ(std::string(255, 'x') + "\n", line.substr(pos + 10));
}

TEST(LogLine, LevelNames) {
  const char* want[] = {"critical", "error", "warning", "notice", "info", "debug"};
  for (int i = 0; i < 6; ++i) EXPECT_STREQ(want[i], log_level_name(i));
  EXPECT_EQ(nullptr, log_level_name(6));
  EXPECT_EQ(nullptr, log_level_name(-1));
}

TEST_F(Logging, ServiceModeRoutesDebugOnlyToSessionAndTrace) {
  std::string dump = root.data("trace.log");
  trace_reset_for_test(4096, dump.c_str());
  ASSERT_EQ(0, config_load(pool, root.data("kevad.ini").c_str()));
  log_set_modes(false, false);
  ASSERT_EQ(0, log_open(config_get_data_path("log.log_file", "kevad.log")));
  CapturedLog cap;
  log_debug("quiet %d", 1);
  log_info("loud %d", 2);
  log_close();
  trace_dump();
  std::string main_log = read_file(root.data("kevad.log"));
  EXPECT_EQ(std::string::npos, main_log.find("quiet 1"));
  EXPECT_NE(std::string::npos, main_log.find("[info] loud 2\n"));
  EXPECT_TRUE(cap.has("quiet 1"));
  EXPECT_TRUE(cap.has("loud 2"));
  std::string trace = read_file(dump);
  EXPECT_NE(std::string::npos, trace.find("[debug] quiet 1\n"));
  EXPECT_NE(std::string::npos, trace.find("[info] loud 2\n"));
}

TEST_F(Logging, LinesBeforeTheMainLogGoToTheErrorLog) {
  log_set_modes(false, false);
  log_error("%s:%ld: invalid config file", "/x/kevad.ini", 3L);
  log_debug("never written");
  std::string text = read_file(root.data("kevad-error.log"));
  EXPECT_NE(std::string::npos, text.find("[error] /x/kevad.ini:3: invalid config file\n"));
  EXPECT_EQ(std::string::npos, text.find("never written"));
  EXPECT_EQ("", read_file(root.data("kevad.log")));
}

TEST_F(Logging, DebugModeWritesEverythingToStandardErrorOnly) {
  std::string err = root.data("stderr.txt");
  ASSERT_EQ(0, config_load(pool, root.data("kevad.ini").c_str()));
  log_set_modes(true, true);
  ASSERT_EQ(0, log_open(config_get_data_path("log.log_file", "kevad.log")));  // opens nothing in debug mode
  {
    StderrToFile redirect(err);
    log_debug("dbg");
    log_error("err");
  }
  std::string text = read_file(err);
  EXPECT_NE(std::string::npos, text.find("[debug] dbg\n"));
  EXPECT_NE(std::string::npos, text.find("[error] err\n"));
  EXPECT_EQ("", read_file(root.data("kevad.log")));
  EXPECT_EQ("", read_file(root.data("kevad-error.log")));
}

TEST_F(Logging, UnopenableMainLogFailsWithTheSystemMessage) {
  write_file(root.data("kevad.ini"), "[log]\nlog_file = nonexistent-dir/k.log\n");
  ASSERT_EQ(0, config_load(pool, root.data("kevad.ini").c_str()));
  log_set_modes(false, false);
  std::string err = root.data("stderr.txt");
  {
    StderrToFile redirect(err);
    EXPECT_EQ(-1, log_open(config_get_data_path("log.log_file", "kevad.log")));
  }
  EXPECT_EQ(root.data("nonexistent-dir/k.log") + ": No such file or directory\n", read_file(err));
}

TEST_F(Logging, RuntimeAndTlsErrorsAreNamed) {
  CapturedLog cap;
  log_apr_error("connect", APR_FROM_OS_ERROR(ECONNREFUSED));
  EXPECT_TRUE(cap.has("connect: Connection refused"));
}

// --- the trace ring ------------------------------------------------------------

TEST_F(Logging, TraceRecordColumns) {
  std::string dump = root.data("t.log");
  trace_reset_for_test(8192, dump.c_str());
  apr_sockaddr_t* sa;
  ASSERT_EQ(APR_SUCCESS, apr_sockaddr_info_get(&sa, "10.1.2.3", APR_INET, 443, 0, pool));
  trace_printf(nullptr, nullptr, "plain %d", 1);
  trace_printf(sa, nullptr, "with address");
  trace_printf(nullptr, "NIC", "labelled");
  trace_printf(sa, "NIC", "both");
  trace_call("recv", nullptr, 4096, 0, 17);
  trace_call("send", nullptr, 10, APR_FROM_OS_ERROR(EPIPE), -1);
  trace_thread_start("client_main");
  trace_thread_exit("client_main");
  trace_dump();
  auto lines = lines_of(read_file(dump));
  ASSERT_EQ(8u, lines.size());
  std::regex head("^\\[\\d+\\] *");
  for (const auto& l : lines) EXPECT_TRUE(std::regex_search(l, head)) << l;
  auto at = [](const std::string& l, size_t col) { return l.substr(col); };
  EXPECT_GE(lines[0].find("plain 1"), 8u);
  EXPECT_EQ("10.1.2.3:443 ", lines[1].substr(lines[1].find("10.1"), 13));
  EXPECT_EQ("with address", at(lines[1], 32));
  EXPECT_EQ("NIC", lines[2].substr(lines[2].find("NIC"), 3));
  EXPECT_EQ("labelled", at(lines[2], 32));
  EXPECT_EQ("both", at(lines[3], 56));
  EXPECT_NE(std::string::npos, lines[4].find("recv(4096) = 17"));
  EXPECT_NE(std::string::npos, lines[5].find("send(10) = -1 (Broken pipe)"));
  EXPECT_TRUE(std::regex_search(lines[6], std::regex("client_main: starting thread: \\d+$")));
  EXPECT_TRUE(std::regex_search(lines[7], std::regex("client_main: exiting thread: \\d+$")));
}

TEST_F(Logging, TraceOfZeroBytesRecordsNothingAndDumpsAnEmptyFile) {
  std::string dump = root.data("t.log");
  write_file(dump, "old contents");
  trace_reset_for_test(0, dump.c_str());
  EXPECT_TRUE(trace_is_on());
  trace_printf(nullptr, nullptr, "lost");
  trace_append("also lost\n", 10);
  trace_dump();
  EXPECT_EQ("", read_file(dump));
}

TEST_F(Logging, WrappedTraceDumpsFromTheFirstWholeLine) {
  std::string dump = root.data("t.log");
  trace_reset_for_test(50, dump.c_str());
  trace_append("line-one-aaaaaaaaaa\n", 20);
  trace_append("line-two-bbbbbbbbbb\n", 20);
  trace_append("line-three-cccccccc\n", 20);  // wraps: 10 bytes at the end, 10 at the start
  trace_dump();
  // Surviving text, oldest first: "aaaaaaaaaa\n"'s tail of line one is gone;
  // the dump starts after the first line feed at or after the write position.
  EXPECT_EQ("line-two-bbbbbbbbbb\nline-three-cccccccc\n", read_file(dump));
}

TEST_F(Logging, TraceEndingExactlyAtTheRingsEndStillDumpsInOrder) {
  std::string dump = root.data("t.log");
  trace_reset_for_test(40, dump.c_str());
  trace_append("first-line-xxxxxxxx\n", 20);
  trace_append("second-line-yyyyyyy\n", 20);  // write position == capacity, no wrap yet
  trace_dump();
  EXPECT_EQ("first-line-xxxxxxxx\nsecond-line-yyyyyyy\n", read_file(dump));
  trace_append("third-line-zzzzzzzz\n", 20);
  trace_append("fourth-line-wwwwwww\n", 20);  // wrapped once, at the end again
  trace_dump();
  EXPECT_EQ("fourth-line-wwwwwww\n", read_file(dump));
}

TEST_F(Logging, OversizedAppendKeepsOnlyWhatFits) {
  std::string dump = root.data("t.log");
  trace_reset_for_test(10, dump.c_str());
  trace_append("abcdefghijklmnop\n", 17);  // cut to the capacity
  trace_dump();
  EXPECT_EQ("abcdefghij", read_file(dump));
}
