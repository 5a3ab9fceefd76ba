#include "Lib/ArchiveManager/Archive/Bindings.h"

#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {
namespace {
// An address inside the object that holds the archive core: its library
// folder is where the bound libraries are looked for.
void Anchor() {}
}  // namespace

void* EncoderLibrary::Create(const void* params) {
  kit::MutexLock lock(mu_);
  if (entry_ == nullptr) {
    platform::Status status;
    if (!library_.is_open()) {
      status = library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audenc::kEncoderLibrary);
    }
    if (status.ok()) status = library_.Function(audenc::kEncoderEntry, &entry_);
    if (!status.ok()) {
      error_ = status.message();
      diag::DebugTrace("EncoderLibrary: %s\n", error_.c_str());
      return nullptr;
    }
  }
  return entry_(params);
}

std::string EncoderLibrary::LastError() {
  kit::MutexLock lock(mu_);
  return error_;
}

FtpLibrary& FtpLibrary::Instance() {
  static FtpLibrary library;
  return library;
}

bool FtpLibrary::SendFile(const ftp::FtpSendRequest& request, std::string* error) {
  ftp::FtpSendFileFn send;
  ftp::FtpSendFileExFn send_ex;
  {
    kit::MutexLock lock(mu_);
    if (!tried_) {
      tried_ = true;
      platform::Status status =
          library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), file_name_);
      if (status.ok()) {
        status = library_.Function(ftp::kFtpSendEntry, &send_);
        send_ex_ = library_.OptionalFunction<ftp::FtpSendFileExFn>(ftp::kFtpSendExEntry);
      }
      if (!status.ok()) load_error_ = status.message();
      if (send_ == nullptr) diag::DebugTrace("FtpLibrary: %s\n", load_error_.c_str());
    }
    send = send_;
    send_ex = send_ex_;
    if (send == nullptr) {
      if (error != nullptr) *error = "the FTP library is not available: " + load_error_;
      return false;
    }
  }
  // The library keeps no state: calls run outside the lock, in parallel.
  if (send_ex != nullptr) {
    char reason[512] = "";
    const bool sent = send_ex(&request, reason, sizeof reason);
    if (!sent && error != nullptr) *error = reason;
    return sent;
  }
  if (request.bTls != 0) {
    if (error != nullptr) *error = "the FTP library cannot send over TLS";
    return false;
  }
  const bool sent = send(request.pszLocalFile, request.pszServer, request.nPort, request.pszUser,
                         request.pszPassword, request.pszRemoteDir, request.pszRemoteFile);
  if (!sent && error != nullptr) *error = "the server did not take the file";
  return sent;
}

SourceBinding::~SourceBinding() {
  Unsubscribe();
  manager_ = nullptr;
  library_.Close();
}

bool SourceBinding::Load(std::string* error) {
  if (manager_ != nullptr) return true;
  platform::Status status;
  if (!library_.is_open()) {
    status =
        library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audio::kAudioSourceLibrary);
  }
  audio::AudioSourceEntryFn entry = nullptr;
  if (status.ok()) status = library_.Function(audio::kAudioSourceEntry, &entry);
  if (!status.ok()) {
    if (error != nullptr) *error = status.message();
    return false;
  }
  manager_ = entry();
  if (manager_ == nullptr && error) *error = "the audio source library gave no manager";
  return manager_ != nullptr;
}

bool SourceBinding::Subscribe(const char* source, kit::AudioSink* sink, uint32_t mask,
                              audio::LevelListener* level_listener) {
  Unsubscribe();
  if (manager_ == nullptr || source == nullptr) return false;
  subscription_ = audio::SourceSubscription{sink, mask, level_listener};
  if (!manager_->Subscribe(source, &subscription_)) return false;
  source_ = source;
  subscribed_ = true;
  return true;
}

void SourceBinding::Unsubscribe() {
  if (!subscribed_) return;
  if (manager_ != nullptr) manager_->Unsubscribe(source_.c_str(), &subscription_);
  subscribed_ = false;
  source_.clear();
}

}  // namespace logrum::archive
