// vlncardsetup as the product's setup runs it: a real process over a real
// (throwaway) registry, with a stand-in driver host where one is needed.
#include "platform/device_installer.h"
#include "platform/registry.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "files.h"
#include "process.h"

using velarn::Registry;

namespace {

const std::string kClass = velarn::kNetClassKey;
const std::string kIfaces = velarn::kTcpipInterfaces;
const std::string kNetCfg = velarn::kNetworkConfig;

// Every key and value under the root, one line each, for before/after checks.
void dump(Registry& reg, const std::string& key, std::string& out) {
  out += "[" + key + "]\n";
  for (auto& n : reg.value_names(key)) {
    auto v = reg.get(key, n);
    out += n + "=" + std::to_string(int(v->type)) + ":" + v->sz + std::to_string(v->dword);
    for (auto& m : v->multi) out += "|" + m;
    out += "\n";
  }
  for (auto& s : reg.sub_keys(key)) dump(reg, key.empty() ? s : key + "\\" + s, out);
}

class VlncardsetupTest : public ::testing::Test {
 protected:
  void SetUp() override { setenv("VLNCARDSETUP_METRIC_WAIT_MS", "5", 1); }
  void TearDown() override {
    if (host > 0) {
      kill(host, SIGKILL);
      waitpid(host, nullptr, 0);
    }
    unsetenv("VLNCARDSETUP_METRIC_WAIT_MS");
  }

  // Runs the program; returns its exit code, standard output in *out.
  int setup(const std::vector<std::string>& args, std::string* out = nullptr,
            const std::string& program = VLNCARDSETUP_PATH) {
    std::vector<std::string> argv = {program};
    argv.insert(argv.end(), args.begin(), args.end());
    ProgramRun r = run_program(argv);
    if (out) *out = r.out;
    return r.code;
  }

