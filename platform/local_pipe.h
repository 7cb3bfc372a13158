// The local control channel: a message-mode channel between the service and
// local programs, in place of a named pipe. Each write is one message; a read
// with a buffer smaller than the waiting message takes its first part and the
// next read the rest, so nothing is cut off.
#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/system_types.h"

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
  // For the platform layer's own waits (a channel's, a monitor's).
  NativeHandle handle() const { return fd_; }
  bool valid() const { return fd_ != kNoHandle; }

 private:
  NativeHandle fd_;
};

class PipeConnection {
 public:
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
  // Ends the connection both ways while another thread may be blocked on
  // it: that thread's read sees the end, its write fails.
  void shutdown();
  // The peer as the system vouched for it when the connection was accepted
  // (kNoUser and 0 on the client side).
  UserId peer_uid() const { return uid_; }
  ProcessId peer_pid() const { return pid_; }

 private:
  friend class LocalPipeServer;
  friend std::unique_ptr<PipeConnection> local_pipe_connect(const std::string& windows_name);
  explicit PipeConnection(NativeHandle fd);

  NativeHandle fd_;
  UserId uid_ = kNoUser;
  ProcessId pid_ = 0;
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
  // Waits for the stop event, a client, or connections that became readable
  // or hung up. On kReady, *ready holds the indices of every such one in
  // ascending order and *client says whether a client waits to be accepted:
  // the caller serves them all before it waits again, so neither old clients
  // nor new ones can starve the others. timeout_ms < 0 waits without limit.
  WaitResult wait(const WaitEvent& stop, const std::vector<const PipeConnection*>& connections,
                  std::vector<size_t>* ready, bool* client, int timeout_ms = -1);
  // Takes the waiting client. Peers the access check refuses are
  // disconnected without a word and give nullptr (so does a failure).
  std::unique_ptr<PipeConnection> accept();

 private:
  NativeHandle fd_ = kNoHandle;
  std::string path_;
};

// Client side: nullptr with errno set on failure.
std::unique_ptr<PipeConnection> local_pipe_connect(const std::string& windows_name);

// Access to the control channel: root ("SYSTEM"), members of sudo
// ("Administrators") and ordinary users ("Users": uid 1000 and up but the
// overflow account) are served.
bool pipe_peer_allowed(UserId uid);
// Root or a member of sudo: may stop the service through the channel.
bool pipe_peer_is_admin(UserId uid);

}  // namespace velarn
