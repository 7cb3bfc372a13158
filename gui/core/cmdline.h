// The GUI's command line: options found anywhere by plain substring search,
// each option's argument being the rest of the line. A forwarded command line
// travels as this one text, so both instances read it the same way.
#pragma once
#include <string>

namespace vlngui {

class CommandLine {
 public:
  explicit CommandLine(std::string text = {}) : text_(std::move(text)) {}
  // argv[1..] joined by blanks: a path given as one argument keeps its blanks.
  static CommandLine from_args(int argc, char** argv);

  const std::string& text() const { return text_; }
  bool empty() const;
  bool has(const std::string& option) const { return text_.find(option) != std::string::npos; }
  // Everything after the first occurrence of option, trimmed.
  std::string argument(const std::string& option) const;
  // "-cmd" is present and its argument contains sub.
  bool cmd_has(const std::string& sub) const;
  // The same line with a relative -connect path made absolute from cwd: the
  // running instance that reads it has a working folder of its own.
  CommandLine with_absolute_connect(const std::string& cwd) const;

 private:
  std::string text_;
};

// What a start does with its command line.
enum class StartAction {
  ShowAlreadyRunning,  // an instance runs and there is nothing to hand it: 20111
  Forward,             // hand the line to the running instance and end
  ExitAtOnce,          // -cmd -exit(0) with no instance: end before anything
  Rename,              // installer commands: act and end without a window
  Proxy,
  Delete,
  Interactive,  // the first instance's window and message loop
};

// What the interactive first instance does once its window exists.
enum class StartFlow {
  Normal,   // empty line: open the library, show the state, load the profile
  Startup,  // -cmd -startup
  Connect,  // -connect <file>
  Nothing,  // anything else: the library opens on first use
};

struct StartPlan {
  StartAction action = StartAction::Interactive;
  bool run_execute = false;  // -execute <command> before the window
  std::string execute_command;
  StartFlow flow = StartFlow::Nothing;
  std::string connect_path;
};

StartPlan plan_start(const CommandLine& line, bool instance_running);

// What the running instance does with a forwarded line.
enum class ForwardAction {
  Exit,           // -cmd -exit(0)
  ReopenLibrary,  // -cmd -svr_open: its result is the reply
  CloseLibrary,   // -cmd -svr_close: reply 1
  BringForward,   // busy with the user (a box or the window is up)
  Connect,        // -connect <file>
  Disconnect,     // -cmd -disconnect
  Nothing,
};

struct ForwardPlan {
  // -cmd -tray_check comes before everything but -exit(0): when the icon is
  // still there the instance says so and stops; otherwise it goes on with
  // action.
  bool tray_check = false;
  ForwardAction action = ForwardAction::Nothing;
  std::string connect_path;
};

ForwardPlan plan_forward(const CommandLine& line, bool interaction, bool window_visible);

}  // namespace vlngui
