// The adapter's address for a session: what kevad.ini's [address] section
// and the profile's ip/subnetmask/gateway ask for, applied by the platform's
// addressing each time the adapter's media goes connected, and taken away
// when it goes disconnected.
#pragma once
#include <apr_pools.h>
#include <cstddef>

struct AddressPlan;

// The plan for a session from its profile text, in pool. NULL when the
// automatic address is turned off, or when the profile's fixed address is
// unusable (logged: the user asked for that address, not for another).
AddressPlan* address_plan(apr_pool_t* pool, const char* profile_text, size_t len);

// Media connected on the adapter with this NetCfgInstanceId / media
// disconnected. Both are safe from any thread and to call again.
void address_up(AddressPlan* plan, const char* instance_id);
void address_down(AddressPlan* plan);
