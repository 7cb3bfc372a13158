// Every system path, from the one root; the calls that ask the system itself
// (the running program, making folders) are in linux/roots.cpp.
#include "platform/roots.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace velarn::roots {

std::string root() {
  const char* r = std::getenv("VELARN_ROOT");
  std::string s = (r && *r) ? r : "/";
  while (!s.empty() && s.back() == '/') s.pop_back();
  return s;
}

std::string common_app_data() { return root() + "/var/lib"; }
std::string data_folder() { return common_app_data() + "/Velarn"; }
std::string registry_dir() { return root() + "/etc/velarn/registry"; }
std::string service_units_dir() { return root() + "/etc/systemd/system"; }
std::string pipe_path(const std::string& name) { return root() + "/run/velarn/pipe/" + name; }
std::string global_path(const std::string& name) { return root() + "/run/velarn/Global/" + name; }

std::string object_path(const std::string& n) {
  static const std::string pipe = "\\\\.\\pipe\\", global = "\\\\.\\Global\\";
  if (n.compare(0, pipe.size(), pipe) == 0) return pipe_path(n.substr(pipe.size()));
  if (n.compare(0, global.size(), global) == 0) return global_path(n.substr(global.size()));
  return n;
}

std::string program_folder() {
  std::string p = program_path();
  auto slash = p.rfind('/');
  return slash == std::string::npos ? std::string(".") : p.substr(0, slash);
}

namespace {
// NAME beside the program, as in the build tree, else in FOLDER below the
// prefix the program was installed under (the parent of its own folder).
std::string beside_or_installed(const std::string& name, const char* folder) {
  const std::string own = program_folder();
  std::string beside = own + "/" + name;
  std::error_code ec;
  if (std::filesystem::exists(beside, ec)) return beside;
  auto slash = own.rfind('/');
  std::string prefix = slash == std::string::npos ? std::string("..") : own.substr(0, slash);
  return prefix + "/" + folder + "/" + name;
}
}  // namespace

std::string data_file(const std::string& name) { return beside_or_installed(name, "share/velarn"); }
std::string helper_program(const std::string& name) { return beside_or_installed(name, "libexec/velarn"); }

std::string program_files() { return "/usr/lib"; }

}  // namespace velarn::roots
