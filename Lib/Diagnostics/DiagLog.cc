#include "Lib/Diagnostics/DiagLog.h"

#include <filesystem>
#include <system_error>

namespace logrum::diag {

TraceLogFile::TraceLogFile(const std::string& executable_path) {
  size_t slash = executable_path.rfind('/');
  if (slash == std::string::npos) return;
  std::string folder = executable_path.substr(0, slash + 1) + "TraceLog";
  std::error_code ec;
  std::filesystem::create_directory(folder, ec);  // an existing folder is fine
  path_ = folder + "/diaglog.log";
  // Appending: other processes may write the same file; each write lands at its end.
  file_ = std::fopen(path_.c_str(), "ae");
  if (file_ == nullptr) path_.clear();
}

TraceLogFile::~TraceLogFile() {
  if (file_ != nullptr) std::fclose(file_);
}

void TraceLogFile::Write(const char* text) {
  if (file_ == nullptr || text == nullptr) return;
  std::fputs(text, file_);
  std::fflush(file_);
}

}  // namespace logrum::diag
