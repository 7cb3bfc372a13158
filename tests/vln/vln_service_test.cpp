// The library driving the kevad program itself, in a throwaway root.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "process.h"
#include "vln.h"
#include "vln_support.h"

namespace {

// kevad in service mode; killed and reaped on the way out whatever happens.
class Kevad {
 public:
  explicit Kevad(const TempRoot& root) : err_(root.path() + "/stderr.txt") { start(); }
  ~Kevad() { stop(SIGKILL); }
  void start() { pid_ = spawn({KEVAD_PATH, "service"}, {.err_file = err_, .append = true}); }
  // The exit status, or -1 when it was not running.
  int stop(int sig) {
    int rc = finish(pid_, sig);
    pid_ = 0;
    return rc;
  }

 private:
  std::string err_;
  pid_t pid_ = 0;
};

const char kKey[] = "3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b";

TEST(Service, IdleServiceThroughTheLibraryThenStopped) {
  events::clear();
  TempRoot root;
  Kevad kevad(root);
  ASSERT_TRUE(wait_for_channel()) << read_file(root.path() + "/stderr.txt");

  int h = 0;
  ASSERT_EQ(VLN_OK, VLN_open(&h, events::record));
  EXPECT_NE(0, h);

  int32_t state = -7;
  EXPECT_EQ(VLN_OK, VLN_state(h, &state));
  EXPECT_EQ(VLN_STATE_IDLE, state);  // the service: 404, no session

  EXPECT_EQ(VLN_ERR_REFUSED, VLN_connect(h, "this is no profile", nullptr));
  EXPECT_EQ(VLN_ERR_REFUSED, VLN_connect(h, "<profile version=\"1.0\"><host>h</host></profile>", nullptr));
  EXPECT_NE(std::string::npos, read_file(root.data("kevad.log")).find("[error] invalid profile\n"));
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_disconnect(h));
  char buf[1024] = "x";
  EXPECT_EQ(VLN_ERR_NO_SESSION, VLN_getProfile(h, buf, 1023));
  EXPECT_STREQ("", buf);
  // Encryption needs no service at all.
  char enc[64];
  EXPECT_EQ(VLN_OK, VLN_encrypt(kKey, 40, "pw", 3, enc, sizeof enc));

  EXPECT_EQ(0, kevad.stop(SIGTERM));
  EXPECT_EQ(VLN_ERR_LINK, VLN_init());
  EXPECT_EQ(VLN_ERR_LINK, VLN_state(h, &state));
  EXPECT_EQ(VLN_ERR_LINK, VLN_connect(h, "<profile/>", nullptr));
  EXPECT_EQ(VLN_ERR_LINK, VLN_disconnect(h));
  EXPECT_EQ(VLN_ERR_LINK, VLN_getProfile(h, buf, 1023));
  int h2 = 123;
  EXPECT_EQ(VLN_ERR_LINK, VLN_open(&h2, events::record));
  EXPECT_EQ(0, h2);
  EXPECT_EQ(VLN_OK, VLN_encrypt(kKey, 40, "pw", 3, enc, sizeof enc));
  EXPECT_EQ(VLN_OK, VLN_close(h));
  EXPECT_TRUE(events::seen().empty());
}

TEST(Service, AHandleFromBeforeARestartAsksToBeReopened) {
  TempRoot root;
  Kevad kevad(root);
  ASSERT_TRUE(wait_for_channel());
  int h = 0;
  ASSERT_EQ(VLN_OK, VLN_open(&h, events::record));
  EXPECT_EQ(0, kevad.stop(SIGTERM));
  kevad.start();
  ASSERT_TRUE(wait_for_channel());

  // The service answers again, but this handle's listener died with the old
  // one: its events would never come, so the handle reports the broken link.
  int32_t state = -7;
  EXPECT_EQ(VLN_ERR_LINK, VLN_state(h, &state));
  EXPECT_EQ(VLN_ERR_LINK, VLN_connect(h, "<profile/>", nullptr));
  EXPECT_EQ(VLN_ERR_LINK, VLN_disconnect(h));
  EXPECT_EQ(VLN_OK, VLN_close(h));

  ASSERT_EQ(VLN_OK, VLN_open(&h, events::record));
  EXPECT_EQ(VLN_OK, VLN_state(h, &state));
  EXPECT_EQ(VLN_STATE_IDLE, state);
  EXPECT_EQ(VLN_OK, VLN_close(h));
}

TEST(Service, NoServiceAtAll) {
  TempRoot root;
  EXPECT_EQ(VLN_ERR_LINK, VLN_init());
  int h = 5;
  EXPECT_EQ(VLN_ERR_LINK, VLN_open(&h, nullptr));
  EXPECT_EQ(0, h);
  EXPECT_EQ(VLN_ERR_ARGUMENT, VLN_open(nullptr, nullptr));
}

}  // namespace
