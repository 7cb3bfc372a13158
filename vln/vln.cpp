// The client library: requests to the service's control channel and a
// listener thread that turns its event lines into callback records.
#include "vln.h"

#include <openssl/crypto.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <thread>

#include "codec/value_codec.h"
#include "platform/local_pipe.h"
#include "platform/text.h"

using velarn::PipeConnection;
namespace codec = velarn::codec;

namespace {

const char kPipeName[] = "\\\\.\\pipe\\kevad";
// The channel serves one client at a time; a service that has not answered
// in this time is as good as gone for a GUI waiting on it.
const int kAnswerTimeoutMs = 10000;
// The service refuses bodies beyond this; failing here gives a clearer code
// than a dropped connection.
const size_t kMaxProfile = size_t(1) << 24;
const size_t kMaxAnswer = kMaxProfile + 4096;
// Unix message sockets refuse single messages beyond the send buffer, so a
// long body follows its head in pieces; the service reads on until the
// announced length is there.
const size_t kChunk = 65536;
// Event lines are short (the message part is capped near 1 KiB); anything
// beyond this is not an event line.
const size_t kEventCap = 16384;
struct Link {
  std::unique_ptr<PipeConnection> pipe;
  VLN_Callback callback = nullptr;
  std::thread thread;
  std::atomic<bool> ready{false};    // set once VLN_open has finished
  std::atomic<bool> closing{false};  // VLN_close has begun
  std::atomic<bool> broken{false};   // the service dropped the listener
  long pending = 0;                  // an event read while opening
  // The listener's only buffers: no allocation per event.
  char line[kEventCap + 1];
  uint16_t wide[kEventCap + 1];
};

struct Table {
  std::mutex mutex;
  std::map<int, std::shared_ptr<Link>> links;
  int next = 1;
};

// Never destroyed: listener threads may outlive static destruction at exit.
Table& table() {
  static Table* t = new Table;
  return *t;
}

std::shared_ptr<Link> find_link(int handle) {
  Table& t = table();
  std::lock_guard<std::mutex> lock(t.mutex);
  auto it = t.links.find(handle);
  return it == t.links.end() ? nullptr : it->second;
}

int state_number(std::string_view name) {
  static const char* const names[] = {"Terminate", "Connecting", "Connected", "Closing", "Closed"};
  for (int i = 0; i < 5; ++i)
    if (name == names[i]) return i;
  return VLN_STATE_UNKNOWN;
}

int event_kind(std::string_view name) {
  if (name == "State-Change") return VLN_EVENT_STATE;
  if (name == "Error-Message") return VLN_EVENT_ALERT;
  if (name == "Info-Message") return VLN_EVENT_PROGRESS;
  return VLN_EVENT_LOG;
}

// UTF-8 to UTF-16; every input byte gives at most one output unit, so out
// needs no more room than the input has bytes. Anything that is not
// well-formed UTF-8 (stray or truncated sequences, overlong forms,
// surrogates) becomes U+FFFD, one per offending byte.
size_t utf8_to_utf16(const unsigned char* p, size_t n, uint16_t* out) {
  size_t i = 0, o = 0;
  while (i < n) {
    unsigned c = p[i];
    if (c < 0x80) {
      out[o++] = static_cast<uint16_t>(c);
      ++i;
      continue;
    }
    size_t need;
    uint32_t cp, min;
    if (c >= 0xC2 && c <= 0xDF) {
      need = 1, cp = c & 0x1F, min = 0x80;
    } else if ((c & 0xF0) == 0xE0) {
      need = 2, cp = c & 0x0F, min = 0x800;
    } else if (c >= 0xF0 && c <= 0xF4) {
      need = 3, cp = c & 0x07, min = 0x10000;
    } else {
      out[o++] = 0xFFFD;
      ++i;
      continue;
    }
    size_t j = 1;
    for (; j <= need && i + j < n && (p[i + j] & 0xC0) == 0x80; ++j) cp = (cp << 6) | (p[i + j] & 0x3F);
    if (j <= need || cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
      out[o++] = 0xFFFD;
      ++i;
      continue;
    }
    i += need + 1;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out[o++] = static_cast<uint16_t>(0xD800 + (cp >> 10));
      out[o++] = static_cast<uint16_t>(0xDC00 + (cp & 0x3FF));
    } else {
      out[o++] = static_cast<uint16_t>(cp);
    }
  }
  return o;
}

