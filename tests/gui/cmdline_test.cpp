// Which start does what, and how a running instance reads a forwarded line.
#include <gtest/gtest.h>

#include "cmdline.h"

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
}

}  // namespace
