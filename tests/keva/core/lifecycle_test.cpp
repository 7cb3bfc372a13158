#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <thread>

#include "files.h"
#include "in_process.h"
#include "kevad.h"
#include "kevad_internal.h"
#include "platform/local_pipe.h"
#include "platform/service.h"
#include "process.h"
#include "wait.h"

using namespace velarn;

TEST(CommandLine, DecisionsFollowTheTable) {
  std::string rest;
  EXPECT_EQ(KevadCommand::Debug, kevad_parse_command("", &rest));
  EXPECT_EQ(KevadCommand::Debug, kevad_parse_command("help", &rest));
  EXPECT_EQ(KevadCommand::Install, kevad_parse_command("installfoo", &rest));
  EXPECT_EQ("foo", rest);
  EXPECT_EQ(KevadCommand::Install, kevad_parse_command("install -x", &rest));
  EXPECT_EQ(" -x", rest);
  EXPECT_EQ(KevadCommand::Uninstall, kevad_parse_command("uninstall", &rest));
  EXPECT_EQ(KevadCommand::Debug, kevad_parse_command("uninstall now", &rest));
  EXPECT_EQ(KevadCommand::Start, kevad_parse_command("start", &rest));
  EXPECT_EQ(KevadCommand::Stop, kevad_parse_command("stop", &rest));
  EXPECT_EQ(KevadCommand::Debug, kevad_parse_command("stop ", &rest));
  EXPECT_EQ(KevadCommand::Debug, kevad_parse_command("Stop", &rest));  // case-sensitive
  EXPECT_EQ(KevadCommand::Service, kevad_parse_command("service-anything", &rest));
  EXPECT_EQ(KevadCommand::Service, kevad_parse_command("service", &rest));
}

TEST(CommandLine, InstallRegistersTheProgramWithWhatFollowed) {
  MemoryServiceManager scm;
  EXPECT_EQ(0, kevad_manage(scm, KevadCommand::Install, "foo", "/opt/velarn/kevad"));
  auto& e = scm.services.at("kevad Service");
  EXPECT_EQ("\"/opt/velarn/kevad\" servicefoo", e.config.command);
  EXPECT_EQ("kevad Service", e.config.display_name);
  EXPECT_TRUE(e.config.auto_start);
  EXPECT_EQ("Virtual Private Network (VPN) service", e.description);

  // Installing twice fails: the service exists.
  EXPECT_EQ(1, kevad_manage(scm, KevadCommand::Install, " -x", "/opt/velarn/kevad"));
  scm.services.clear();
  EXPECT_EQ(0, kevad_manage(scm, KevadCommand::Install, " -x", "/opt/velarn/kevad"));
  EXPECT_EQ("\"/opt/velarn/kevad\" service -x", scm.services.at("kevad Service").config.command);
}

TEST(CommandLine, InstallFailuresExitWithOneOthersAlwaysZero) {
  MemoryServiceManager down;
  down.reachable = false;
  EXPECT_EQ(1, kevad_manage(down, KevadCommand::Install, "", "/k"));
  EXPECT_EQ(0, kevad_manage(down, KevadCommand::Uninstall, "", "/k"));
  EXPECT_EQ(0, kevad_manage(down, KevadCommand::Start, "", "/k"));
  EXPECT_EQ(0, kevad_manage(down, KevadCommand::Stop, "", "/k"));

  MemoryServiceManager refusing;
  refusing.fail_create = true;
  EXPECT_EQ(1, kevad_manage(refusing, KevadCommand::Install, "", "/k"));
}

