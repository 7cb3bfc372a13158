#include "platform/account.h"

#include <unistd.h>

namespace velarn {

std::string current_account_id() { return std::to_string(getuid()); }

}  // namespace velarn
