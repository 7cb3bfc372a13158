// The GUI's one way to the VPN service: a thin layer over the client library
// VLN that owns the single handle, retries while the service starts, turns
// every failure into a catalog message, and turns the library's events into
// notifications for the main window.
//
// Threads: the operations block (StartLibrary and ReopenLibrary retry for
// minutes), so the application runs them on a worker thread of their own and
// never on the window thread; the host's callbacks must therefore be safe to
// call from that thread. OnLibraryEvent runs on the library's listener thread
// and touches only the EventLog, under its lock.
#pragma once
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "catalog.h"
#include "vln.h"

namespace vlngui {

// VLN's entry points; tests replace them to drive every result code.
struct VlnApi {
  int (*init)();
  int (*open)(int* handle, VLN_Callback callback);
  int (*state)(int handle, int32_t* state);
  int (*connect)(int handle, const char* profile, const char* extra);
  int (*disconnect)(int handle);
  int (*get_profile)(int handle, char* buffer, size_t size);
  int (*encrypt)(const char* key, size_t key_len, const char* input, size_t input_len, char* output,
                 size_t output_size);
  int (*close)(int handle);
  // Optional: a table without it reports no counters.
  int (*statistics)(int handle, VLN_Statistics* stats) = nullptr;
  static const VlnApi& real();
};

// What the wrapper needs of the main window.
class LibraryHost {
 public:
  virtual ~LibraryHost() = default;
  // An exclamation message box; the host keeps the interaction flag false
  // while it is up. Must not block the caller's thread on the window thread.
  virtual void show_message(const std::string& text) = 0;
  virtual void update_tray_state(int state) = 0;
  // WM_CLIENT_EVENT and WM_TOKEN_PENDING: queued, never waited for.
  virtual void post_client_event(int value, int kind) = 0;
  virtual void post_token_pending(int arg) = 0;
  virtual bool main_window_visible() = 0;
  // A line for the connection log window, when one is open.
  virtual void append_log_line(const std::string& /*line*/) {}
  // The profile's auto-connect mode (reconnect = 1).
  virtual bool auto_connect() = 0;
  // Sleeps ms; false when the program is ending and the caller must give up.
  virtual bool wait(int ms) = 0;
};

// The texts OnLibraryEvent leaves for the window, under one lock.
class EventLog {
 public:
  static constexpr size_t kMaxEntries = 21;
  std::string current_text() const;
  void set_current_text(const std::string& t);
  // The pending popup text, cleared.
  std::string take_popup();
  std::vector<std::string> entries() const;
  void clear();
  // Records an event's text; false when it was empty (nothing logged).
  bool record(const std::string& text, bool popup);
  void clear_current();

 private:
  mutable std::mutex mu_;
  std::string current_;
  std::string popup_;
  std::deque<std::string> entries_;
};

class ClientLibrary {
 public:
  ClientLibrary(const Catalogs& catalogs, LibraryHost& host, const VlnApi& api = VlnApi::real());
  ~ClientLibrary();

  int handle() const { return handle_; }
  EventLog& events() { return events_; }

  // Each returns 1 for success and 0 for failure, as the window expects.
  int StartLibrary();
  int OpenLibrary();
  int CloseLibrary();
  int ReopenLibrary();
  int QueryState(int32_t* state);
  int ConnectProfile(const std::string& profile, const std::string& extra = {});
  void DisconnectSession();
  void RefreshAfterRestart();
  int GetSessionProfile(std::string* text);
  // The running session's counters; false (no message) when there are none.
  bool QueryStatistics(VLN_Statistics* stats);
  // The enc_ form of plain; empty (after message 22235) when it failed.
  std::string EncryptSecret(const std::string& plain);

  // The library's callback for this process's wrapper.
  static void OnLibraryEvent(const VLN_Event* event);
  // The same for one wrapper; public so that tests can feed events in.
  void on_event(const VLN_Event& event);

 private:
  void show_api(int id, int code = 0);
  const Catalogs& catalogs_;
  LibraryHost& host_;
  const VlnApi& api_;
  int handle_ = 0;
  EventLog events_;
};

// Whether a popup text reports that the service lost the server abnormally
// (after which the service may have restarted): the Japanese wording, or the
// service's text as the catalogs of the user's language word it.
bool is_abnormal_end(const std::string& popup, const Catalogs& catalogs);

// What LaunchCommand would start: the program and its parameters.
struct LaunchSplit {
  std::string program;
  std::string parameters;
};
LaunchSplit SplitLaunchCommand(const std::string& command, const std::string& data_folder);
// Starts a program or script for the user; 1 when one was started.
int LaunchCommand(const std::string& command, const std::string& data_folder);

// UTF-16 (as the library hands event texts) to UTF-8.
std::string utf16_to_utf8(const uint16_t* text);

}  // namespace vlngui