TEST(CommandLine, StartStopAndUninstallDriveTheManager) {
  MemoryServiceManager scm;
  EXPECT_EQ(0, kevad_manage(scm, KevadCommand::Start, "", "/k"));  // no service: silent
  kevad_manage(scm, KevadCommand::Install, "", "/k");
  kevad_manage(scm, KevadCommand::Start, "", "/k");
  EXPECT_TRUE(scm.services.at("kevad Service").running);
  kevad_manage(scm, KevadCommand::Stop, "", "/k");
  EXPECT_FALSE(scm.services.at("kevad Service").running);
  kevad_manage(scm, KevadCommand::Start, "", "/k");
  kevad_manage(scm, KevadCommand::Uninstall, "", "/k");
  EXPECT_TRUE(scm.services.empty());
}

TEST(CommandLine, SystemdUnitCarriesTheCommandAndDescription) {
  ServiceConfig c{"kevad Service", "kevad Service", "\"/usr/sbin/kevad\" service -x", true};
  std::string unit = systemd_unit_text(c, "Virtual Private Network (VPN) service");
  EXPECT_NE(std::string::npos, unit.find("\nExecStart=\"/usr/sbin/kevad\" service -x\n"));
  EXPECT_NE(std::string::npos, unit.find("Description=Virtual Private Network (VPN) service\n"));
  EXPECT_NE(std::string::npos, unit.find("Type=notify\n"));
}

namespace {
int g_suspends, g_resumes;
}

TEST(ControlHandler, PowerEventsAndUnknownControls) {
  g_suspends = g_resumes = 0;  // a repeated run counts afresh
  KevadParts parts{};
  parts.session_suspend = [] { ++g_suspends; };
  parts.session_resume = [] { ++g_resumes; };
  kevad_register_parts(&parts);
  CapturedLog cap;
  EXPECT_EQ(NO_ERROR_CODE, kevad_control(SERVICE_CONTROL_POWEREVENT, PBT_APMQUERYSUSPEND));
  EXPECT_EQ(NO_ERROR_CODE, kevad_control(SERVICE_CONTROL_POWEREVENT, PBT_APMSUSPEND));
  EXPECT_EQ(NO_ERROR_CODE, kevad_control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMECRITICAL));
  EXPECT_EQ(NO_ERROR_CODE, kevad_control(SERVICE_CONTROL_POWEREVENT, PBT_APMRESUMESUSPEND));
  EXPECT_EQ(1, g_suspends);
  EXPECT_EQ(1, g_resumes);
  EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, kevad_control(SERVICE_CONTROL_POWEREVENT, 0x12));
  EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, kevad_control(SERVICE_CONTROL_INTERROGATE, 0));
  EXPECT_EQ(ERROR_CALL_NOT_IMPLEMENTED, kevad_control(0x80, 0));
  std::vector<std::pair<int, std::string>> seen;
  for (const auto& e : cap.entries()) seen.emplace_back(e.level, e.message);
  std::vector<std::pair<int, std::string>> want = {
      {5, "APM: Query Suspend"}, {5, "APM: Suspend"}, {5, "APM: Resume Critical"}, {5, "APM: Resume Suspend"}};
  EXPECT_EQ(want, seen);
  kevad_register_parts(nullptr);
}

// --- the program itself, in a throwaway root -------------------------------------

namespace {

struct Child {
  pid_t pid;
  std::string err_file;
};

// kevad with these arguments in the throwaway root.
Child start(const TempRoot& root, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {KEVAD_PATH};
  argv.insert(argv.end(), args.begin(), args.end());
  std::string err = root.path() + "/stderr.txt";
  return {spawn(argv, {.err_file = err}), err};
}

const char kLine[] = "[A-Z][a-z]{2} \\d{2} \\d{2}:\\d{2}:\\d{2} \\[info\\] ";

}  // namespace

TEST(Program, DebugModeLogsToStandardErrorAndEndsOnInterrupt) {
  TempRoot root;
  Child r = start(root, {});
  ASSERT_TRUE(wait_for_text(r.err_file, "startup succeeded"));
  EXPECT_EQ(0, finish(r.pid, SIGINT));
  std::string err = read_file(r.err_file);
  EXPECT_NE(std::string::npos, err.find("[debug] starting kevad in debug mode\n"));
  EXPECT_NE(std::string::npos, err.find("[debug] stopping kevad\n"));
  EXPECT_NE(std::string::npos, err.find("[info] kevad 1.4.5.248 (2015.11.18) exited\n"));
  EXPECT_EQ(std::string::npos, err.find("=========="));  // no separator in debug mode
  EXPECT_EQ("", read_file(root.data("kevad.log")));
}

