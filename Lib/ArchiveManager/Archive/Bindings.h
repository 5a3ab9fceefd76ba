// Bindings of the archive service to the libraries it loads by file name.
//
//   EncoderLibrary  audenc.so: loaded on first use and kept until the archive
//                   manager (its owner) ends; Create calls its entry point.
//   FtpLibrary      ftpxfer.so: one for the process, loaded on first use and
//                   freed when the archive service is unloaded. When the
//                   library or its export is missing, every send fails.
//   SourceBinding   audiosrc.so: one per subscription. Each loads the library
//                   itself, holds at most one subscription, and unsubscribes
//                   and frees the library when it is deleted.
// Both look for their library in the library folder of archsvc.so (or of the
// program that links the archive core), never on the system search path.
//
// Thread safety: EncoderLibrary from any thread; a SourceBinding from one
// thread at a time (its archive's).
#pragma once

#include <mutex>
#include <string>

#include "External/Encoder/include/Encoder.h"
#include "Lib/ArchiveManager/Storage/BackupThread.h"
#include "Lib/AudioSource/include/AudioSource.h"
#include "Lib/FtpUpload/include/FtpXfer.h"
#include "Lib/Kit/Mutex.h"
#include "Lib/Platform/DynamicLibrary.h"
#include "Lib/Platform/Status.h"

namespace logrum::archive {

class EncoderLibrary {
 public:
  // A new encoder for the parameter record in *encoder; null, and a failure,
  // when the library or its entry point is missing or the record is refused.
  platform::Status Create(const void* params, void** encoder);

 private:
  kit::Mutex mu_;
  platform::DynamicLibrary library_ GUARDED_BY(mu_);
  audenc::EncoderEntryFn entry_ GUARDED_BY(mu_) = nullptr;
};

class FtpLibrary : public FtpSender {
 public:
  // The process's binding of ftpxfer.so.
  static FtpLibrary& Instance();
  // A binding of another file name (tests: a missing library).
  explicit FtpLibrary(std::string file_name = ftp::kFtpLibrary)
      : file_name_(std::move(file_name)) {}
  // Sends through FTPSendFileEx, or FTPSendFile when the library has only
  // that (plain FTP, no reason given). Fails, saying why, when not stored.
  platform::Status SendFile(const ftp::FtpSendRequest& request) override;

 private:
  const std::string file_name_;
  kit::Mutex mu_;
  bool tried_ GUARDED_BY(mu_) = false;
  platform::DynamicLibrary library_ GUARDED_BY(mu_);
  std::string load_error_ GUARDED_BY(mu_);
  ftp::FtpSendFileFn send_ = nullptr;           // set once under mu_
  ftp::FtpSendFileExFn send_ex_ = nullptr;      // set once under mu_
};

class SourceBinding {
 public:
  SourceBinding() = default;
  ~SourceBinding();  // unsubscribes, then frees the library
  SourceBinding(const SourceBinding&) = delete;
  SourceBinding& operator=(const SourceBinding&) = delete;

  // Loads the library and takes its manager; fails when either is missing.
  platform::Status Load();
  // Subscribes (any earlier subscription of this binding is dropped first).
  bool Subscribe(const char* source, kit::AudioSink* sink, uint32_t mask,
                 audio::LevelListener* level_listener);
  void Unsubscribe();
  bool IsSubscribed() const { return subscribed_; }

 private:
  platform::DynamicLibrary library_;
  audio::CAudioSourceManager* manager_ = nullptr;
  std::string source_;
  bool subscribed_ = false;
  audio::SourceSubscription subscription_{};
};

}  // namespace logrum::archive