// "event=%s&state=%s&message=%s"; the message is not escaped and may hold
// "&" itself, so it is everything after the first "&message=".
void deliver(Link& link, size_t n) {
  if (!link.callback) return;
  std::string_view s(link.line, n);
  static const std::string_view kEvent = "event=", kState = "&state=", kMessage = "&message=";
  if (s.substr(0, kEvent.size()) != kEvent) return;
  size_t st = s.find(kState, kEvent.size());
  if (st == std::string_view::npos) return;
  size_t ms = s.find(kMessage, st + kState.size());
  if (ms == std::string_view::npos) return;
  std::string_view event = s.substr(kEvent.size(), st - kEvent.size());
  std::string_view state = s.substr(st + kState.size(), ms - st - kState.size());
  std::string_view message = s.substr(ms + kMessage.size());

  size_t len = utf8_to_utf16(reinterpret_cast<const unsigned char*>(message.data()), message.size(), link.wide);
  link.wide[len] = 0;
  VLN_Event ev{event_kind(event), state_number(state), link.wide};
  link.callback(&ev);
}

void listen_main(std::shared_ptr<Link> link) {
  link->ready.wait(false);
  if (link->pending > 0 && !link->closing) deliver(*link, static_cast<size_t>(link->pending));
  while (!link->closing) {
    long n = link->pipe->read(link->line, kEventCap);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      // The service closed the listener (it stopped, or refused us); a
      // shutdown by VLN_close ends here as well.
      if (!link->closing) link->broken = true;
      break;
    }
    if (link->closing) break;
    deliver(*link, static_cast<size_t>(n));
  }
}

struct Answer {
  int status = 0;
  std::string body;
};

// "HTTP/1.1 %d %s\r\n", header lines, and only with a body an empty line,
// then Content-Length bytes.
bool parse_answer(const std::string& text, Answer* a) {
  if (text.compare(0, 5, "HTTP/") != 0) return false;
  size_t sp = text.find(' ');
  size_t eol = text.find("\r\n");
  if (sp == std::string::npos || eol == std::string::npos || sp + 4 > eol) return false;
  int code = 0;
  for (size_t i = sp + 1; i < sp + 4; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    code = code * 10 + (text[i] - '0');
  }
  if (sp + 4 < eol && text[sp + 4] != ' ') return false;
  a->status = code;
  a->body.clear();

  static const char kLength[] = "Content-Length:";
  long long length = -1;
  size_t pos = eol + 2;
  while (pos < text.size()) {
    if (text.compare(pos, 2, "\r\n") == 0) {
      pos += 2;
      if (length < 0 || text.size() - pos < static_cast<size_t>(length)) return false;
      a->body.assign(text, pos, static_cast<size_t>(length));
      return true;
    }
    size_t end = text.find("\r\n", pos);
    if (end == std::string::npos) return false;
    if (velarn::istarts_with(std::string_view(text).substr(pos, end - pos), kLength)) {
      const char* v = text.c_str() + pos + sizeof kLength - 1;
      while (*v == ' ') ++v;
      char* stop = nullptr;
      errno = 0;
      length = std::strtoll(v, &stop, 10);
      if (stop == v || stop != text.c_str() + end || length < 0 || errno == ERANGE) return false;
    }
    pos = end + 2;
  }
  // Headers without the empty line: no body, which a length contradicts.
  return length < 0;
}

// One request on a connection of its own; the service answers once and
// closes. 0 with the answer, VLN_ERR_LINK or VLN_ERR_ANSWER.
int transact(const char* method, const char* path, const char* body, size_t len, Answer* a) {
  try {
    auto pipe = velarn::local_pipe_connect(kPipeName);
    if (!pipe) return VLN_ERR_LINK;
    std::string msg = std::string(method) + " " + path + " HTTP/1.1\r\n";
    if (body) msg += "Content-Length: " + std::to_string(len) + "\r\n";
    msg += "\r\n";
    size_t sent = body ? std::min(len, kChunk) : 0;
    msg.append(body ? body : "", sent);
    if (!pipe->write(msg.data(), msg.size())) return VLN_ERR_LINK;
    while (sent < len) {
      size_t piece = std::min(len - sent, kChunk);
      if (!pipe->write(body + sent, piece)) return VLN_ERR_LINK;
      sent += piece;
    }

    std::string text;
    char buf[4096];
    for (;;) {
      long n = pipe->read(buf, sizeof buf, kAnswerTimeoutMs);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return VLN_ERR_LINK;
      if (n == 0) break;
      if (text.size() + static_cast<size_t>(n) > kMaxAnswer) return VLN_ERR_ANSWER;
      text.append(buf, static_cast<size_t>(n));
    }
    // Closed without a word: a malformed request or a refused peer, or the
    // service went down under us.
    if (text.empty()) return VLN_ERR_LINK;
    return parse_answer(text, a) ? VLN_OK : VLN_ERR_ANSWER;
  } catch (const std::bad_alloc&) {
    return VLN_ERR_RESOURCE;
  }
}