  // A stand-in driver host: a program whose process name is "vlncard",
  // registered in the pid file. Its default signal actions let the test see
  // which signal the installer sent.
  void start_host(const std::string& name = "vlncard", bool pid_file = true) {
    std::string prog = root + "/" + name;
    ASSERT_EQ(std::system(("cp /bin/sleep '" + prog + "'").c_str()), 0);
    host = fork();
    if (host == 0) {
      execl(prog.c_str(), name.c_str(), "30", (char*)nullptr);
      _exit(127);
    }
    for (int i = 0; i < 200 && read_file("/proc/" + std::to_string(host) + "/comm") != name + "\n"; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    if (pid_file) {
      ASSERT_EQ(std::system(("mkdir -p '" + root + "/run/velarn'").c_str()), 0);
      std::ofstream(root + "/run/velarn/vlncard.pid") << host << "\n";
    }
  }

  // The signal that ended the host, 0 while it still runs.
  int host_signal(int wait_ms = 2000) {
    for (int i = 0; i < wait_ms / 10; ++i) {
      int st = 0;
      if (waitpid(host, &st, WNOHANG) == host) {
        host = 0;
        return WIFSIGNALED(st) ? WTERMSIG(st) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return 0;
  }

  std::vector<std::string> instances() { return Registry().sub_keys(kClass); }
  std::string id_of(const std::string& inst) {
    return Registry().get_sz(kClass + "\\" + inst, "NetCfgInstanceId").value_or("");
  }
  std::optional<uint32_t> metric_of(const std::string& id) {
    return Registry().get_dword(kIfaces + "\\" + id, "InterfaceMetric");
  }

  TempRoot temp;
  std::string root = temp.path();
  pid_t host = 0;
};

TEST_F(VlncardsetupTest, InstallOnACleanSystemAddsOneAdapterWithItsMetric) {
  ASSERT_EQ(setup({"install", "5"}), 0);
  Registry reg;
  ASSERT_EQ(instances(), std::vector<std::string>{"0000"});
  const std::string inst = kClass + "\\0000";
  const std::string id = id_of("0000");
  ASSERT_EQ(id.size(), 38u);
  EXPECT_EQ(id.find_first_not_of("{}-0123456789ABCDEF"), std::string::npos) << id;
  EXPECT_EQ(id[0], '{');
  EXPECT_EQ(id[9], '-');
  EXPECT_EQ(id[37], '}');
  EXPECT_EQ(reg.get_sz(inst, "ComponentId"), "vlncard");
  EXPECT_EQ(reg.get_sz(inst, "MatchingDeviceId"), "vlncard");
  EXPECT_EQ(reg.get_sz(inst, "DriverDesc"), "Velarn Virtual Ethernet Adapter");
  EXPECT_EQ(reg.get_multi(inst, "HardwareID"), std::vector<std::string>{"vlncard"});
  EXPECT_EQ(reg.get_sz(inst, "MTU"), "1500");
  EXPECT_EQ(reg.get_sz(inst, "LinkSpeed"), "1");
  EXPECT_EQ(reg.get_sz(inst, "ReceiveLength"), "128");
  EXPECT_EQ(reg.get_sz(inst, "DelayedSend"), "0");

  EXPECT_EQ(metric_of(id), 5u);
  std::string lower_hex = id.substr(1, 8);
  for (auto& c : lower_hex) c = char(std::tolower(c));
  EXPECT_EQ(reg.get_sz(kNetCfg + "\\" + id + "\\Connection", "Name"), "vln" + lower_hex);
  EXPECT_EQ(reg.get_dword(kNetCfg + "\\Descriptions", "Velarn Virtual Ethernet Adapter"), 1u);
  EXPECT_TRUE(reg.key_exists("SYSTEM\\CurrentControlSet\\Services\\vlncard"));

  std::string dir = std::string(VLNCARDSETUP_PATH);
  dir = dir.substr(0, dir.rfind('/'));
  std::string unit = read_file(root + "/etc/systemd/system/vlncard.service");
  EXPECT_NE(unit.find("Type=simple\n"), std::string::npos) << unit;
  EXPECT_NE(unit.find("ExecStart=\"" + dir + "/vlncard\"\n"), std::string::npos) << unit;
}

TEST_F(VlncardsetupTest, InstallWithAnAdapterPresentOnlyRestartsTheHost) {
  ASSERT_EQ(setup({"install", "5"}), 0);
  const std::string id = id_of("0000");
  ASSERT_TRUE(Registry().set_dword(kIfaces + "\\" + id, "InterfaceMetric", 7));
  start_host();
  ASSERT_EQ(setup({"install", "3"}), 0);
  EXPECT_EQ(host_signal(), SIGHUP);  // told to rescan the registry
  EXPECT_EQ(instances(), std::vector<std::string>{"0000"});
  EXPECT_EQ(metric_of(id), 7u);
}

TEST_F(VlncardsetupTest, AddCardAddsASecondAdapterAndGivesItTheMetric) {
  ASSERT_EQ(setup({"install"}), 0);
  const std::string first = id_of("0000");
  EXPECT_EQ(metric_of(first), 0u);  // no number: automatic metric
  ASSERT_EQ(setup({"add_card", "  12"}), 0);
  ASSERT_EQ(instances(), (std::vector<std::string>{"0000", "0001"}));
  const std::string second = id_of("0001");
  EXPECT_NE(first, second);
  EXPECT_EQ(metric_of(first), 0u);
  EXPECT_EQ(metric_of(second), 12u);

  // Free numbers below the highest are not reused: the newest adapter stays
  // the last one, so the metric cannot land on an older adapter.
  ASSERT_TRUE(Registry().delete_key(kClass + "\\0000"));
  ASSERT_EQ(setup({"add_card", "4"}), 0);
  ASSERT_EQ(instances(), (std::vector<std::string>{"0001", "0002"}));
  EXPECT_EQ(metric_of(second), 12u);
  EXPECT_EQ(metric_of(id_of("0002")), 4u);
}

TEST_F(VlncardsetupTest, MetricTextThatIsNotANumberMeansAutomatic) {
  for (const char* line : {"install abc", "install -3", "install 99999999999"}) {
    ASSERT_EQ(setup({line}), 0);  // one argument: the whole command line
    ASSERT_EQ(instances().size(), 1u) << line;
    EXPECT_EQ(metric_of(id_of(instances()[0])), 0u) << line;
    ASSERT_EQ(setup({"uninstall"}), 0);
    ASSERT_TRUE(instances().empty());
  }
  ASSERT_EQ(setup({"install", "9999"}), 0);
  EXPECT_EQ(metric_of(id_of("0000")), 9999u);
}

TEST_F(VlncardsetupTest, UninstallLeavesNoInstanceOrKeyBehind) {
  Registry reg;
  ASSERT_TRUE(reg.set_sz("SOFTWARE\\Other", "keep", "me"));
  std::string before;
  dump(reg, "", before);

  ASSERT_EQ(setup({"install", "5"}), 0);
  ASSERT_EQ(setup({"add_card"}), 0);
  ASSERT_TRUE(reg.set_dword("SYSTEM\\CurrentControlSet\\Services\\vlncard", "VLN_CNT", 2));
  const std::string a = id_of("0000"), b = id_of("0001");
  start_host();
  ASSERT_EQ(setup({"uninstall"}), 0);
  EXPECT_EQ(host_signal(), SIGTERM);  // nothing left for the host to serve

  EXPECT_TRUE(instances().empty());
  for (auto& id : {a, b}) {
    EXPECT_FALSE(reg.key_exists(kIfaces + "\\" + id));
    EXPECT_FALSE(reg.key_exists(kNetCfg + "\\" + id));
  }
  EXPECT_FALSE(reg.get(kNetCfg + "\\Descriptions", "Velarn Virtual Ethernet Adapter"));
  // The MAC address pool outlives the adapters.
  EXPECT_EQ(reg.get_dword("SYSTEM\\CurrentControlSet\\Services\\vlncard", "VLN_CNT"), 2u);
  EXPECT_EQ(access((root + "/etc/systemd/system/vlncard.service").c_str(), F_OK), -1);
  EXPECT_EQ(reg.get_sz("SOFTWARE\\Other", "keep"), "me");

  // Every value is as it was before the install, but for the pool.
  auto values = [](const std::string& d) {
    std::string v, line;
    std::istringstream in(d);
    while (std::getline(in, line))
      if (line.find('=') != std::string::npos) v += line + "\n";
    return v;
  };
  std::string after, again;
  dump(reg, "", after);
  EXPECT_EQ(values(after), values(before) + "VLN_CNT=4:2\n") << after;

  // And a second uninstall, with nothing present, changes nothing.
  ASSERT_EQ(setup({"uninstall"}), 0);
  dump(reg, "", again);
  EXPECT_EQ(after, again);
}

TEST_F(VlncardsetupTest, UninstallWithNoAdapterChangesNothing) {
  Registry reg;
  ASSERT_TRUE(reg.set_sz(kClass + "\\0000", "MatchingDeviceId", "other_nic"));
  ASSERT_TRUE(reg.set_multi(kClass + "\\0000", "HardwareID", {"other_nic"}));
  ASSERT_TRUE(reg.set_sz(kClass + "\\0000", "NetCfgInstanceId", "{11111111-2222-3333-4444-555555555555}"));
  ASSERT_TRUE(reg.create_key(kClass + "\\Properties"));
  ASSERT_TRUE(reg.create_key(kIfaces + "\\{11111111-2222-3333-4444-555555555555}"));
  std::string before, after;
  dump(reg, "", before);
  ASSERT_EQ(setup({"uninstall"}), 0);
  dump(reg, "", after);
  EXPECT_EQ(before, after);
}

TEST_F(VlncardsetupTest, AnythingElseShowsTheUsage) {
  const std::string usage =
      "About vlncardsetup\n"
      "vlncardsetup.exe   \n\nusage: vlncardsetup [uninstall | install [metric]]  \n\n"
      "metric     none     \t: AUTO METRIC \n             1-9999 \t: FIXED METRIC\n\n";
  for (auto args : {std::vector<std::string>{"help"}, {}, {"Install"}, {"remove", "all"}}) {
    std::string out;
    EXPECT_EQ(setup(args, &out), 0);
    EXPECT_EQ(out, usage);
  }
  EXPECT_FALSE(Registry().key_exists("SYSTEM"));
  // A command line beyond the buffer is cut, not overrun.
  std::string out;
  EXPECT_EQ(setup({"x" + std::string(5000, 'y')}, &out), 0);
  EXPECT_EQ(out, usage);
}

TEST_F(VlncardsetupTest, WithoutTheInstallationFileNothingIsInstalled) {
  std::string copy = root + "/bin/vlncardsetup";
  ASSERT_EQ(std::system(("mkdir -p '" + root + "/bin' && cp '" VLNCARDSETUP_PATH "' '" + copy + "'").c_str()), 0);
  EXPECT_EQ(setup({"install", "5"}, nullptr, copy), 0);
  EXPECT_TRUE(instances().empty());
  EXPECT_EQ(setup({"add_card"}, nullptr, copy), 0);
  EXPECT_TRUE(instances().empty());
}

TEST_F(VlncardsetupTest, AStalePidFileNamingAnotherProgramIsNotSignalled) {
  ASSERT_EQ(setup({"install"}), 0);
  start_host("unrelated");
  ASSERT_EQ(setup({"install"}), 0);
  ASSERT_EQ(setup({"uninstall"}), 0);
  // A fatal signal decides the exit status when it is sent: if ours is the
  // one that ends the program, none came from the uninstall before it.
  kill(host, SIGKILL);
  EXPECT_EQ(host_signal(), SIGKILL);
  EXPECT_TRUE(instances().empty());
}

}  // namespace
