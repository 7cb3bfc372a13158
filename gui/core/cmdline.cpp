#include "cmdline.h"

#include "catalog.h"

namespace vlngui {

CommandLine CommandLine::from_args(int argc, char** argv) {
  std::string text;
  for (int i = 1; i < argc; ++i) {
    if (i > 1) text += ' ';
    text += argv[i];
  }
  return CommandLine(text);
}

bool CommandLine::empty() const { return trim(text_).empty(); }

std::string CommandLine::argument(const std::string& option) const {
  size_t at = text_.find(option);
  if (at == std::string::npos) return {};
  return trim(text_.substr(at + option.size()));
}

bool CommandLine::cmd_has(const std::string& sub) const {
  return has("-cmd") && argument("-cmd").find(sub) != std::string::npos;
}

CommandLine CommandLine::with_absolute_connect(const std::string& cwd) const {
  size_t at = text_.find("-connect");
  if (at == std::string::npos) return *this;
  std::string path = argument("-connect");
  if (path.empty() || path[0] == '/' || cwd.empty()) return *this;
  return CommandLine(text_.substr(0, at) + "-connect " + cwd + (cwd.back() == '/' ? "" : "/") + path);
}

StartPlan plan_start(const CommandLine& line, bool instance_running) {
  StartPlan plan;
  if (instance_running) {
    plan.action = line.has("-connect") || line.has("-cmd") ? StartAction::Forward : StartAction::ShowAlreadyRunning;
    return plan;
  }
  if (line.has("-cmd")) {
    if (line.cmd_has("-exit(0)")) {
      plan.action = StartAction::ExitAtOnce;
    } else if (line.cmd_has("-rename")) {
      plan.action = StartAction::Rename;
    } else if (line.cmd_has("-proxy")) {
      plan.action = StartAction::Proxy;
    } else if (line.cmd_has("-delete")) {
      plan.action = StartAction::Delete;
    } else {
      plan.flow = line.cmd_has("-startup") ? StartFlow::Startup : StartFlow::Nothing;
    }
    return plan;
  }
  if (line.has("-execute")) {
    plan.run_execute = true;
    plan.execute_command = line.argument("-execute");
  }
  if (line.empty()) {
    plan.flow = StartFlow::Normal;
  } else if (line.has("-connect")) {
    plan.flow = StartFlow::Connect;
    plan.connect_path = line.argument("-connect");
  }
  return plan;
}

ForwardPlan plan_forward(const CommandLine& line, bool interaction, bool window_visible) {
  ForwardPlan plan;
  if (line.cmd_has("-exit(0)")) {
    plan.action = ForwardAction::Exit;
    return plan;
  }
  plan.tray_check = line.cmd_has("-tray_check");
  if (line.cmd_has("-svr_open")) {
    plan.action = ForwardAction::ReopenLibrary;
  } else if (line.cmd_has("-svr_close")) {
    plan.action = ForwardAction::CloseLibrary;
  } else if (!interaction || window_visible) {
    plan.action = ForwardAction::BringForward;
  } else if (line.has("-connect")) {
    plan.action = ForwardAction::Connect;
    plan.connect_path = line.argument("-connect");
  } else if (line.has("-disconnect")) {
    plan.action = ForwardAction::Disconnect;
  }
  return plan;
}

}  // namespace vlngui
