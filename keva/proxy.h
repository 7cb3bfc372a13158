// The way to a server through an HTTP proxy: the plain CONNECT (with Basic
// credentials when the profile has a user), and the answer to a challenge
// (Digest, NTLM, Negotiate) when the proxy's 407 offers one of these.
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

// Connects to the profile's proxy and asks it for a tunnel to entry; a 407
// offering Digest, NTLM or Negotiate is answered once.
int remote_connect_proxy(RemoteLink* link, const ServerEntry* entry);

// Builds the CONNECT request into buf (PROXY_BUFFER_SIZE bytes); user may be
// NULL; an IPv6 literal host is written in brackets. The length, or -1 when
// it does not fit or the host holds a blank or control character.
int proxy_request_build(char* buf, const char* host, int port, const char* user, const char* password);
// Judges a proxy reply (the bytes read up to the end of its header block).
// 0 success; -1 failure with the whole log line's text in out (size bytes)
// and *fatal 1 for a refused authentication.
int proxy_reply_judge(const char* reply, size_t len, char* out, size_t size, int* fatal);
