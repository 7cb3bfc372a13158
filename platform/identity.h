// Who the process is, in the terms of the access checks the GUI and the
// folder tool make: "administrator" is root or a member of the group sudo,
// and full access to a folder is read, write and traverse with the process's
// own effective rights.
#pragma once
#include <string>

namespace velarn::identity {

// Effective uid 0, or the group sudo among the process's groups.
bool is_administrator();

// Read, write and traverse (or execute) granted to the effective ids, ACLs
// included.
bool has_full_access(const std::string& path);

// The name of the account the process runs as (real uid); empty when the
// user database does not know it.
std::string current_user_name();

// Whether the system's user or group database knows the name.
bool user_exists(const std::string& name);
bool group_exists(const std::string& name);

}  // namespace velarn::identity