int status_result(int status) {
  switch (status) {
    case 400: return VLN_ERR_REFUSED;
    case 404: return VLN_ERR_NO_SESSION;
    default: return VLN_ERR_ANSWER;
  }
}

// Stops a listener thread that may be blocked in its read.
void stop_listener(Link& link) {
  link.closing = true;
  link.ready = true;
  link.ready.notify_all();
  link.pipe->shutdown();
}

}  // namespace

extern "C" {

int VLN_init(void) {
  Answer a;
  int rc = transact("GET", "/keva/", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  return a.status == 200 && a.body == "OK" ? VLN_OK : VLN_ERR_ANSWER;
}

int VLN_open(int* handle, VLN_Callback callback) {
  if (!handle) return VLN_ERR_ARGUMENT;
  *handle = 0;
  std::shared_ptr<Link> link;
  try {
    link = std::make_shared<Link>();
  } catch (const std::bad_alloc&) {
    return VLN_ERR_RESOURCE;
  }
  link->callback = callback;
  link->pipe = velarn::local_pipe_connect(kPipeName);
  if (!link->pipe) return VLN_ERR_LINK;
  static const char kListen[] = "GET /keva/listen HTTP/1.1\r\n\r\n";
  if (!link->pipe->write(kListen, sizeof kListen - 1)) return VLN_ERR_LINK;

  // The channel takes its clients in turn, so once this answer is in, the
  // listener above has been registered, or refused and closed.
  Answer a;
  int rc = transact("GET", "/keva/", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  if (a.status != 200) return VLN_ERR_ANSWER;
  if (link->pipe->readable()) {
    long n = link->pipe->read(link->line, kEventCap, 0);
    if (n <= 0) return VLN_ERR_LINK;
    link->pending = n;  // an event already: the thread hands it on first
  }

  try {
    link->thread = std::thread(listen_main, link);
  } catch (...) {
    return VLN_ERR_RESOURCE;
  }
  int id = 0;
  try {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    do {
      id = t.next;
      t.next = t.next == INT32_MAX ? 1 : t.next + 1;
    } while (t.links.count(id));
    t.links.emplace(id, link);
  } catch (const std::bad_alloc&) {
    stop_listener(*link);
    link->thread.join();
    return VLN_ERR_RESOURCE;
  }
  *handle = id;
  link->ready = true;
  link->ready.notify_all();
  return VLN_OK;
}

int VLN_state(int handle, int32_t* state) {
  if (!state) return VLN_ERR_ARGUMENT;
  auto link = find_link(handle);
  if (!link) return VLN_ERR_ARGUMENT;
  if (link->broken) return VLN_ERR_LINK;
  Answer a;
  int rc = transact("GET", "/keva/client/state", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  if (a.status == 404) {
    *state = VLN_STATE_IDLE;
    return VLN_OK;
  }
  if (a.status != 200) return status_result(a.status);
  int s = state_number(a.body);
  if (s == VLN_STATE_UNKNOWN) return VLN_ERR_ANSWER;
  *state = s;
  return VLN_OK;
}

int VLN_connect(int handle, const char* profile, const char* extra) {
  (void)extra;
  if (!profile) return VLN_ERR_ARGUMENT;
  auto link = find_link(handle);
  if (!link) return VLN_ERR_ARGUMENT;
  size_t len = std::strlen(profile);
  if (len > kMaxProfile) return VLN_ERR_ARGUMENT;
  if (link->broken) return VLN_ERR_LINK;

  // The service would take a second session over the running one's head;
  // refusing here keeps the running one in view.
  Answer a;
  int rc = transact("GET", "/keva/client/state", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  if (a.status == 200 && a.body != "Terminate") return VLN_ERR_BUSY;
  if (a.status != 200 && a.status != 404) return status_result(a.status);

  rc = transact("POST", "/keva/client/session", profile, len, &a);
  if (rc != VLN_OK) return rc;
  switch (a.status) {
    case 201: return VLN_OK;
    case 400: return VLN_ERR_REFUSED;
    case 500: return VLN_ERR_START;
    default: return VLN_ERR_ANSWER;
  }
}

int VLN_disconnect(int handle) {
  auto link = find_link(handle);
  if (!link) return VLN_ERR_ARGUMENT;
  if (link->broken) return VLN_ERR_LINK;
  Answer a;
  int rc = transact("DELETE", "/keva/client/session", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  return a.status == 200 ? VLN_OK : status_result(a.status);
}

int VLN_getProfile(int handle, char* buffer, size_t size) {
  if (!buffer || size == 0) return VLN_ERR_ARGUMENT;
  buffer[0] = 0;
  auto link = find_link(handle);
  if (!link) return VLN_ERR_ARGUMENT;
  Answer a;
  int rc = transact("GET", "/keva/client/profile", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  if (a.status != 200) return status_result(a.status);
  size_t n = a.body.size();
  rc = VLN_OK;
  if (n > size - 1) {
    n = size - 1;
    // Never leave half a character at the end.
    while (n > 0 && (static_cast<unsigned char>(a.body[n]) & 0xC0) == 0x80) --n;
    rc = VLN_ERR_SPACE;
  }
  std::memcpy(buffer, a.body.data(), n);
  buffer[n] = 0;
  return rc;
}

int VLN_encrypt(const char* key, size_t key_len, const char* input, size_t input_len, char* output,
                size_t output_size) {
  if (!output || output_size == 0) return VLN_ERR_ARGUMENT;
  output[0] = 0;
  if (!key || !input) return VLN_ERR_ARGUMENT;
  // The service decrypts enc_ values with this one key only; a value made
  // under any other would reach the server as a garbled credential.
  if (!codec::value_key_matches(key, key_len)) return VLN_ERR_ARGUMENT;

  size_t n = strnlen(input, input_len);
  size_t enc_size = codec::encoded_size(n);
  std::unique_ptr<char[]> enc(new (std::nothrow) char[enc_size]);
  if (!enc) return VLN_ERR_RESOURCE;
  long len = codec::encode(input, n, enc.get(), enc_size);
  if (len < 0) return VLN_ERR_RESOURCE;
  // A text the service would read back as anything else must not be handed
  // out as if it were good.
  size_t back_size = codec::decoded_capacity(static_cast<size_t>(len));
  std::unique_ptr<char[]> back(new (std::nothrow) char[back_size]);
  if (!back) return VLN_ERR_RESOURCE;
  size_t back_len = 0;
  codec::DecodeResult dr = codec::decode(enc.get(), static_cast<size_t>(len), back.get(), back_size, &back_len);
  bool readable = dr == codec::DecodeResult::Ok && back_len == n && std::memcmp(back.get(), input, n) == 0;
  OPENSSL_cleanse(back.get(), back_size);
  if (dr == codec::DecodeResult::Failed) return VLN_ERR_RESOURCE;
  if (!readable) return VLN_ERR_ARGUMENT;
  if (static_cast<size_t>(len) >= output_size) return VLN_ERR_SPACE;
  std::memcpy(output, enc.get(), static_cast<size_t>(len) + 1);
  return VLN_OK;
}

int VLN_close(int handle) {
  std::shared_ptr<Link> link;
  {
    Table& t = table();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.links.find(handle);
    if (it == t.links.end()) return VLN_ERR_ARGUMENT;
    link = std::move(it->second);
    t.links.erase(it);
  }
  stop_listener(*link);
  // From the callback itself the thread cannot be waited for; it ends on
  // its own after the callback returns and frees the link then.
  if (link->thread.get_id() == std::this_thread::get_id())
    link->thread.detach();
  else
    link->thread.join();
  return VLN_OK;
}

int VLN_statistics(int handle, VLN_Statistics* stats) {
  if (!stats) return VLN_ERR_ARGUMENT;
  *stats = VLN_Statistics{};
  auto link = find_link(handle);
  if (!link) return VLN_ERR_ARGUMENT;
  Answer a;
  int rc = transact("GET", "/keva/statistics", nullptr, 0, &a);
  if (rc != VLN_OK) return rc;
  if (a.status != 200) return status_result(a.status);
  // "seconds=N&sent=N&received=N"; an answer missing a field is no answer.
  long long seconds = -1;
  unsigned long long sent = 0, received = 0;
  int used = 0;
  if (std::sscanf(a.body.c_str(), "seconds=%lld&sent=%llu&received=%llu%n", &seconds, &sent, &received, &used) != 3 ||
      static_cast<size_t>(used) != a.body.size() || seconds < 0)
    return VLN_ERR_ANSWER;
  stats->seconds = seconds;
  stats->sent = sent;
  stats->received = received;
  return VLN_OK;
}

}  // extern "C"
