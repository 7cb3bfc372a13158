// The catalog ids the GUI asks for, with the placeholders each text must
// carry. The catalog test holds every shipped language to this list, so a
// translation cannot drop an entry or break a format string unnoticed.
#pragma once

namespace vlngui {

enum class CatalogFile { Travix, Api, Token };

struct CatalogId {
  CatalogFile file;
  int id;
  const char* placeholders;  // the %s / %d sequence of the text, in order
};

namespace ids {
// Titles (they also serve as the product's string table).
constexpr int kTitleWithVersion = 20003;
constexpr int kBuildDate = 20005;
constexpr int kProductTitle = 20101;
constexpr int kLoginSuffix = 20102;
constexpr int kAlreadyRunning = 20111;
constexpr int kProfileLoadFailed = 22003;
constexpr int kEncryptFailed = 22235;
constexpr int kNeedAdministrator = 29006;
constexpr int kCurrentProfileFile = 29011;
constexpr int kSettingsFile = 29012;
constexpr int kStartupProfileFile = 29014;
// APIMessageID.txt
constexpr int kLibArgument = 30001;
constexpr int kLibResource = 30002;
constexpr int kLibLink = 30003;
constexpr int kConnectRefused = 30011;
constexpr int kConnectStart = 30012;
constexpr int kDisconnectRefused = 30021;
constexpr int kDisconnectNoSession = 30022;
constexpr int kConnectBusy = 30031;
constexpr int kConnectAnswer = 30032;
constexpr int kLibOther = 30090;
}  // namespace ids

// Every id of TravixID.txt, APIMessageID.txt and VLNTokenID.txt that the
// windows, the store and the wrapper show.
extern const CatalogId kCatalogIds[];
extern const int kCatalogIdCount;

}  // namespace vlngui
