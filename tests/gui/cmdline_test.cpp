// Which start does what, and how a running instance reads a forwarded line.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <QCoreApplication>
#include <QLocalSocket>
#include <fstream>
#include <future>
#include <thread>

#include "cmdline.h"
#include "folder_access.h"
#include "gui_test_support.h"
#include "instance_channel.h"

using namespace vlngui;

namespace {

TEST(CommandLine, StartPrecedence) {
  struct Case {
    const char* line;
    bool running;
    StartAction action;
    StartFlow flow;
    bool execute;
    const char* arg;  // connect path or execute command
  } cases[] = {
      {"", false, StartAction::Interactive, StartFlow::Normal, false, ""},
      {"", true, StartAction::ShowAlreadyRunning, StartFlow::Nothing, false, ""},
      {"-execute x", true, StartAction::ShowAlreadyRunning, StartFlow::Nothing, false, ""},
      {"-connect /p/a b.vln", true, StartAction::Forward, StartFlow::Nothing, false, ""},
      {"-cmd -exit(0)", true, StartAction::Forward, StartFlow::Nothing, false, ""},
      {"-cmd -exit(0)", false, StartAction::ExitAtOnce, StartFlow::Nothing, false, ""},
      {"-cmd -delete -rename -proxy -exit(0)", false, StartAction::ExitAtOnce, StartFlow::Nothing, false, ""},
      {"-cmd -delete -proxy -rename", false, StartAction::Rename, StartFlow::Nothing, false, ""},
      {"-cmd -delete -proxy", false, StartAction::Proxy, StartFlow::Nothing, false, ""},
      {"-cmd -delete", false, StartAction::Delete, StartFlow::Nothing, false, ""},
      {"-cmd -startup", false, StartAction::Interactive, StartFlow::Startup, false, ""},
      {"-cmd -startup -connect f", false, StartAction::Interactive, StartFlow::Startup, false, ""},
      {"-cmd -svr_open", false, StartAction::Interactive, StartFlow::Nothing, false, ""},
      {"-execute run.sh -x -cmd -tray_check", false, StartAction::Interactive, StartFlow::Nothing, false, ""},
      {"-execute  run.sh -x ", false, StartAction::Interactive, StartFlow::Nothing, true, "run.sh -x"},
      {"-connect  /p/a b.vln ", false, StartAction::Interactive, StartFlow::Connect, false, "/p/a b.vln"},
      // Options are substrings: a path holding "-cmd" turns -connect into -cmd.
      {"-connect /p/x-cmd-startup.vln", false, StartAction::Interactive, StartFlow::Startup, false, ""},
      // The tray check is only looked for after -cmd.
      {"-tray_check -cmd -startup", false, StartAction::Interactive, StartFlow::Startup, false, ""},
  };
  for (const Case& k : cases) {
    StartPlan p = plan_start(CommandLine(k.line), k.running);
    EXPECT_EQ(k.action, p.action) << k.line;
    EXPECT_EQ(k.flow, p.flow) << k.line;
    EXPECT_EQ(k.execute, p.run_execute) << k.line;
    EXPECT_EQ(k.arg, k.execute ? p.execute_command : p.connect_path) << k.line;
  }
}

TEST(CommandLine, ForwardedLines) {
  struct Case {
    const char* line;
    bool interaction, visible;
    ForwardAction action;
    bool tray_check;
  } cases[] = {
      {"-cmd -exit(0)", false, true, ForwardAction::Exit, false},
      {"-cmd -svr_open", false, true, ForwardAction::ReopenLibrary, false},
      {"-cmd -svr_close", true, false, ForwardAction::CloseLibrary, false},
      {"-cmd -tray_check", true, false, ForwardAction::Nothing, true},
      {"-tray_check -cmd", true, false, ForwardAction::Nothing, false},
      {"-connect f.vln", false, false, ForwardAction::BringForward, false},  // a box is up
      {"-connect f.vln", true, true, ForwardAction::BringForward, false},
      {"-connect f.vln", true, false, ForwardAction::Connect, false},
      {"-cmd -disconnect", true, false, ForwardAction::Disconnect, false},
      {"-cmd -startup", true, false, ForwardAction::Nothing, false},
  };
  for (const Case& k : cases) {
    ForwardPlan p = plan_forward(CommandLine(k.line), k.interaction, k.visible);
    EXPECT_EQ(k.action, p.action) << k.line;
    EXPECT_EQ(k.tray_check, p.tray_check) << k.line;
  }
  EXPECT_EQ("f.vln", plan_forward(CommandLine(" -connect  f.vln "), true, false).connect_path);
}

TEST(CommandLine, JoinsArgumentsAsOneLine) {
  char a0[] = "vlngui", a1[] = "-connect", a2[] = "/home/u/my profile.vln";
  char* argv[] = {a0, a1, a2};
  CommandLine line = CommandLine::from_args(3, argv);
  EXPECT_EQ("/home/u/my profile.vln", line.argument("-connect"));
  EXPECT_TRUE(CommandLine("   ").empty());
  EXPECT_EQ("-connect /home/u/a b.vln", CommandLine("-connect  a b.vln ").with_absolute_connect("/home/u").text());
  EXPECT_EQ("-connect /etc/p.vln", CommandLine("-connect /etc/p.vln").with_absolute_connect("/home/u").text());
  EXPECT_EQ("-cmd -exit(0)", CommandLine("-cmd -exit(0)").with_absolute_connect("/home/u").text());
}

// Runs the window thread's event loop until f is ready (bounded).
template <class T>
T pump(std::future<T>& f) {
  auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (f.wait_for(std::chrono::milliseconds(2)) != std::future_status::ready &&
         std::chrono::steady_clock::now() < until)
    QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
  return f.get();
}

TEST(InstanceChannel, ForwardsTheLineAndReturnsTheReply) {
  guitest::ensure_app();
  guitest::TempDir dir;
  QString name = QString::fromStdString(dir.path() + "/Velarn Client");
  std::vector<std::string> lines;
  InstanceServer server([&](const std::string& line, std::function<void(int)> reply) {
    lines.push_back(line);
    if (line.find("-cmd -svr_close") == std::string::npos) reply(static_cast<int>(line.size()));
  });
  ASSERT_TRUE(server.listen(name));

  auto sent = std::async(std::launch::async, [&] { return forward_command_line(name, "-connect /a b.vln"); });
  EXPECT_EQ(std::optional<int>(17), pump(sent));
  // A receiver that never answers (it ended the process) gives no reply.
  auto unanswered = std::async(std::launch::async, [&] { return forward_command_line(name, "-cmd -svr_close", 300); });
  EXPECT_EQ(std::nullopt, pump(unanswered));
  // A length no command line has is dropped unread.
  auto hostile = std::async(std::launch::async, [&] {
    QLocalSocket s;
    s.connectToServer(name);
    if (!s.waitForConnected(5000)) return false;
    s.write(QByteArray("\xff\xff\xff\x7f-connect x", 14));
    s.waitForBytesWritten(5000);
    bool r = s.waitForReadyRead(30000);  // false: closed on us
    return !r && s.state() != QLocalSocket::ConnectedState;
  });
  EXPECT_TRUE(pump(hostile));
  EXPECT_EQ((std::vector<std::string>{"-connect /a b.vln", "-cmd -svr_close"}), lines);
}

TEST(CommandOnlyRuns, DataFolderAccessIsRepairedOnlyForAnAdministrator) {
  struct Case {
    bool admin;
    mode_t mode;
    bool repair_works;
    bool want, want_message, want_runner;
  } cases[] = {
      {false, 0777, true, false, true, false},
      {true, 0777, true, true, false, false},
      {true, 0500, true, true, false, true},
      {true, 0500, false, false, false, true},
  };
  // Root may do anything to a folder; the check is seen at work as nobody.
  const bool root = ::geteuid() == 0;
  auto as_user = [root] {
    if (root && ::seteuid(65534) != 0) ADD_FAILURE() << "seteuid";
  };
  auto as_root = [root] {
    if (root && ::seteuid(0) != 0) ADD_FAILURE() << "seteuid";
  };
  for (const Case& k : cases) {
    guitest::TempDir dir;
    ::chmod(dir.path().c_str(), k.mode);
    std::vector<int> messages;
    std::vector<std::string> ran;
    FolderAccess ctx;
    ctx.administrator = k.admin;
    ctx.data_folder = dir.path();
    ctx.security_program = "/usr/libexec/velarn/VLNSecurity";
    ctx.show_message = [&](int id) { messages.push_back(id); };
    ctx.run_elevated = [&](const std::string& prog, const std::vector<std::string>& args) {
      ran.push_back(prog + " " + (args.empty() ? "" : args[0]));
      as_root();
      if (k.repair_works) ::chmod(dir.path().c_str(), 0777);
      as_user();
      return true;
    };
    as_user();
    bool got = EnsureDataFolderAccess(ctx);
    as_root();
    EXPECT_EQ(k.want, got) << k.admin << " " << k.mode;
    EXPECT_EQ(k.want_message ? std::vector<int>{29006} : std::vector<int>{}, messages);
    EXPECT_EQ(k.want_runner ? std::vector<std::string>{"/usr/libexec/velarn/VLNSecurity " + current_user_name()}
                            : std::vector<std::string>{},
              ran);
    ::chmod(dir.path().c_str(), 0755);
  }
}

TEST(CommandOnlyRuns, DeleteRemovesFilesButNeverFollowsLinks) {
  guitest::TempDir outside, dir;
  std::string data = dir.path() + "/Velarn";
  std::filesystem::create_directories(data);
  std::ofstream(outside.path() + "/keep") << "x";
  std::ofstream(data + "/kevad.ini") << "x";
  std::filesystem::create_symlink(outside.path() + "/keep", data + "/link");
  std::filesystem::create_directories(data + "/sub");
  EXPECT_FALSE(delete_data_folder(data));  // the sub-folder keeps it
  EXPECT_FALSE(std::filesystem::exists(data + "/kevad.ini"));
  EXPECT_TRUE(std::filesystem::exists(outside.path() + "/keep"));
  std::filesystem::remove(data + "/sub");
  EXPECT_TRUE(delete_data_folder(data));
  EXPECT_FALSE(std::filesystem::exists(data));
  // A data folder that is itself a link is refused.
  std::filesystem::create_directory_symlink(outside.path(), data);
  EXPECT_FALSE(delete_data_folder(data));
  EXPECT_TRUE(std::filesystem::exists(outside.path() + "/keep"));
}

}  // namespace
