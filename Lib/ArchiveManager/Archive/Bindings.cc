#include "Lib/ArchiveManager/Archive/Bindings.h"

#include "Lib/Diagnostics/Trace.h"

namespace logrum::archive {
namespace {

using platform::Status;

// An address inside the object that holds the archive core: its library
// folder is where the bound libraries are looked for.
void Anchor() {}
}  // namespace

Status EncoderLibrary::Create(const void* params, void** encoder) {
  *encoder = nullptr;
  kit::MutexLock lock(mu_);
  if (entry_ == nullptr) {
    Status status;
    if (!library_.is_open()) {
      status = library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audenc::kEncoderLibrary);
    }
    if (status.ok()) status = library_.Function(audenc::kEncoderEntry, &entry_);
    if (!status.ok()) return status;
  }
  *encoder = entry_(params);
  if (*encoder == nullptr) {
    return Status::Error(Status::kInvalidArgument,
                         std::string(audenc::kEncoderLibrary) + " refused the encoder parameters");
  }
  return Status::Ok();
}

FtpLibrary& FtpLibrary::Instance() {
  static FtpLibrary library;
  return library;
}

Status FtpLibrary::SendFile(const ftp::FtpSendRequest& request) {
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
      return Status::Error(Status::kNotFound, "the FTP library is not available: " + load_error_);
    }
  }
  // The library keeps no state: calls run outside the lock, in parallel.
  if (send_ex != nullptr) {
    char reason[512] = "";
    if (send_ex(&request, reason, sizeof reason)) return Status::Ok();
    return Status::Error(Status::kIoError, reason);
  }
  if (request.bTls != 0) {
    return Status::Error(Status::kInvalidArgument, "the FTP library cannot send over TLS");
  }
  if (send(request.pszLocalFile, request.pszServer, request.nPort, request.pszUser,
           request.pszPassword, request.pszRemoteDir, request.pszRemoteFile)) {
    return Status::Ok();
  }
  return Status::Error(Status::kIoError, "the server did not take the file");
}

SourceBinding::~SourceBinding() {
  Unsubscribe();
  manager_ = nullptr;
  library_.Close();
}

Status SourceBinding::Load() {
  if (manager_ != nullptr) return Status::Ok();
  Status status;
  if (!library_.is_open()) {
    status =
        library_.OpenBeside(reinterpret_cast<const void*>(&Anchor), audio::kAudioSourceLibrary);
  }
  audio::AudioSourceEntryFn entry = nullptr;
  if (status.ok()) status = library_.Function(audio::kAudioSourceEntry, &entry);
  if (!status.ok()) return status;
  manager_ = entry();
  if (manager_ == nullptr) {
    return Status::Error(Status::kIoError, "the audio source library gave no manager");
  }
  return Status::Ok();
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
