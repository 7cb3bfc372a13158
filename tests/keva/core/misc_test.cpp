#include <apr_network_io.h>
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "files.h"
#include "in_process.h"
#include "misc.h"
#include "msgbuf.h"

namespace {
class Helpers : public PoolFixtureBase, public ::testing::Test {};
int g_seen;
void count_entry(void*) { ++g_seen; }
}  // namespace

TEST_F(Helpers, PointerListGrowsRemovesAndClears) {
  PtrList* list = ptrlist_create(pool);
  ASSERT_NE(nullptr, list);
  EXPECT_EQ(4, list->capacity);
  int values[9];
  for (int& v : values) ptrlist_append(list, &v);
  EXPECT_EQ(9, list->count);
  EXPECT_EQ(16, list->capacity);
  EXPECT_EQ(&values[8], ptrlist_get(list, 8));
  EXPECT_EQ(nullptr, ptrlist_get(list, 9));
  EXPECT_EQ(nullptr, ptrlist_get(list, -1));

  EXPECT_EQ(0, ptrlist_remove(list, &values[0]));
  EXPECT_EQ(-1, ptrlist_remove(list, &values[0]));
  EXPECT_EQ(8, list->count);
  EXPECT_EQ(&values[1], ptrlist_get(list, 0));  // later entries moved down
  EXPECT_EQ(&values[8], ptrlist_get(list, 7));

  g_seen = 0;
  ptrlist_clear(list, count_entry);
  EXPECT_EQ(8, g_seen);
  EXPECT_EQ(0, list->count);
  EXPECT_EQ(nullptr, ptrlist_get(list, 0));
  ptrlist_destroy(list);
}

TEST(CodeNames, LookupByCodeAndExactName) {
  static const CodeName states[] = {{0, "Terminate"}, {1, "Connecting"}, {2, "Connected"}, {0, nullptr}};
  EXPECT_STREQ("Connected", codename_name(states, 2));
  EXPECT_EQ(nullptr, codename_name(states, 7));
  EXPECT_EQ(1, codename_code(states, "Connecting", -1));
  EXPECT_EQ(-1, codename_code(states, "connecting", -1));
  EXPECT_EQ(-1, codename_code(states, nullptr, -1));
}

TEST(MacText, LowerCaseColonSeparated) {
  const unsigned char mac[6] = {0x12, 0x01, 0x4d, 0x36, 0xE9, 0x72};
  char buf[18];
  EXPECT_STREQ("12:01:4d:36:e9:72", mac_text(mac, buf));
}

TEST(SystemDescription, OneLineWithKernelAndWordSize) {
  char buf[256];
  ASSERT_EQ(0, system_description(buf, sizeof buf));
  std::string s = buf;
  EXPECT_EQ(std::string::npos, s.find('\n'));
  EXPECT_NE(std::string::npos, s.find("(Kernel "));
  char small[8];
  ASSERT_EQ(0, system_description(small, sizeof small));
  EXPECT_EQ(7u, std::strlen(small));  // cut, never overrun
}

TEST_F(Helpers, WholeFileIsCappedAndTerminated) {
  TempRoot root;
  std::string path = root.data("big.bin");
  write_file(path, std::string(70000, 'q'));
  size_t len = 0;
  char* text = read_whole_file(path.c_str(), pool, &len);
  ASSERT_NE(nullptr, text);
  EXPECT_EQ(65535u, len);
  EXPECT_EQ(0, text[65535]);
  CapturedLog cap;
  EXPECT_EQ(nullptr, read_whole_file(root.data("missing").c_str(), pool));
  EXPECT_TRUE(cap.has(root.data("missing") + ": No such file or directory"));
}

TEST_F(Helpers, TracedReceiveReportsTimeoutAsZeroAndSendsWhole) {
  apr_sockaddr_t* sa;
  apr_socket_t *listener, *client, *server;
  ASSERT_EQ(APR_SUCCESS, apr_sockaddr_info_get(&sa, "127.0.0.1", APR_INET, 0, 0, pool));
  ASSERT_EQ(APR_SUCCESS, apr_socket_create(&listener, APR_INET, SOCK_STREAM, APR_PROTO_TCP, pool));
  ASSERT_EQ(APR_SUCCESS, apr_socket_bind(listener, sa));
  ASSERT_EQ(APR_SUCCESS, apr_socket_listen(listener, 1));
  apr_sockaddr_t* bound;
  apr_socket_addr_get(&bound, APR_LOCAL, listener);
  ASSERT_EQ(APR_SUCCESS, apr_socket_create(&client, APR_INET, SOCK_STREAM, APR_PROTO_TCP, pool));
  ASSERT_EQ(APR_SUCCESS, apr_socket_connect(client, bound));
  ASSERT_EQ(APR_SUCCESS, apr_socket_accept(&server, listener, pool));

  socket_timeouts(client, 1);
  char buf[16];
  EXPECT_EQ(0, socket_recv(client, buf, sizeof buf));  // one-second time-out
  EXPECT_EQ(5, socket_send(server, "hello", 5));
  EXPECT_EQ(5, socket_recv(client, buf, sizeof buf));
  EXPECT_EQ(0, std::memcmp(buf, "hello", 5));
  apr_socket_close(server);
  EXPECT_EQ(0, socket_recv(client, buf, sizeof buf));  // orderly close: no data
}

TEST(MessageBuffers, RecycledThroughTheFreeListAndCounted) {
  // Earlier cases (or runs) may have left buffers on the free list: what
  // counts is that a buffer given back is taken again, not made anew.
  long before = msgbuf_outstanding();
  MessageBuffer* a = msgbuf_take();
  a->used = 99;
  MessageBuffer* b = msgbuf_take();
  long taken = msgbuf_outstanding();
  EXPECT_LE(taken, before + 2);
  EXPECT_GE(taken, 2);
  msgbuf_give(a);
  MessageBuffer* c = msgbuf_take();
  EXPECT_EQ(a, c);  // head of the free list
  EXPECT_EQ(0u, c->used);
  EXPECT_EQ(taken, msgbuf_outstanding());
  msgbuf_give(b);
  msgbuf_give(c);
}

TEST(MessageBuffers, EndOfRunCheckWarnsAboutBuffersStillOut) {
  apr_initialize();
  apr_pool_t* pool;
  apr_pool_create(&pool, nullptr);
  msgbuf_init(pool);
  MessageBuffer* kept = msgbuf_take();
  msgbuf_give(msgbuf_take());
  {
    CapturedLog cap;
    apr_pool_destroy(pool);
    EXPECT_TRUE(cap.has("BUG!! some buffer still in use"));
  }
  msgbuf_give(kept);
  apr_pool_create(&pool, nullptr);
  msgbuf_init(pool);
  CapturedLog cap;
  apr_pool_destroy(pool);
  EXPECT_FALSE(cap.has("BUG!! some buffer still in use"));
  EXPECT_EQ(0, msgbuf_outstanding());
}
