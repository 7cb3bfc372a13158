// vlncard end to end, as root: a throwaway VELARN_ROOT with instances
// written straight into the registry, the host run inside a network
// namespace of the test's own, frames through the TAP with packet sockets
// and through the control device with its socket protocol.
#include <gtest/gtest.h>

#include <algorithm>

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <grp.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "adapter/adapter.h"
#include "driver/core/fast_path.h"
#include "files.h"
#include "platform/interface_port.h"
#include "platform/registry.h"
#include "process.h"
#include "wait.h"

using namespace velarn;

namespace {

const char* kClass = "SYSTEM\\CurrentControlSet\\Control\\Class\\{4D36E972-E325-11CE-BFC1-08002BE10318}";
const char* kService = "SYSTEM\\CurrentControlSet\\Services\\vlncard";
const std::string kGuid = "{5A1B2C3D-1111-2222-3333-444455556666}";
const std::string kGuid2 = "{6B2C3D4E-1111-2222-3333-444455556666}";
const std::string kIf = "vln5a1b2c3d";
constexpr uint16_t kEtherType = 0x88B5;

// A command's standard output without its trailing line ends.
std::string capture(const std::string& cmd) {
  std::string out = run_command("(" + cmd + ") 2>/dev/null");
  while (!out.empty() && (out.back() == '\n' || out.back() == ' ')) out.pop_back();
  return out;
}

// Runs the calling thread inside the namespace for its lifetime.
class InNetns {
 public:
  explicit InNetns(const std::string& ns) {
    self_ = open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = open(("/run/netns/" + ns).c_str(), O_RDONLY | O_CLOEXEC);
    ok_ = fd >= 0 && setns(fd, CLONE_NEWNET) == 0;
    if (fd >= 0) close(fd);
  }
  ~InNetns() {
    setns(self_, CLONE_NEWNET);
    close(self_);
  }
  bool ok() const { return ok_; }

 private:
  int self_;
  bool ok_;
};

struct Device {
  int fd = -1;
  ~Device() {
    if (fd >= 0) close(fd);
  }
  bool recv(std::vector<uint8_t>& msg, int timeout_ms = 3000) {
    struct pollfd p {
      fd, POLLIN, 0
    };
    if (poll(&p, 1, timeout_ms) != 1) return false;
    msg.resize(1 << 20);
    ssize_t n = ::recv(fd, msg.data(), msg.size(), 0);
    if (n <= 0) return false;
    msg.resize(size_t(n));
    return true;
  }
  bool send(const std::vector<uint8_t>& m) { return ::send(fd, m.data(), m.size(), MSG_NOSIGNAL) == ssize_t(m.size()); }
  // Sends a request and returns its (non-read) response.
  DeviceResponse call(const std::vector<uint8_t>& m, std::vector<uint8_t>& buf) {
    DeviceResponse r{};
    r.status = 0xFFFFFFFF;
    if (send(m) && recv(buf)) decode_device_response(buf.data(), buf.size(), r);
    return r;
  }
};

class VlncardHost : public ::testing::Test {
 protected:
  TempRoot temp;
  std::string root = temp.path(), ns;
  pid_t pid = -1;

  void SetUp() override {
    if (geteuid() != 0) GTEST_SKIP() << "needs root";
    ns = "vlnctest" + std::to_string(getpid());
    ASSERT_EQ(shell("ip netns add " + ns), 0);
    shell("ip netns exec " + ns + " sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1");
    add_instance("0000", kGuid);
  }

  void TearDown() override {
    if (pid > 0) {
      finish(pid, SIGTERM, 2000);
    }
    if (!ns.empty()) shell("ip netns del " + ns + " 2>/dev/null");
  }

  void add_instance(const std::string& sub, const std::string& guid) {
    Registry reg;
    std::string key = std::string(kClass) + "\\" + sub;
    ASSERT_TRUE(reg.set_sz(key, "ComponentId", "vlncard"));
    ASSERT_TRUE(reg.set_sz(key, "NetCfgInstanceId", guid));
    ASSERT_TRUE(reg.set_sz(key, "MTU", "1500"));
  }

  std::string device_path(const std::string& guid) { return root + "/run/velarn/Global/" + guid + ".vln"; }

  void start() {
    pid = spawn({VLNCARD_PATH}, {.netns = ns, .err_file = root + "/vlncard.err", .append = true});
    // The pid is written once the adapters are up.
    ASSERT_TRUE(wait_until([&] { return !capture("cat " + root + "/run/velarn/vlncard.pid 2>/dev/null").empty(); }))
        << "vlncard did not start";
  }

  int connect_device(const std::string& guid, uint32_t* create_status) {
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    std::string p = device_path(guid);
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", p.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
      close(fd);
      return -1;
    }
    Device d{fd};
    std::vector<uint8_t> m;
    DeviceResponse r{};
    *create_status =
        d.recv(m) && decode_device_response(m.data(), m.size(), r) && r.kind == DEVICE_CREATE ? r.status : 0xFFFFFFFF;
    d.fd = -1;
    return fd;
  }

  int if_flags() {
    InNetns in(ns);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr {};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", kIf.c_str());
    int r = ioctl(s, SIOCGIFFLAGS, &ifr) == 0 ? ifr.ifr_flags : -1;
    close(s);
    return r;
  }
  bool carrier() { return (if_flags() & IFF_RUNNING) != 0; }