TEST(Program, ServiceModeWritesTheMainLogAndStopsOnTerminate) {
  TempRoot root;
  Child r = start(root, {"service"});
  ASSERT_TRUE(wait_for_text(root.data("kevad.log"), "startup succeeded"));
  EXPECT_EQ(0, finish(r.pid, SIGTERM));
  auto lines = lines_of(read_file(root.data("kevad.log")));
  ASSERT_EQ(3u, lines.size()) << read_file(root.data("kevad.log"));
  EXPECT_TRUE(std::regex_match(lines[0], std::regex(std::string(kLine) + "={50}")));
  EXPECT_TRUE(std::regex_match(
      lines[1], std::regex(std::string(kLine) + "kevad 1\\.4\\.5\\.248 \\(2015\\.11\\.18\\) startup succeeded")));
  EXPECT_TRUE(
      std::regex_match(lines[2], std::regex(std::string(kLine) + "kevad 1\\.4\\.5\\.248 \\(2015\\.11\\.18\\) exited")));
}

TEST(Program, SyntaxErrorStopsStartupWithTheLineInTheErrorLog) {
  TempRoot root;
  write_file(root.data("kevad.ini"), "[client]\nreconnect = 5\n???\n");
  Child r = start(root, {"service"});
  EXPECT_EQ(0, finish(r.pid, 0));  // start-up failure still exits 0
  std::string text = read_file(root.data("kevad-error.log"));
  EXPECT_NE(std::string::npos, text.find("[error] " + root.data("kevad.ini") + ":3: invalid config file\n")) << text;
  EXPECT_EQ("", read_file(root.data("kevad.log")));
}

TEST(Program, TraceSectionDumpsTheTraceAtExit) {
  TempRoot root;
  write_file(root.data("kevad.ini"), "[client]\nreconnect = 5,10\n[trace]\n");
  Child r = start(root, {"service"});
  ASSERT_TRUE(wait_for_text(root.data("kevad.log"), "startup succeeded"));
  EXPECT_EQ(0, finish(r.pid, SIGTERM));
  std::string trace = read_file(root.data("trace.log"));
  EXPECT_NE(std::string::npos, trace.find("[debug] starting trace: " + root.data("trace.log") + "\n"));
  EXPECT_NE(std::string::npos, trace.find("log.log_file = kevad.log\n"));
  EXPECT_NE(std::string::npos, trace.find("[debug] stopping kevad\n"));
  EXPECT_NE(std::string::npos, trace.find("startup succeeded\n"));
  EXPECT_TRUE(std::regex_search(trace, std::regex("\\] +channel_main: starting thread: \\d+\n")));
  EXPECT_TRUE(std::regex_search(trace, std::regex("\\] +channel_main: exiting thread: \\d+\n")));
}

TEST(Program, InstallWritesAUnitIntoTheRoot) {
  TempRoot root;
  Child r = start(root, {"install", "-x"});
  EXPECT_EQ(0, finish(r.pid, 0));
  std::string unit = read_file(root.path() + "/etc/systemd/system/kevad.service");
  EXPECT_NE(std::string::npos, unit.find(std::string("ExecStart=\"") + KEVAD_PATH + "\" service -x\n"));
  r = start(root, {"install"});
  EXPECT_EQ(1, finish(r.pid, 0));  // exists already
  r = start(root, {"uninstall"});
  EXPECT_EQ(0, finish(r.pid, 0));
  EXPECT_EQ("", read_file(root.path() + "/etc/systemd/system/kevad.service"));
}

