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
    std::string error;
    if (!library_.is_open() &&
        !library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audenc::kEncoderLibrary,
                             &error)) {
      error_ = error;
      diag::DebugTrace("EncoderLibrary: %s\n", error.c_str());
      return nullptr;
    }
    entry_ = library_.Function<audenc::EncoderEntryFn>(audenc::kEncoderEntry, &error);
    if (entry_ == nullptr) {
      error_ = error;
      diag::DebugTrace("EncoderLibrary: %s\n", error.c_str());
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
      if (library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), file_name_,
                              &load_error_)) {
        send_ = library_.Function<ftp::FtpSendFileFn>(ftp::kFtpSendEntry, &load_error_);
        send_ex_ = library_.Function<ftp::FtpSendFileExFn>(ftp::kFtpSendExEntry, nullptr);
      }
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
  if (!library_.is_open() &&
      !library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audio::kAudioSourceLibrary,
                           error)) {
    return false;
  }
  auto entry = library_.Function<audio::AudioSourceEntryFn>(audio::kAudioSourceEntry, error);
  if (entry == nullptr) return false;
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
