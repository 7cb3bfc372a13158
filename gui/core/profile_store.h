// The GUI's profile store: the one current connection profile with the GUI's
// own settings, its files (the GUI document, plain profile documents, the
// start-up profile and its line in kevad.ini), the profile text handed to the
// service, the system proxy, and the first-run and migration steps.
//
// The store shows no window. Whatever it must tell the user goes through the
// message hook as a catalog id; the program turns that into a message box.
#pragma once
#include <QString>
#include <QStringList>
#include <array>
#include <functional>

// GUI settings kept with the profile in the GUI document.
struct GuiSettings {
  QString executeConnected;
  int showConnect = 1;
  int tokenMonitor = 0;
  int ignoreDisconnection = 0;
  int defaultFlag = 0;  // read only: 1 saves a loaded document at once
};

// The current profile. Every text is empty when unset.
struct ProfileRecord {
  enum AuthKind { AuthPassword = 0, AuthCertificate = 1, AuthToken = 2 };
  enum ProxySetting { ProxyManual = 0, ProxyNone = 1, ProxySystem = 2 };

  QString host, port;
  // Servers 02 to 99, indexed by their number (0 and 1 stay empty).
  std::array<QString, 100> hostN, portN;
  int changeType = 0;  // 0 round robin, 1 random
  QString switchName;
  int proxySetting = ProxyManual;
  QString proxyHost, proxyPort, proxyUsername;
  QString proxyPassword, encProxyPassword;  // plain (typed) and encoded
  int authKind = AuthPassword;
  QString authType;  // "password", "x509" or "token"
  QString certificate, privateKey, encPrivateKey;
  QString driver, pin, encPin;
  QString username, password, encPassword;
  QStringList trust;  // one PEM certificate each
  bool reconnect = false;
  QString ciphers, keepalive, timeout;
  bool useAddress = false;
  QString ip, subnetmask, gateway;
  // Edited and checked with the profile, but kept in no file of the store.
  QStringList macAllow, macDeny;
  GuiSettings settings;

  QString& hostAt(int n) { return n <= 1 ? host : hostN[size_t(n)]; }
  QString& portAt(int n) { return n <= 1 ? port : portN[size_t(n)]; }
  const QString& hostAt(int n) const { return n <= 1 ? host : hostN[size_t(n)]; }
  const QString& portAt(int n) const { return n <= 1 ? port : portN[size_t(n)]; }
};

// What the proxy dialog edits during the proxy set-up.
struct ProxyDialogData {
  QString host, port, username, password;
  bool passwordTyped = false;  // out: the user typed a new password
};

class CMainFileFunction {
 public:
  // Message box flag the store uses: an exclamation icon.
  static constexpr unsigned kExclamation = 0x30;

  // Catalog ids the store shows or reads.
  enum : unsigned {
    kMsgCharacters = 22220,       // kana or kanji, or a malformed list entry
    kMsgTooLong = 22222,          // host, switch, user, password or proxy value too long
    kMsgPortRange = 22224,        // port above 65535
    kMsgPortDigits = 22227,       // port not numeric
    kMsgCertificate = 22016,      // trusted certificate unreadable
    kMsgKeyMismatch = 22011,      // private key does not belong to the certificate
    kMsgNoUnattended = 22267,     // password profile without the saved credentials
    kMsgWriteFailed = 29005,      // a file could not be written
    kTextDefaultPort = 11080,     // default server port
    kNameCurrentProfile = 29011,  // file names in the data folder
    kNameSettingsFile = 29012,
    kNameStartupProfile = 29014,
  };

  struct Paths {
    QString programFolder, dataFolder;
    QString currentProfile, settingsFile, startupProfile;
  };

  struct Hooks {
    // Shows catalog text id; arg, when not empty, follows after an empty
    // line. Returns the button pressed.
    std::function<int(unsigned id, unsigned flags, const QString& arg)> message;
    // Catalog text by id (the GUI catalog).
    std::function<QString(unsigned id)> catalogText;
    // The enc_ form of a secret; empty on failure (after telling the user).
    // Unset: the client library's encryption with message 22235 on failure.
    std::function<QString(const QString& plain)> encrypt;
    // Full access to the data folder, repairing it where the user may.
    // Unset: the folder is checked with the process's own rights.
    std::function<bool()> ensureAccess;
    // The proxy dialog; true when the user confirmed.
    std::function<bool(ProxyDialogData&)> proxyDialog;
  };

  CMainFileFunction() = default;
  virtual ~CMainFileFunction() = default;

  void SetPaths(const Paths& paths) { m_paths = paths; }
  const Paths& GetPaths() const { return m_paths; }
  Hooks& GetHooks() { return m_hooks; }

  ProfileRecord& Current() { return m_current; }
  const ProfileRecord& Current() const { return m_current; }
  // The record the last load read into (kept after a failed load too).
  const ProfileRecord& Editing() const { return m_editing; }

  // Empties the current profile; only the show-connect flag becomes 1.
  void ClearSettings();
  // Reads a GUI document or a plain profile document, checks it and makes it
  // the current profile. A failed load leaves the current profile as it was.
  bool LoadProfile(const QString& path);
  // Saves the current profile as the user's profile, with its start-up entry.
  bool ApplySettings();
  // The profile document handed to the service when connecting. It carries
  // plain secrets typed for this connection; it is never written to a file.
  QString BuildConnectProfile() const;
  // Writes the current profile to path as a plain profile document.
  bool WriteProfileFile(const QString& path);
  // The StartupProfile value of the service settings file. false when the
  // file exists but cannot be read; a missing file or entry gives "".
  bool ReadStartupProfile(QString& path) const;
  // Sets the StartupProfile entry of the service settings file ("" for none).
  bool WriteStartupEntry(const QString& profilePath);
  // Takes the proxy host and port from the system's proxy setting: the
  // https_proxy, then the http_proxy environment variable (either case).
  // false when none is set.
  bool ReadSystemProxy();

  // Installer steps.
  bool RenameCommand();  // access check, migration, then first run
  void Migrate();
  void FirstRun();
  bool ProxySetup();
  bool DeleteDataFolder();

  // Checks a record as a load does: 0, or the catalog id of the first fault
  // with the offending value in *value. Ports holding "(null)" and rejected
  // ports are set to "0".
  static unsigned Validate(ProfileRecord& record, QString* value);

 protected:
  int Message(unsigned id, const QString& arg = QString());

 private:
  enum class DocKind { Gui, PlainProfile };
  bool EnsureAccess();
  bool EnsureAccessFor(const QString& path);
  QString Encrypt(const QString& plain);
  void EncodeHeldSecrets();
  QByteArray Serialize(DocKind kind);
  bool WriteDocument(const QString& path, DocKind kind);
  bool StartupProfileStep();
  bool LoadInto(const QString& path, ProfileRecord& record, QString& startup, bool& saveNow);

  Paths m_paths;
  Hooks m_hooks;
  ProfileRecord m_current;
  ProfileRecord m_editing;
};
