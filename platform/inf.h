// The reader of INF files, the adapter's installation file: the few things
// the installer takes from it, read from the text the way the system's device
// installation reads it.
#pragma once
#include <string>
#include <vector>

#include "platform/registry.h"

namespace velarn {

// What the installer needs from an INF file.
struct InfInfo {
  std::string class_name;                 // [Version] Class
  std::string class_guid;                 // [Version] ClassGUID
  std::string provider;                   // [Version] Provider, strings resolved
  std::string device_desc;                // description of the first model
  std::vector<std::string> hardware_ids;  // every model's hardware and compatible ids
  std::string service_name;               // AddService of the first model
  std::vector<RegNamedValue> parameters;  // AddReg HKR,,Name,flags,value lines
};

// Reads INF text: sections, "key = value" lines, bare AddReg lines, ";"
// comments, quoted fields and %string% substitution from [Strings]. False
// with a message naming the line when the text is not a usable INF.
bool parse_inf(const std::string& text, InfInfo& out, std::string& error);
bool read_inf(const std::string& path, InfInfo& out, std::string& error);

}  // namespace velarn
