// The profile text a -connect file gives the service, until the profile store
// loads and validates such files: the file's profile document as it stands.
#pragma once
#include <string>

namespace vlngui {

// A plain profile document (root "profile") or the GUI's own document (its
// "profile" child), XML version 1.0; false when the file is neither.
bool connect_profile_text(const std::string& path, std::string* text);

}  // namespace vlngui
