// Proxy authentication that needs a challenge answered (Digest, NTLM,
// Negotiate). The plain CONNECT with Basic credentials stays in remote.cpp;
// this side takes over only when the proxy's 407 offers one of these.
#pragma once
#include <cstddef>

struct RemoteLink;
struct ServerEntry;

enum : unsigned {
  PROXY_AUTH_DIGEST = 1,
  PROXY_AUTH_NTLM = 2,
  PROXY_AUTH_NEGOTIATE = 4,
};

// The schemes of this file that the Proxy-Authenticate fields of a reply's
// header block offer (case-insensitive names; quoted parameters are skipped).
unsigned proxy_offered_schemes(const char* reply, size_t len);
// The one scheme to answer with: Digest, else NTLM, else Negotiate; 0 when
// none is offered.
unsigned proxy_scheme_pick(unsigned offered);
const char* proxy_scheme_name(unsigned scheme);

// Opens the tunnel to entry again on a fresh connection to the proxy already
// connected for link (same address, same pinned route), answering the
// scheme's challenge with the profile's proxy credentials, and puts the new
// socket in place of the connection's old one. 0, or -1 logged as the plain
// exchange logs it (a 407 after the answer sets the fatal flag).
int proxy_connect_answering(RemoteLink* link, const ServerEntry* entry, unsigned scheme);
