// The wrapper round VLN; see client_library.h for the thread rules.
#include "client_library.h"

#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <atomic>
#include <filesystem>

#include "catalog_ids.h"

namespace vlngui {

namespace {

// The profile-value key the service decrypts with.
const char kSecretKey[] = "3c9d0e7a51b2f4860d1e2a3b4c5d6e7f80919a2b";

std::atomic<ClientLibrary*> g_active{nullptr};

bool is_file(const std::string& p) {
  std::error_code ec;
  return !p.empty() && std::filesystem::is_regular_file(p, ec);
}

bool is_blank(char c) { return c == ' ' || c == '\t'; }

std::string erase_quotes(std::string s) {
  std::erase(s, '"');
  return s;
}

}  // namespace

const VlnApi& VlnApi::real() {
  static const VlnApi api{VLN_init,       VLN_open,    VLN_state, VLN_connect,   VLN_disconnect,
                          VLN_getProfile, VLN_encrypt, VLN_close, VLN_statistics};
  return api;
}

// ---- EventLog

std::string EventLog::current_text() const {
  std::lock_guard<std::mutex> l(mu_);
  return current_;
}

void EventLog::set_current_text(const std::string& t) {
  std::lock_guard<std::mutex> l(mu_);
  current_ = t;
}

void EventLog::clear_current() { set_current_text({}); }

std::string EventLog::take_popup() {
  std::lock_guard<std::mutex> l(mu_);
  std::string p;
  p.swap(popup_);
  return p;
}

std::vector<std::string> EventLog::entries() const {
  std::lock_guard<std::mutex> l(mu_);
  return {entries_.begin(), entries_.end()};
}

void EventLog::clear() {
  std::lock_guard<std::mutex> l(mu_);
  entries_.clear();
}

bool EventLog::record(const std::string& text, bool popup) {
  std::lock_guard<std::mutex> l(mu_);
  current_ = text;
  if (popup) popup_ = text;
  if (text.empty()) return false;
  while (entries_.size() >= kMaxEntries) entries_.pop_front();
  entries_.push_back(text);
  return true;
}

// ---- ClientLibrary

ClientLibrary::ClientLibrary(const Catalogs& catalogs, LibraryHost& host, const VlnApi& api)
    : catalogs_(catalogs), host_(host), api_(api) {
  g_active = this;
}

ClientLibrary::~ClientLibrary() {
  CloseLibrary();
  ClientLibrary* self = this;
  g_active.compare_exchange_strong(self, nullptr);
}

void ClientLibrary::show_api(int id, int code) {
  std::string text = catalogs_.api_text(id);
  if (id == ids::kLibOther) text = format_text(text, {std::to_string(code)});
  host_.show_message(text);
}

int ClientLibrary::StartLibrary() {
  int failed = 0;
  for (int i = 0; i < 300; ++i) {
    if (api_.init() == 0) break;
    ++failed;
    if (!host_.wait(1000)) return 0;
  }
  // A service that took this long to come up is not trusted to stay up.
  if (failed >= 100) return 0;
  // A second listener on the same process would deliver every event twice.
  CloseLibrary();
  for (int i = 0; i < 300; ++i) {
    if (api_.open(&handle_, OnLibraryEvent) == 0) return 1;
    CloseLibrary();
    if (!host_.wait(1000)) return 0;
  }
  show_api(ids::kLibLink);
  return 0;
}

int ClientLibrary::OpenLibrary() {
  int rc = api_.open(&handle_, OnLibraryEvent);
  if (rc == 0) return 1;
  CloseLibrary();
  switch (rc) {
    case 1: show_api(ids::kLibArgument); break;
    case 2: show_api(ids::kLibResource); break;
    case 3: show_api(ids::kLibLink); break;
    default: show_api(ids::kLibOther, rc); break;
  }
  return 0;
}

int ClientLibrary::CloseLibrary() {
  if (handle_ != 0) api_.close(handle_);
  handle_ = 0;
  return 1;
}

int ClientLibrary::ReopenLibrary() {
  CloseLibrary();
  for (int i = 0; i < 300; ++i) {
    if (!host_.wait(200)) return 0;
    if (api_.open(&handle_, OnLibraryEvent) == 0) return 1;
    handle_ = 0;
    if (!host_.wait(800)) return 0;
  }
  return 0;
}

int ClientLibrary::QueryState(int32_t* state) {
  if (handle_ == 0) return 0;
  int rc = api_.state(handle_, state);
  if (rc == 0) return 1;
  if (rc == 3) {
    CloseLibrary();
    if (host_.wait(1000) && OpenLibrary() && api_.state(handle_, state) == 0) return 1;
    show_api(ids::kLibLink);
    return 0;
  }
  show_api(ids::kLibOther, rc);
  return 0;
}

int ClientLibrary::ConnectProfile(const std::string& profile, const std::string& extra) {
  if (handle_ == 0 && !OpenLibrary()) return 0;
  int32_t state = 0;
  if (!QueryState(&state)) return 0;
  if (state >= 1 && state <= 4) {
    host_.update_tray_state(state);
    return 0;
  }
  int rc = api_.connect(handle_, profile.c_str(), extra.empty() ? nullptr : extra.c_str());
  switch (rc) {
    case 0: return 1;
    case 3:
      CloseLibrary();
      if (host_.auto_connect()) {
        host_.post_token_pending(1);
        return 1;
      }
      show_api(ids::kLibLink);
      host_.update_tray_state(0);
      return 0;
    case 1: show_api(ids::kLibArgument); return 0;
    case 4: show_api(ids::kConnectRefused); return 0;
    case 16: show_api(ids::kConnectBusy); return 0;
    case 17: show_api(ids::kConnectStart); return 0;
    case 18: show_api(ids::kConnectAnswer); return 0;
    default:
      CloseLibrary();
      show_api(ids::kLibOther, rc);
      return 0;
  }
}

void ClientLibrary::DisconnectSession() {
  if (handle_ == 0) {
    OpenLibrary();
    return;
  }
  int rc = api_.disconnect(handle_);
  switch (rc) {
    case 0: return;
    case 3:
      CloseLibrary();
      show_api(ids::kLibLink);
      return;
    case 4:
      CloseLibrary();
      show_api(ids::kDisconnectRefused);
      return;
    case 5:
      RefreshAfterRestart();
      host_.post_client_event(0, 0);
      show_api(ids::kDisconnectNoSession);
      return;
    default:
      CloseLibrary();
      show_api(ids::kLibOther, rc);
      return;
  }
}

void ClientLibrary::RefreshAfterRestart() {
  CloseLibrary();
  if (!host_.wait(500)) return;
  int32_t state = 0;
  if (OpenLibrary() && QueryState(&state)) host_.update_tray_state(state);
}

int ClientLibrary::GetSessionProfile(std::string* text) {
  char buffer[1024] = {0};
  api_.get_profile(handle_, buffer, 1023);
  buffer[1023] = 0;
  *text = buffer;
  return 1;
}

bool ClientLibrary::QueryStatistics(VLN_Statistics* stats) {
  // Asked every few seconds while the tip is shown: silence on failure.
  return handle_ && api_.statistics && api_.statistics(handle_, stats) == 0;
}

std::string ClientLibrary::EncryptSecret(const std::string& plain) {
  // Base64 of the whole secret and its terminating zero, with room to spare:
  // a fixed margin would cut secrets of some hundred bytes and more.
  std::vector<char> out(4 * ((plain.size() + 1 + 2) / 3) + 296, 0);
  int rc = api_.encrypt(kSecretKey, 40, plain.c_str(), plain.size() + 1, out.data(), out.size());
  if (rc != 0) {
    // What the library left in the buffer is undefined; never store it.
    host_.show_message(catalogs_.text(ids::kEncryptFailed));
    return {};
  }
  out.back() = 0;
  return out.data();
}

void ClientLibrary::OnLibraryEvent(const VLN_Event* event) {
  ClientLibrary* self = g_active.load();
  if (self && event) self->on_event(*event);
}

void ClientLibrary::on_event(const VLN_Event& event) {
  if (event.kind == 0) {
    events_.clear_current();
    host_.post_client_event(event.value, 0);
    return;
  }
  if (event.kind < 1 || event.kind > 3) return;
  std::string text = TranslateServiceText(utf16_to_utf8(event.text), catalogs_.service);
  if (events_.record(text, event.kind == 1)) host_.append_log_line(text);
  if (text.empty() || event.kind == 3) return;
  if (event.kind == 2 && !host_.main_window_visible()) return;
  host_.post_client_event(event.value, event.kind);
}

std::string utf16_to_utf8(const uint16_t* text) {
  if (!text) return {};
  size_t n = 0;
  while (text[n]) ++n;
  return QString::fromUtf16(reinterpret_cast<const char16_t*>(text), static_cast<qsizetype>(n)).toStdString();
}

bool is_abnormal_end(const std::string& popup, const Catalogs& catalogs) {
  static const std::string kJapanese = "サーバーへの接続は異常に終了しました";
  if (popup.find(kJapanese) != std::string::npos) return true;
  std::string worded = TranslateServiceText("disconnected from the peer unexpectedly", catalogs.service);
  return !worded.empty() && popup.find(worded) != std::string::npos;
}

// ---- LaunchCommand

LaunchSplit SplitLaunchCommand(const std::string& command, const std::string& data_folder) {
  LaunchSplit out;
  std::string plain = erase_quotes(command);
  std::string lead = trim(plain);
  if (!lead.empty() && lead[0] == '/') {
    size_t q1 = command.find('"');
    if (q1 != std::string::npos) {
      size_t q2 = command.find('"', q1 + 1);
      out.program = command.substr(q1 + 1, q2 == std::string::npos ? std::string::npos : q2 - q1 - 1);
      if (q2 != std::string::npos) out.parameters = erase_quotes(command.substr(q2 + 1));
    } else {
      // Folder names may hold blanks and arguments may hold slashes, so the
      // program is the shortest text before a blank that names a file; when
      // none does, the first name with an extension ends it.
      size_t cut = std::string::npos;
      if (!is_file(lead)) {
        for (size_t i = 0; i < lead.size() && cut == std::string::npos; ++i)
          if (is_blank(lead[i]) && is_file(lead.substr(0, i))) cut = i;
        for (size_t i = 0; i < lead.size() && cut == std::string::npos; ++i)
          if (is_blank(lead[i]) && lead.find('.', lead.rfind('/', i)) < i) cut = i;
      }
      out.program = lead.substr(0, cut);
      if (cut != std::string::npos) out.parameters = lead.substr(cut + 1);
    }
  } else {
    size_t blank = lead.find_first_of(" \t");
    out.program = lead.substr(0, blank);
    if (blank != std::string::npos) out.parameters = lead.substr(blank + 1);
    std::string folder = data_folder;
    if (!folder.empty() && folder.back() != '/') folder += '/';
    for (const char* name : {"default.js", "default.bat", "default.vbs", "default.sh"}) {
      if (command.find(name) == std::string::npos) continue;
      if (is_file(folder + name)) out.program = folder + name;
    }
  }
  out.program = trim(out.program);
  out.parameters = trim(out.parameters);
  return out;
}

int LaunchCommand(const std::string& command, const std::string& data_folder) {
  LaunchSplit s = SplitLaunchCommand(command, data_folder);
  if (s.program.empty()) return 0;
  QString program = QString::fromStdString(s.program);
  QStringList args = QProcess::splitCommand(QString::fromStdString(s.parameters));
  bool is_path = s.program.find('/') != std::string::npos;
  if (is_path && !QFileInfo(program).isExecutable()) {
    // A script without its execute bit, as a user drops one into the data
    // folder: this platform's scripts run through the shell.
    if (!s.program.ends_with(".sh") || !is_file(s.program)) return 0;
    args.prepend(program);
    program = QStringLiteral("/bin/sh");
  }
  return QProcess::startDetached(program, args) ? 1 : 0;
}

}  // namespace vlngui
