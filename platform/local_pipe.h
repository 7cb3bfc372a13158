// The local control channel: a message-mode channel between the service and
// local programs, in place of a named pipe. Each write is one message; a read
// with a buffer smaller than the waiting message takes its first part and the
// next read the rest, so nothing is cut off.
#pragma once
#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace velarn {

// A manual-reset event that can be waited on together with channels.
class WaitEvent {
 public:
  WaitEvent();
  ~WaitEvent();
  WaitEvent(const WaitEvent&) = delete;
  WaitEvent& operator=(const WaitEvent&) = delete;
  void set();
  void reset();
  bool is_set() const;
  int handle() const { return fd_; }
  bool valid() const { return fd_ >= 0; }

 private:
  int fd_;
};

class PipeConnection {
 public:
  explicit PipeConnection(int fd);
  ~PipeConnection();
  PipeConnection(const PipeConnection&) = delete;
  PipeConnection& operator=(const PipeConnection&) = delete;

  // Reads (the rest of) one message: bytes read, 0 when the peer has closed,
  // -1 on failure (errno set). timeout_ms < 0 waits without limit; a time-out
  // gives -1 with errno ETIMEDOUT.
  long read(char* buf, size_t cap, int timeout_ms = -1);
  // Writes one message; false on failure.
  bool write(const char* data, size_t len);
  // Writes one message, waiting at most timeout_ms for room in the peer's
  // queue and never past the stop event; false on failure, time-out or stop.
  bool write(const char* data, size_t len, int timeout_ms, const WaitEvent& stop);
  // Writes one message unless the peer's queue is full; false then or on failure.
  bool try_write(const char* data, size_t len);
  // Something to read (or the peer went away) without blocking.
  bool readable();
  int handle() const { return fd_; }
  uid_t peer_uid() const { return uid_; }
  pid_t peer_pid() const { return pid_; }
  void set_peer(uid_t uid, pid_t pid) {
    uid_ = uid;
    pid_ = pid;
  }

 private:
  int fd_;
  uid_t uid_ = static_cast<uid_t>(-1);
  pid_t pid_ = 0;
  std::vector<char> held_;
  size_t held_pos_ = 0;
};

class LocalPipeServer {
 public:
  LocalPipeServer() = default;
  ~LocalPipeServer();
  LocalPipeServer(const LocalPipeServer&) = delete;
  LocalPipeServer& operator=(const LocalPipeServer&) = delete;

  // Creates the channel named like "\\.\pipe\kevad" (mapped under the root);
  // open to every local user: access is decided per peer at accept.
  bool create(const std::string& windows_name);
  const std::string& path() const { return path_; }

  enum WaitResult { kStop, kReady, kFailed, kTimeout };
  // Waits for the stop event, a client, or handles that became readable or
  // hung up. On kReady, *ready holds the indices of every such handle in
  // ascending order and *client says whether a client waits to be accepted:
  // the caller serves them all before it waits again, so neither old clients
  // nor new ones can starve the others. timeout_ms < 0 waits without limit.
  WaitResult wait(const WaitEvent& stop, const std::vector<int>& handles, std::vector<size_t>* ready, bool* client,
                  int timeout_ms = -1);
  // Takes the waiting client. Peers the access check refuses are
  // disconnected without a word and give nullptr (so does a failure).
  std::unique_ptr<PipeConnection> accept();

 private:
  int fd_ = -1;
  std::string path_;
};

// Client side.
std::unique_ptr<PipeConnection> local_pipe_connect(const std::string& windows_name);
// A connected message-mode socket to a Windows object name ("\\.\pipe\x",
// "\\.\Global\x"), or -1 with errno set.
int seqpacket_connect(const std::string& windows_name);

// Access to the control channel: root ("SYSTEM"), members of sudo
// ("Administrators") and ordinary users ("Users": uid 1000 and up but the
// overflow account) are served.
bool pipe_peer_allowed(uid_t uid);
// Root or a member of sudo: may stop the service through the channel.
bool pipe_peer_is_admin(uid_t uid);

}  // namespace velarn
