// The message-mode local socket under both the control channel and the
// adapter's control device; Linux only, for the platform's own files.
#pragma once
#include <string>

namespace velarn {

// A connected message-mode socket to a Windows object name ("\\.\pipe\x",
// "\\.\Global\x"), or -1 with errno set.
int seqpacket_connect(const std::string& windows_name);

}  // namespace velarn
