// Where every system path lives. One environment variable, VELARN_ROOT
// (default "/"), places them all, so that tests, the demo and several
// instances can run side by side without touching the machine.
#pragma once
#include <string>

namespace velarn::roots {

// The root itself, without a trailing slash ("" for "/").
std::string root();

// <root>/var/lib: the common application data folder.
std::string common_app_data();
// <root>/var/lib/Velarn: the data folder of the service and the GUI.
std::string data_folder();
// <root>/etc/velarn/registry
std::string registry_dir();
// <root>/etc/systemd/system
std::string service_units_dir();
// \\.\pipe\NAME -> <root>/run/velarn/pipe/NAME
std::string pipe_path(const std::string& name);
// \\.\Global\NAME -> <root>/run/velarn/Global/NAME
std::string global_path(const std::string& name);
// Maps a Windows object name ("\\.\pipe\x", "\\.\Global\x") to its socket
// path; any other text comes back unchanged.
std::string object_path(const std::string& windows_name);
// The folder of the running executable (catalogs, vlntoken.ini, vlncard.inf).
std::string program_folder();
// Where a data file of the product (vlncard.inf, vlntoken.ini, catalogs,
// icons) is: beside the program in the build tree, else in share/velarn of
// the prefix the program was installed under (<program folder>/../share/velarn).
// NAME may hold subfolders; the installed path is returned when neither exists.
std::string data_file(const std::string& name);
// A helper program the product runs (VLNSecurity through pkexec): beside the
// program in the build tree, else <prefix>/libexec/velarn/NAME.
std::string helper_program(const std::string& name);
// Full path of the running executable.
std::string program_path();
// %ProgramFiles%
std::string program_files();

// mkdir -p; true when the folder exists afterwards.
bool make_dirs(const std::string& path, unsigned mode = 0755);

}  // namespace velarn::roots
