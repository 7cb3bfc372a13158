// The account the process runs as, where a name is not enough: the id keeps
// per-user names apart (the GUI's single-instance channel) and stands in for
// an account the user database cannot name.
#pragma once
#include <string>

namespace velarn {

// The real user's id as text ("1000").
std::string current_account_id();

}  // namespace velarn