// What systemd would expand or split is escaped; what no unit line can
// carry is refused before anything is written.
TEST(Program, InstallEscapesItsArgumentsForTheUnit) {
  struct {
    std::vector<std::string> args;
    int code;
    std::string exec;  // after the program's quoted path; "" when no unit
  } cases[] = {
      {{"install", "-p", "50%", "$HOME", "a\\b", ";", "\"x y\""}, 0, " service -p 50%% $$HOME a\\\\b \\; \"x y\""},
      {{"install", "-x\nExecStartPre=/bin/false"}, 1, ""},
      {{"install", "tab\there"}, 1, ""},
  };
  bool verify = std::system("command -v systemd-analyze >/dev/null") == 0;
  for (const auto& c : cases) {
    TempRoot root;
    Child r = start(root, c.args);
    EXPECT_EQ(c.code, finish(r.pid, 0)) << c.args[1];
    std::string path = root.path() + "/etc/systemd/system/kevad.service";
    std::string unit = read_file(path);
    if (c.exec.empty()) {
      EXPECT_EQ("", unit) << c.args[1];
      EXPECT_NE(std::string::npos, read_file(r.err_file).find("control characters")) << c.args[1];
      continue;
    }
    EXPECT_NE(std::string::npos, unit.find(std::string("ExecStart=\"") + KEVAD_PATH + "\"" + c.exec + "\n")) << unit;
    if (!verify) continue;
    std::string out = run_command("systemd-analyze verify --man=no '" + path + "'");
    // Only this unit's own lines count: the host's other units are not ours.
    EXPECT_EQ(std::string::npos, out.find("kevad.service:")) << out;
  }
}

TEST(Program, DeleteOnTheChannelStopsTheService) {
  if (geteuid() != 0) GTEST_SKIP() << "only root and administrators may stop the service";
  TempRoot root;
  Child r = start(root, {"service"});
  ASSERT_TRUE(wait_for_text(root.data("kevad.log"), "startup succeeded"));
  std::unique_ptr<velarn::PipeConnection> c;
  wait_until([&] { return (c = velarn::local_pipe_connect("\\\\.\\pipe\\kevad")) != nullptr; });
  ASSERT_NE(nullptr, c);
  std::string req = "DELETE /keva/ HTTP/1.1\r\n\r\n";
  c->write(req.data(), req.size());
  char buf[512];
  long n = c->read(buf, sizeof buf, 5000);
  ASSERT_GT(n, 0);
  EXPECT_EQ("HTTP/1.1 200 OK\r\nServer: kevad 1.4.5.248 (2015.11.18)\r\n", std::string(buf, n));
  EXPECT_EQ(0, finish(r.pid, 0));  // ends by itself
  EXPECT_NE(std::string::npos, read_file(root.data("kevad.log")).find("exited\n"));
}

TEST(Program, OverlappingStopRequestsStopOnce) {
  TempRoot root;
  write_file(root.data("kevad.ini"), "[trace]\n");
  Child r = start(root, {"service"});
  ASSERT_TRUE(wait_for_text(root.data("kevad.log"), "startup succeeded"));
  auto c = velarn::local_pipe_connect("\\\\.\\pipe\\kevad");
  ASSERT_NE(nullptr, c);
  std::string req = "DELETE /keva/ HTTP/1.1\r\n\r\n";
  c->write(req.data(), req.size());
  kill(r.pid, SIGTERM);
  EXPECT_EQ(0, finish(r.pid, 0));
  std::string trace = read_file(root.data("trace.log"));
  size_t first = trace.find("stopping kevad\n");
  ASSERT_NE(std::string::npos, first) << trace;
  EXPECT_EQ(std::string::npos, trace.find("stopping kevad\n", first + 1)) << trace;
  // Trace lines carry the kernel's thread ids: the process's own among them.
  EXPECT_NE(std::string::npos, trace.find("[" + std::to_string(r.pid) + "]")) << trace;
}
