// Where the server program's configuration lives in the store, and the
// messages shown when it cannot be read or written.
//
// Below HKEY_LOCAL_MACHINE\Software\Norvane Systems\Logrum2:
//   Server                         ServerPort
//   Archives\<archive>             the archive's values (ArchiveOptions.h)
//   Archives\<archive>\Schedule    EventCount, DescNNN, DataNNN (Schedule.h)
//   AudioDevices2                  <source> = code digit + device name
//   AudioDevices                   <source> = device index << 8 | code (older form)
//   Users\<user>                   UserName, FullName, Password, Check, MaxConnections
//   Users\<user>\ArchiveRights     <archive> = rights bits
// New keys get the class "cls?".
#pragma once

#include <string>
#include <string_view>

namespace logrum::server {

inline constexpr char kLogrum2Key[] = "Software\\Norvane Systems\\Logrum2";
inline constexpr char kNewKeyClass[] = "cls?";

std::string ServerKeyPath();
std::string ArchivesKeyPath();
std::string ArchiveKeyPath(std::string_view archive);
std::string ScheduleKeyPath(std::string_view archive);
std::string AudioDevices2KeyPath();
std::string AudioDevicesKeyPath();
std::string UsersKeyPath();
std::string UserKeyPath(std::string_view user);
std::string UserRightsKeyPath(std::string_view user);

// Message numbers of the configuration store and their texts.
inline constexpr int kMsgRegistryAccess = 103;
inline constexpr int kMsgUserData = 104;
inline constexpr int kMsgArchiveOptions = 111;
const char* ConfigMessageText(int number);

// Where the configuration store shows its messages: a dialog in the admin
// page, standard error while none is open. Thread safety: called on the UI thread.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void ShowMessage(int number, const std::string& text) = 0;
};

// Writes one line a message to standard error, as the program's own messages are.
class StderrMessageSink final : public MessageSink {
 public:
  void ShowMessage(int number, const std::string& text) override;
};

// Shows message `number` on `sink` (standard error when sink is null).
void ShowConfigMessage(MessageSink* sink, int number);

}  // namespace logrum::server