  // A packet socket on the TAP interface, made inside the namespace.
  int packet_socket(int* ifindex) {
    InNetns in(ns);
    EXPECT_TRUE(in.ok());
    int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    *ifindex = int(if_nametoindex(kIf.c_str()));
    struct sockaddr_ll ll {};
    ll.sll_family = AF_PACKET;
    ll.sll_protocol = htons(ETH_P_ALL);
    ll.sll_ifindex = *ifindex;
    bind(s, reinterpret_cast<sockaddr*>(&ll), sizeof ll);
    return s;
  }

  // Sends a frame out of the interface from a packet socket.
  static bool transmit(int ps, int ifindex, const std::vector<uint8_t>& f) {
    struct sockaddr_ll to {};
    to.sll_family = AF_PACKET;
    to.sll_ifindex = ifindex;
    to.sll_halen = 6;
    std::memcpy(to.sll_addr, f.data(), 6);
    return sendto(ps, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == ssize_t(f.size());
  }
  // True once the frame comes in on the packet socket.
  static bool arrives(int ps, const std::vector<uint8_t>& f) {
    std::vector<uint8_t> fr(70000);
    for (int i = 0; i < 50; ++i) {
      struct pollfd p {
        ps, POLLIN, 0
      };
      if (poll(&p, 1, 3000) != 1) return false;
      struct sockaddr_ll from {};
      socklen_t fl = sizeof from;
      ssize_t n = recvfrom(ps, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (from.sll_pkttype != PACKET_OUTGOING && size_t(n) == f.size() && std::memcmp(fr.data(), f.data(), n) == 0)
        return true;
    }
    return false;
  }
  static bool write_frame(Device& dev, uint32_t tag, const std::vector<uint8_t>& f) {
    std::vector<uint8_t> b(f.size() + 16), buf;
    FrameBatchWriter w(b.data(), b.size());
    w.append(f.data(), f.size());
    b.resize(w.finish());
    return dev.call(device_write_request(tag, b.data(), b.size()), buf).status == STATUS_SUCCESS;
  }
  static std::vector<uint8_t> query(Device& dev, uint32_t oid, uint32_t len) {
    std::vector<uint8_t> buf;
    DeviceResponse r = dev.call(device_query_request(90, oid, len), buf);
    return r.status == NDIS_STATUS_SUCCESS ? std::vector<uint8_t>(r.data, r.data + r.data_length)
                                           : std::vector<uint8_t>{};
  }
  std::string link(const std::string& args) { return capture("ip -n " + ns + " " + args); }

  static std::vector<uint8_t> test_frame(uint8_t tag, size_t len = 60) {
    // Frames shorter than a header are cut from a whole one.
    std::vector<uint8_t> f(std::max<size_t>(len, 14), tag);
    for (int i = 0; i < 6; ++i) f[i] = 0xFF;
    uint8_t src[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    std::copy(src, src + 6, f.begin() + 6);
    f[12] = kEtherType >> 8;
    f[13] = kEtherType & 0xFF;
    f.resize(len);
    return f;
  }
};

TEST_F(VlncardHost, FramesBothWaysMediaAndExclusiveOpen) {
  start();
  // The interface: generated address, alias, up, carrier off.
  {
    InNetns in(ns);
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr {};
    std::snprintf(ifr.ifr_name, IFNAMSIZ, "%s", kIf.c_str());
    ASSERT_EQ(ioctl(s, SIOCGIFHWADDR, &ifr), 0) << "no interface " << kIf;
    const uint8_t want[6] = {0x12, 0x01, 0x5a, 0x1b, 0x2c, 0x3d};
    EXPECT_EQ(std::memcmp(ifr.ifr_hwaddr.sa_data, want, 6), 0);
    ASSERT_EQ(ioctl(s, SIOCGIFMTU, &ifr), 0);
    EXPECT_EQ(ifr.ifr_mtu, 1500);
    close(s);
  }
  EXPECT_EQ(capture("ip netns exec " + ns + " cat /sys/class/net/" + kIf + "/ifalias"),
            "Velarn Virtual Ethernet Adapter");
  EXPECT_TRUE(if_flags() & IFF_UP);
  // The cable is unplugged until the media is connected; the host says so
  // right after the interface appears.
  EXPECT_TRUE(wait_until([&] { return !carrier(); }));
  Registry reg;
  EXPECT_EQ(reg.get_sz(kService, "VLN_MAC_000"), "12-01-5a-1b-2c-3d");
  EXPECT_EQ(reg.get_dword(std::string(kClass) + "\\0000", "VLN_MACINDEX"), 0u);

  uint32_t st = 0;
  Device dev{connect_device(kGuid, &st)};
  ASSERT_GE(dev.fd, 0);
  ASSERT_EQ(st, STATUS_SUCCESS);
  {  // a second open is refused and closed
    uint32_t st2 = 0;
    Device second{connect_device(kGuid, &st2)};
    EXPECT_EQ(st2, STATUS_UNSUCCESSFUL);
    std::vector<uint8_t> m;
    EXPECT_FALSE(second.recv(m, 1000));
  }
  std::vector<uint8_t> buf;
  uint8_t one[4] = {1, 0, 0, 0};
  auto r = dev.call(device_control_request(1, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf);
  EXPECT_EQ(r.kind, uint32_t(DEVICE_CONTROL));
  EXPECT_EQ(r.tag, 1u);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_TRUE(wait_until([&] { return carrier(); })) << "carrier did not come up";

  // Information requests and malformed requests through the socket.
  r = dev.call(device_query_request(2, OID_802_3_CURRENT_ADDRESS, 6), buf);
  EXPECT_EQ(r.status, NDIS_STATUS_SUCCESS);
  ASSERT_EQ(r.data_length, 6u);
  EXPECT_EQ(r.data[2], 0x5a);
  r = dev.call(device_query_request(3, OID_GEN_XMIT_OK, 6), buf);
  EXPECT_EQ(r.status, NDIS_STATUS_INVALID_LENGTH);
  ASSERT_EQ(r.data_length, 4u);
  EXPECT_EQ(load_le32(r.data), 8u);
  r = dev.call(device_request(9, 4), buf);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(r.kind, 9u);
  r = dev.call(device_request(DEVICE_READ, 5, "ab", 2), buf);
  EXPECT_EQ(r.status, STATUS_INVALID_PARAMETER);

  // Outgoing: a frame sent on the interface comes out of a read.
  int ifindex = 0;
  int ps = packet_socket(&ifindex);
  ASSERT_GE(ps, 0);
  ASSERT_TRUE(dev.send(device_read_request(10, 65536)));
  auto f = test_frame(0x42);
  struct sockaddr_ll to {};
  to.sll_family = AF_PACKET;
  to.sll_ifindex = ifindex;
  to.sll_halen = 6;
  std::memset(to.sll_addr, 0xFF, 6);
  ASSERT_EQ(sendto(ps, f.data(), f.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to), ssize_t(f.size()));
  ASSERT_TRUE(dev.recv(buf));
  ASSERT_TRUE(decode_device_response(buf.data(), buf.size(), r));
  EXPECT_EQ(r.kind, uint32_t(DEVICE_READ));
  EXPECT_EQ(r.tag, 10u);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, r.data_length);
  bool found = false;
  FrameBatchReader rd(r.data, r.data_length);
  FrameView v;
  while (rd.next(v))
    if (v.length == f.size() && std::memcmp(v.data, f.data(), f.size()) == 0) found = true;
  EXPECT_EQ(rd.error(), FrameBatchError::none);
  EXPECT_TRUE(found) << "the frame was not in the batch";

  // A pending read can be cancelled.
  ASSERT_TRUE(dev.send(device_read_request(11, 65536)));
  ASSERT_TRUE(dev.send(device_cancel_request(11)));
  ASSERT_TRUE(dev.recv(buf));
  decode_device_response(buf.data(), buf.size(), r);
  EXPECT_EQ(r.tag, 11u);
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_EQ(r.data_length, 0u);

  // Incoming: a written batch reaches a packet socket on the interface.
  std::vector<uint8_t> b(4096);
  FrameBatchWriter w(b.data(), b.size());
  auto in1 = test_frame(0x51), bad = test_frame(0x52, 13), in2 = test_frame(0x53, 100);
  w.append(in1.data(), in1.size());
  w.append(bad.data(), bad.size());
  w.append(in2.data(), in2.size());
  b.resize(w.finish());
  r = dev.call(device_write_request(12, b.data(), b.size()), buf);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.information, b.size());
  std::vector<std::vector<uint8_t>> got;
  for (int i = 0; i < 20 && got.size() < 2; ++i) {
    struct pollfd p {
      ps, POLLIN, 0
    };
    if (poll(&p, 1, 1000) != 1) break;
    std::vector<uint8_t> fr(2048);
    struct sockaddr_ll from {};
    socklen_t fl = sizeof from;
    ssize_t n = recvfrom(ps, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
    if (n < 14 || from.sll_pkttype == PACKET_OUTGOING || fr[12] != (kEtherType >> 8)) continue;
    fr.resize(size_t(n));
    got.push_back(fr);
  }
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], in1);
  EXPECT_EQ(got[1], in2);
  r = dev.call(device_query_request(13, OID_GEN_RCV_ERROR, 8), buf);
  EXPECT_EQ(load_le64(r.data), 1u);

  // Media off, then on again, then close with frames queued.
  uint8_t zero[4] = {0, 0, 0, 0};
  dev.call(device_control_request(14, VLN_IOCTL_SET_MEDIA_STATUS, zero, 4), buf);
  EXPECT_TRUE(wait_until([&] { return !carrier(); })) << "carrier did not go down";
  dev.call(device_control_request(15, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf);
  EXPECT_TRUE(wait_until([&] { return carrier(); }));
  r = dev.call(device_query_request(16, OID_GEN_XMIT_OK, 8), buf);
  uint64_t xmit_before = load_le64(r.data);
  for (int i = 0; i < 3; ++i) {
    auto q = test_frame(uint8_t(0x60 + i));
    sendto(ps, q.data(), q.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  // Queued: a read too small for any of them says so and leaves them there.
  uint32_t probe = 30;
  EXPECT_TRUE(wait_until([&] {
    DeviceResponse pr{};
    if (!dev.send(device_read_request(++probe, 8)) || !dev.recv(buf, 200)) {
      dev.send(device_cancel_request(probe));
      dev.recv(buf);
      return false;
    }
    return decode_device_response(buf.data(), buf.size(), pr) && pr.status == STATUS_BUFFER_TOO_SMALL;
  })) << "the frames never reached the adapter";
  close(dev.fd);
  dev.fd = -1;
  EXPECT_TRUE(wait_until([&] { return !carrier(); })) << "closing did not take the carrier down";

  Device again{connect_device(kGuid, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  EXPECT_FALSE(carrier());
  ASSERT_TRUE(again.send(device_read_request(20, 65536)));
  r = again.call(device_query_request(21, OID_GEN_XMIT_OK, 8), buf);
  // Answers come in order: had the read found frames queued before the
  // close, its answer would be this one.
  EXPECT_EQ(r.tag, 21u) << "frames queued before the close were delivered";
  EXPECT_EQ(load_le64(r.data), xmit_before);
  close(ps);
}

// What an ordinary user gets from a control device: 0 the connect was
// refused, 1 connected but closed without an answer, 2 an answer came.
int open_as_user(const std::string& path) {
  pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(1000) != 0 || setuid(1000) != 0) _exit(9);
    int fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    struct sockaddr_un sa {};
    sa.sun_family = AF_UNIX;
    std::snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
    if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) _exit(0);
    struct pollfd p {
      fd, POLLIN, 0
    };
    uint8_t m[64];
    _exit(poll(&p, 1, 5000) == 1 && recv(fd, m, sizeof m, 0) > 0 ? 2 : 1);
  }
  int st = 0;
  waitpid(child, &st, 0);
  return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

TEST_F(VlncardHost, ControlDeviceIsRootsAloneUnderAnyUmask) {
  ASSERT_EQ(chmod(root.c_str(), 0755), 0);  // only the host's own modes may keep the user out
  mode_t old = umask(0);
  start();
  umask(old);
  struct stat st {};
  ASSERT_EQ(stat(device_path(kGuid).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  ASSERT_EQ(stat((root + "/run/velarn/Global").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  ASSERT_EQ(stat((root + "/run/velarn").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0755u) << "the service's channel must stay reachable";
  ASSERT_EQ(stat((root + "/run/velarn/vlncard.pid").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0644u);
  EXPECT_EQ(open_as_user(device_path(kGuid)), 0);

  // Modes loosened by hand: the host still serves root alone, and root still
  // gets its device.
  ASSERT_EQ(chmod((root + "/run/velarn/Global").c_str(), 0755), 0);
  ASSERT_EQ(chmod(device_path(kGuid).c_str(), 0666), 0);
  EXPECT_EQ(open_as_user(device_path(kGuid)), 1);
  uint32_t status = 0;
  Device dev{connect_device(kGuid, &status)};
  EXPECT_EQ(status, STATUS_SUCCESS);
}

// Taking the interface down while frames are written must cost frames, not
// the interface: same ifindex, same address afterwards, every time.
TEST_F(VlncardHost, DownAndUpUnderTrafficKeepTheInterface) {
  start();
  uint32_t st = 0;
  Device dev{connect_device(kGuid, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  std::vector<uint8_t> buf;
  uint8_t one[4] = {1, 0, 0, 0};
  dev.call(device_control_request(1, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf);
  ASSERT_EQ(shell("ip -n " + ns + " addr add 10.77.0.1/24 dev " + kIf), 0);
  const std::string index = link("-o link show " + kIf + " | cut -d: -f1");

  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  std::thread writer([&] {
    std::vector<uint8_t> b(4096), m;
    FrameBatchWriter w(b.data(), b.size());
    for (int i = 0; i < 8; ++i) w.append(test_frame(uint8_t(i)).data(), 60);
    b.resize(w.finish());
    auto req = device_write_request(7, b.data(), b.size());
    while (!stop) {
      for (int i = 0; i < 8; ++i) dev.send(req);  // pipelined: answers read afterwards
      for (int i = 0; i < 8 && dev.recv(m); ++i) ++answered;
    }
  });
  struct Joiner {  // an assertion that leaves early must not leave the writer running
    std::atomic<bool>& stop;
    std::thread& t;
    ~Joiner() {
      stop = true;
      if (t.joinable()) t.join();
    }
  } joiner{stop, writer};
  for (int round = 0; round < 5; ++round) {
    ASSERT_EQ(shell("ip -n " + ns + " link set " + kIf + " down"), 0);
    int seen = answered;
    EXPECT_TRUE(wait_until([&] { return answered > seen + 16; })) << "writes stalled while down";
    ASSERT_EQ(shell("ip -n " + ns + " link set " + kIf + " up"), 0) << "the interface was made anew";
    EXPECT_EQ(link("-o link show " + kIf + " | cut -d: -f1"), index) << "round " << round;
    EXPECT_NE(link("-o addr show dev " + kIf).find("10.77.0.1/24"), std::string::npos) << "round " << round;
  }
  stop = true;
  writer.join();
  EXPECT_EQ(link("-o link show " + kIf + " | cut -d: -f1"), index);
}

// The interface changed by hand: the adapter takes the new address (the OID
// reports it, frames to it get through) and the new MTU in both directions.
TEST_F(VlncardHost, FollowsTheInterfacesAddressAndMtu) {
  start();
  uint32_t st = 0;
  Device dev{connect_device(kGuid, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  std::vector<uint8_t> buf;
  uint8_t one[4] = {1, 0, 0, 0};
  dev.call(device_control_request(1, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf);
  int ifindex = 0;
  int ps = packet_socket(&ifindex);
  ASSERT_GE(ps, 0);

  const std::vector<uint8_t> mac = {0x02, 0xaa, 0xbb, 0xcc, 0xdd, 0xee};
  ASSERT_EQ(shell("ip -n " + ns + " link set " + kIf + " address 02:aa:bb:cc:dd:ee mtu 1600"), 0);
  // The kernel may report the two changes one after the other.
  EXPECT_TRUE(wait_until([&] { return query(dev, OID_802_3_CURRENT_ADDRESS, 6) == mac; }));
  EXPECT_TRUE(wait_until([&] {
    return query(dev, OID_GEN_MAXIMUM_FRAME_SIZE, 4) == std::vector<uint8_t>{0x40, 0x06, 0, 0};
  }));

  // In: a directed frame to the new address, then one of the new MTU.
  auto to_us = test_frame(0x71);
  std::copy(mac.begin(), mac.end(), to_us.begin());
  ASSERT_TRUE(write_frame(dev, 2, to_us));
  EXPECT_TRUE(arrives(ps, to_us)) << "a frame to the new address was dropped";
  auto big = test_frame(0x72, 1614);
  ASSERT_TRUE(write_frame(dev, 3, big));
  EXPECT_TRUE(arrives(ps, big)) << "a frame of the new MTU was dropped on its way in";

  // Out: a frame of the new MTU leaves whole.
  auto out = test_frame(0x73, 1614);
  ASSERT_TRUE(transmit(ps, ifindex, out));
  bool whole = false;
  for (int i = 0; i < 5 && !whole; ++i) {
    ASSERT_TRUE(dev.send(device_read_request(10 + i, 1 << 20)));
    ASSERT_TRUE(dev.recv(buf));
    DeviceResponse r{};
    ASSERT_TRUE(decode_device_response(buf.data(), buf.size(), r));
    FrameBatchReader rd(r.data, r.data_length);
    FrameView v;
    while (rd.next(v)) whole = whole || (v.length == out.size() && std::memcmp(v.data, out.data(), v.length) == 0);
  }
  EXPECT_TRUE(whole) << "a frame of the new MTU was dropped on its way out";
  EXPECT_EQ(query(dev, OID_GEN_XMIT_ERROR, 8), std::vector<uint8_t>(8, 0));
  close(ps);
}

// A second host on the same root is refused and takes nothing from the
// first, which still obeys the installer, even one whose INF has gone.
TEST_F(VlncardHost, OneHostPerRoot) {
  start();
  const std::string pid_file = root + "/run/velarn/vlncard.pid";
  const std::string first = capture("cat " + pid_file);
  int st = 0;
  std::string out = capture("ip netns exec " + ns + " " VLNCARD_PATH " 2>&1; echo rc=$?");
  EXPECT_NE(out.find("another host (pid " + first + ") already serves this root"), std::string::npos) << out;
  EXPECT_NE(out.find("rc=1"), std::string::npos) << out;
  EXPECT_EQ(capture("cat " + pid_file), first);
  EXPECT_EQ(access(device_path(kGuid).c_str(), F_OK), 0);

  const std::string bare = root + "/bin/vlncardsetup";  // no vlncard.inf beside it
  ASSERT_EQ(shell("mkdir -p " + root + "/bin && cp " VLNCARDSETUP_PATH " " + bare), 0);
  out = capture(bare + " uninstall 2>&1");
  EXPECT_NE(out.find("installation file not found"), std::string::npos) << out;
  ASSERT_TRUE(wait_until([&] { return waitpid(pid, &st, WNOHANG) == pid; })) << "the host did not stop: " << out;
  pid = -1;
  EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0);
  EXPECT_NE(access(pid_file.c_str(), F_OK), 0) << "the host's own pid file outlived it";
  EXPECT_NE(access(device_path(kGuid).c_str(), F_OK), 0);
}

// A client that does not read its answers waits for them in order; it
// holds up neither itself nor a client of another adapter.
TEST_F(VlncardHost, SlowClientKeepsItsAnswersAndHoldsNobody) {
  add_instance("0001", kGuid2);
  start();
  uint32_t st = 0;
  Device slow{connect_device(kGuid, &st)}, other{connect_device(kGuid2, &st)};
  ASSERT_GE(slow.fd, 0);
  ASSERT_GE(other.fd, 0);
  // Requests until the host stops taking them: its answers have filled the
  // socket and wait in its queue.
  uint32_t sent = 0;
  for (struct pollfd p{slow.fd, POLLOUT, 0}; sent < 5000 && poll(&p, 1, 1000) == 1; ++sent) {
    auto q = device_query_request(sent, OID_GEN_XMIT_OK, 8);
    if (::send(slow.fd, q.data(), q.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(q.size())) break;
  }
  std::vector<uint8_t> buf;
  EXPECT_EQ(other.call(device_query_request(1, OID_GEN_XMIT_OK, 8), buf).status, NDIS_STATUS_SUCCESS);
  uint32_t next = 0;
  DeviceResponse r{};
  while (next < sent && slow.recv(buf) && decode_device_response(buf.data(), buf.size(), r) && r.tag == next) ++next;
  EXPECT_EQ(next, sent) << "answers lost or out of order";
}

// The stored interface metric reaches every route through the adapter that
// came without one, and follows a change of the stored value.
TEST_F(VlncardHost, StoredMetricGoesToTheAdaptersRoutes) {
  const std::string key = "SYSTEM\\CurrentControlSet\\Services\\Tcpip\\Parameters\\Interfaces\\" + kGuid;
  Registry reg;
  ASSERT_TRUE(reg.set_dword(key, "InterfaceMetric", 5));
  start();
  auto routes = [&] { return link("-4 route show dev " + kIf); };
  ASSERT_EQ(shell("ip -n " + ns + " link set " + kIf + " up && ip -n " + ns + " addr add 10.78.0.1/24 dev " + kIf), 0);
  EXPECT_TRUE(wait_until([&] {
    return routes().find("10.78.0.0/24 proto kernel scope link src 10.78.0.1 metric 5") != std::string::npos;
  })) << routes();
  ASSERT_EQ(shell("ip -n " + ns + " route add 10.79.0.0/16 dev " + kIf), 0);
  ASSERT_EQ(shell("ip -n " + ns + " route add 10.80.0.0/16 dev " + kIf + " metric 3"), 0);
  EXPECT_TRUE(wait_until([&] { return routes().find("10.79.0.0/16 scope link metric 5") != std::string::npos; }))
      << routes();

  ASSERT_TRUE(reg.set_dword(key, "InterfaceMetric", 7));
  kill(pid, SIGHUP);
  EXPECT_TRUE(wait_until([&] {
    std::string r = routes();
    return r.find("10.78.0.0/24 proto kernel scope link src 10.78.0.1 metric 7") != std::string::npos &&
           r.find("10.79.0.0/16 scope link metric 7") != std::string::npos;
  })) << routes();
  std::string r = routes();
  EXPECT_NE(r.find("10.80.0.0/16 scope link metric 3"), std::string::npos) << "a chosen metric was moved: " << r;
  EXPECT_EQ(r.find("10.79.0.0/16 scope link linkdown"), std::string::npos)
      << "the route without a metric stayed: " << r;
  // The prefix route still goes with its address.
  ASSERT_EQ(shell("ip -n " + ns + " addr del 10.78.0.1/24 dev " + kIf), 0);
  EXPECT_EQ(routes().find("10.78.0.0"), std::string::npos) << routes();
}

TEST_F(VlncardHost, DamagedRegistryIsReportedAsSuch) {
  add_instance("0001", kGuid2);
  std::string values = capture("find " + root + "/etc/velarn/registry -ipath '*0001*' -type f | head -n 1");
  ASSERT_FALSE(values.empty());
  std::ofstream(values, std::ios::trunc) << "\x01 not a values file\n";
  start();
  std::string err = capture("cat " + root + "/vlncard.err");
  EXPECT_NE(err.find("damaged registry values file"), std::string::npos) << err;
  EXPECT_EQ(access(device_path(kGuid).c_str(), F_OK), 0) << "the sound adapter must still start";
}

TEST_F(VlncardHost, RescanAddsAndHaltsInstancesAndStopCleansUp) {
  start();
  ASSERT_EQ(access(device_path(kGuid).c_str(), F_OK), 0);
  add_instance("0001", kGuid2);
  kill(pid, SIGHUP);
  EXPECT_TRUE(wait_until([&] { return access(device_path(kGuid2).c_str(), F_OK) == 0; }));
  Registry reg;
  EXPECT_EQ(reg.get_dword(kService, "VLN_CNT"), 2u);
  EXPECT_EQ(reg.get_sz(kService, "VLN_MAC_001"), "12-01-6b-2c-3d-4e");

  // A pending read is answered when its adapter is removed.
  uint32_t st = 0;
  Device dev{connect_device(kGuid2, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  ASSERT_TRUE(dev.send(device_read_request(7, 4096)));
  // Requests are served in order: the query's answer shows that the read
  // before it is pending in the host, not still in the socket.
  std::vector<uint8_t> m;
  ASSERT_EQ(dev.call(device_query_request(8, OID_802_3_CURRENT_ADDRESS, 6), m).status, STATUS_SUCCESS);
  ASSERT_TRUE(reg.delete_key(std::string(kClass) + "\\0001"));
  kill(pid, SIGHUP);
  ASSERT_TRUE(dev.recv(m));
  DeviceResponse r{};
  decode_device_response(m.data(), m.size(), r);
  EXPECT_EQ(r.tag, 7u);
  EXPECT_EQ(r.status, STATUS_CANCELLED);
  EXPECT_TRUE(wait_until([&] { return access(device_path(kGuid2).c_str(), F_OK) != 0; }));
  EXPECT_EQ(reg.get_dword(kService, "VLN_USE_001"), 0u);

  // The interface deleted under the host comes back, with its address.
  ASSERT_EQ(shell("ip netns exec " + ns + " ip link del " + kIf), 0);
  EXPECT_TRUE(wait_until([&] {
    return capture("ip netns exec " + ns + " cat /sys/class/net/" + kIf + "/address 2>/dev/null") ==
           "12:01:5a:1b:2c:3d";
  })) << "the interface was not recreated";

  kill(pid, SIGTERM);
  int wst = 0;
  ASSERT_TRUE(wait_until([&] { return waitpid(pid, &wst, WNOHANG) == pid; }));
  pid = -1;
  EXPECT_TRUE(WIFEXITED(wst));
  EXPECT_EQ(WEXITSTATUS(wst), 0);
  EXPECT_NE(access(device_path(kGuid).c_str(), F_OK), 0);
  EXPECT_EQ(reg.get_dword(kService, "VLN_USE_000"), 0u);
  EXPECT_EQ(if_flags(), -1) << "the interface outlived the host";
}

}  // namespace

// The client takes the data path over: it gets the interface and the shared
// block, frames of every length go both ways through the driver core's own
// rules run here, the host counts what the client counted, and a close gives
// the data path back with the close's semantics.
TEST_F(VlncardHost, AttachedClientRunsTheDataPath) {
  start();
  uint32_t st = 0;
  Device dev{connect_device(kGuid, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  std::vector<uint8_t> buf;
  uint8_t one[4] = {1, 0, 0, 0};
  ASSERT_EQ(dev.call(device_control_request(1, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf).status, STATUS_SUCCESS);

  // The answer carries two descriptors: the interface and the block.
  auto attach = [&](Device& d, uint32_t tag, int fds[2]) {
    auto m = device_request(DEVICE_ATTACH, tag);
    EXPECT_TRUE(d.send(m));
    uint8_t head[DEVICE_RESPONSE_HEADER];
    struct iovec iov {
      head, sizeof head
    };
    alignas(struct cmsghdr) char control[CMSG_SPACE(2 * sizeof(int))];
    struct msghdr mh {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = control;
    mh.msg_controllen = sizeof control;
    struct pollfd p {
      d.fd, POLLIN, 0
    };
    DeviceResponse r{};
    r.status = 0xFFFFFFFF;
    if (poll(&p, 1, 3000) != 1 || recvmsg(d.fd, &mh, MSG_CMSG_CLOEXEC) != ssize_t(sizeof head)) return r;
    decode_device_response(head, sizeof head, r);
    struct cmsghdr* c = CMSG_FIRSTHDR(&mh);
    if (c && c->cmsg_type == SCM_RIGHTS && c->cmsg_len == CMSG_LEN(2 * sizeof(int)))
      std::memcpy(fds, CMSG_DATA(c), 2 * sizeof(int));
    return r;
  };
  int fds[2] = {-1, -1};
  DeviceResponse r = attach(dev, 2, fds);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  ASSERT_GE(fds[1], 0);
  auto port = InterfacePort::adopt(fds[0], fds[1], r.information, dev.fd);
  ASSERT_TRUE(port);
  auto* block = static_cast<vlncard::SharedAdapterBlock*>(port->block());
  ASSERT_TRUE(vlncard::shared_block_valid(*block));
  port->set_vnet(block->vnet != 0);
  struct Io : vlncard::FrameIo {
    InterfacePort& p;
    explicit Io(InterfacePort& port) : p(port) {}
    long read_frame(uint8_t* out, size_t cap) override { return p.read_frame(out, cap); }
    size_t waiting_length() const override { return p.waiting_length(); }
    bool write_frame(const uint8_t* f, size_t n) override { return p.write_frame(f, n); }
  } io(*port);
  vlncard::FastPath fast(*block, io);
  int fds2[2] = {-1, -1};
  EXPECT_EQ(attach(dev, 3, fds2).status, STATUS_UNSUCCESSFUL) << "a second attach";
  EXPECT_EQ(fds2[0], -1);

  int ifindex = 0;
  int ps = packet_socket(&ifindex);
  ASSERT_GE(ps, 0);
  // Frames the client reads until n of ours came, each batch checked whole.
  std::vector<uint8_t> batch(FRAME_BATCH_HEADER + FRAME_BATCH_MAX_READ_FRAMES * frame_record_size(1514));
  auto read_ours = [&](size_t n) {
    std::vector<std::vector<uint8_t>> got;
    for (int i = 0; i < 100 && got.size() < n; ++i) {
      long len = fast.read_batch(batch.data(), batch.size());
      if (len <= 0) {
        port->wait(100);
        continue;
      }
      FrameBatchReader rd(batch.data(), size_t(len));
      EXPECT_LE(frame_batch_count(batch.data()), FRAME_BATCH_MAX_READ_FRAMES);
      FrameView v;
      while (rd.next(v))
        if (v.length >= 14 && load_be16(v.data + 12) == kEtherType) got.emplace_back(v.data, v.data + v.length);
      EXPECT_EQ(rd.error(), FrameBatchError::none);
    }
    return got;
  };
  // Frames a packet socket on the interface receives until n of ours came.
  auto received = [&](size_t n) {
    std::vector<std::vector<uint8_t>> got;
    std::vector<uint8_t> fr(2048);
    struct pollfd p {
      ps, POLLIN, 0
    };
    while (got.size() < n && poll(&p, 1, 1000) == 1) {
      struct sockaddr_ll from {};
      socklen_t fl = sizeof from;
      ssize_t k = recvfrom(ps, fr.data(), fr.size(), 0, reinterpret_cast<sockaddr*>(&from), &fl);
      if (k >= 14 && from.sll_pkttype != PACKET_OUTGOING && load_be16(fr.data() + 12) == kEtherType)
        got.emplace_back(fr.begin(), fr.begin() + k);
    }
    return got;
  };
  // Every length from a bare header to the MTU's largest frame, both ways,
  // in groups so that no queue on the way overflows.
  uint64_t frames = 0;
  for (size_t first = 14; first <= 1514; first += 32) {
    std::vector<std::vector<uint8_t>> group;
    for (size_t len = first; len < first + 32 && len <= 1514; ++len) {
      auto f = test_frame(uint8_t(len), len);
      if (len >= 16) store_be16(f.data() + 14, uint16_t(len));
      group.push_back(f);
    }
    for (auto& f : group) ASSERT_TRUE(transmit(ps, ifindex, f));
    EXPECT_EQ(read_ours(group.size()), group) << "system to client, from " << first;
    std::vector<uint8_t> out(FRAME_BATCH_HEADER + group.size() * frame_record_size(1514));
    FrameBatchWriter w(out.data(), out.size());
    for (auto& f : group) w.append(f.data(), f.size());
    out.resize(w.finish());
    uint32_t info = 0;
    ASSERT_EQ(fast.write_batch(out.data(), out.size(), &info), STATUS_SUCCESS);
    EXPECT_EQ(info, out.size());
    EXPECT_EQ(received(group.size()), group) << "client to system, from " << first;
    frames += group.size();
  }

  // The rules the host publishes are the ones applied: the allow list a
  // control sets refuses another source at once, and a frame to an address
  // that is not the adapter's is not delivered while one to its own is.
  const uint8_t allowed[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
  ASSERT_EQ(dev.call(device_control_request(4, VLN_IOCTL_SET_MAC_ALLOW, allowed, 6), buf).status, STATUS_SUCCESS);
  auto stranger = test_frame(0x70);
  stranger[11] = 0x99;
  auto friendly = test_frame(0x71);
  ASSERT_TRUE(transmit(ps, ifindex, stranger));
  ASSERT_TRUE(transmit(ps, ifindex, friendly));
  EXPECT_EQ(read_ours(1), std::vector<std::vector<uint8_t>>{friendly});
  auto own = test_frame(0x72), other = test_frame(0x73);
  const uint8_t mac[6] = {0x12, 0x01, 0x5a, 0x1b, 0x2c, 0x3d};
  std::copy(mac, mac + 6, own.begin());
  std::copy(mac, mac + 6, other.begin());
  other[5] ^= 1;
  std::vector<uint8_t> out(256);
  FrameBatchWriter w(out.data(), out.size());
  w.append(other.data(), other.size());
  w.append(own.data(), own.size());
  out.resize(w.finish());
  uint32_t info = 0;
  ASSERT_EQ(fast.write_batch(out.data(), out.size(), &info), STATUS_SUCCESS);
  EXPECT_EQ(received(2), std::vector<std::vector<uint8_t>>{own});
  // A damaged batch delivers nothing and counts one receive error.
  out[4] = 0x7F;
  EXPECT_EQ(fast.write_batch(out.data(), out.size(), &info), STATUS_BUFFER_TOO_SMALL);

  // While attached the host answers from what the client counted.
  auto counter = [&](uint32_t oid) {
    DeviceResponse q = dev.call(device_query_request(5, oid, 8), buf);
    return q.status == NDIS_STATUS_SUCCESS && q.data_length == 8 ? load_le64(q.data) : ~0ull;
  };
  EXPECT_EQ(counter(OID_GEN_XMIT_OK), frames + 1);
  EXPECT_EQ(counter(OID_GEN_RCV_OK), frames + 1);
  EXPECT_EQ(counter(OID_GEN_XMIT_ERROR), 1u);
  EXPECT_EQ(counter(OID_GEN_RCV_ERROR), 1u);

  // The close gives the data path back: media down, and frames sent after
  // it reach the next client's read requests, with the counts kept.
  port.reset();
  close(dev.fd);
  dev.fd = -1;
  EXPECT_TRUE(wait_until([&] { return !carrier(); })) << "closing did not take the carrier down";
  Device again{connect_device(kGuid, &st)};
  ASSERT_EQ(st, STATUS_SUCCESS);
  ASSERT_EQ(again.call(device_control_request(6, VLN_IOCTL_SET_MEDIA_STATUS, one, 4), buf).status, STATUS_SUCCESS);
  ASSERT_TRUE(wait_until([&] { return carrier(); }));
  ASSERT_TRUE(again.send(device_read_request(20, 65536)));
  auto later = test_frame(0x74);
  ASSERT_TRUE(transmit(ps, ifindex, later));
  ASSERT_TRUE(again.recv(buf));
  ASSERT_TRUE(decode_device_response(buf.data(), buf.size(), r));
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  FrameBatchReader rd(r.data, r.data_length);
  FrameView v;
  ASSERT_TRUE(rd.next(v));
  EXPECT_EQ(std::vector<uint8_t>(v.data, v.data + v.length), later);
  r = again.call(device_query_request(21, OID_GEN_XMIT_OK, 8), buf);
  EXPECT_EQ(load_le64(r.data), frames + 2);
  close(ps);

  // When the host goes, the data path it handed over ends with it: the
  // interface must not live on in the client's hands.
  r = attach(again, 22, fds);
  ASSERT_EQ(r.status, STATUS_SUCCESS);
  port = InterfacePort::adopt(fds[0], fds[1], r.information, again.fd);
  ASSERT_TRUE(port);
  finish(pid, SIGTERM, 5000);
  pid = -1;
  EXPECT_EQ(port->wait(5000), InterfacePort::kFailed);
}
