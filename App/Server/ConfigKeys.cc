#include "App/Server/ConfigKeys.h"

#include <errno.h>

#include <cstdio>
#include <cstdlib>

namespace logrum::server {
namespace {

std::string Below(std::string_view parent, std::string_view child) {
  std::string path(parent);
  path.push_back('\\');
  path.append(child);
  return path;
}

}  // namespace

std::string ServerKeyPath() { return Below(kLogrum2Key, "Server"); }
std::string ArchivesKeyPath() { return Below(kLogrum2Key, "Archives"); }
std::string ArchiveKeyPath(std::string_view archive) { return Below(ArchivesKeyPath(), archive); }
std::string ScheduleKeyPath(std::string_view archive) {
  return Below(ArchiveKeyPath(archive), "Schedule");
}
std::string AudioDevices2KeyPath() { return Below(kLogrum2Key, "AudioDevices2"); }
std::string AudioDevicesKeyPath() { return Below(kLogrum2Key, "AudioDevices"); }
std::string UsersKeyPath() { return Below(kLogrum2Key, "Users"); }
std::string UserKeyPath(std::string_view user) { return Below(UsersKeyPath(), user); }
std::string UserRightsKeyPath(std::string_view user) {
  return Below(UserKeyPath(user), "ArchiveRights");
}

const char* ConfigMessageText(int number) {
  switch (number) {
    case kMsgRegistryAccess:
      return "Unable to access the registry! Make sure you have administrative rights on this PC.";
    case kMsgUserData:
      return "Configuration error! Unable to read all user information from registry. Please "
             "check all user data.";
    case kMsgArchiveOptions:
      return "Unable to read archive options from registry. Please check all archive data!";
    default:
      return "";
  }
}

// The same line as the program's own messages: its journal priority under
// systemd, else the program's name, so no line carries a second prefix.
void StderrMessageSink::ShowMessage(int /*number*/, const std::string& text) {
  if (std::getenv("JOURNAL_STREAM") != nullptr) {
    std::fprintf(stderr, "<3>%s\n", text.c_str());
  } else {
    std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, text.c_str());
  }
  std::fflush(stderr);
}

void ShowConfigMessage(MessageSink* sink, int number) {
  StderrMessageSink fallback;
  (sink != nullptr ? sink : &fallback)->ShowMessage(number, ConfigMessageText(number));
}

}  // namespace logrum::server
