#include "Tools/logrum-segment/SegmentTool.h"

#include <strings.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#include "Lib/ArchiveManager/Segment/ArchiveFileRead.h"
#include "Lib/ArchiveManager/Time/SegmentName.h"

namespace logrum::tools {
namespace {

namespace fs = std::filesystem;
using archive::CArchiveFileRead;
using archive::CZoneTime;
using archive::SegmentTrailer;

constexpr char kUsage[] =
    "usage: logrum-segment info [--json] FILE...\n"
    "       logrum-segment check FOLDER [EXT]\n";

// A packed time as text, without the year window of CZoneTime.
std::string PackedText(uint64_t packed) {
  if (packed == 0) return "";
  char text[40];
  std::snprintf(text, sizeof text, "%04u.%02u.%02u-%02u:%02u:%02u-%c",
                static_cast<unsigned>(packed >> 48 & 0xFFFF), static_cast<unsigned>(packed >> 40 & 0xFF),
                static_cast<unsigned>(packed >> 32 & 0xFF), static_cast<unsigned>(packed >> 24 & 0xFF),
                static_cast<unsigned>(packed >> 16 & 0xFF), static_cast<unsigned>(packed >> 8 & 0xFF),
                (packed & 0xFF) != 0 ? 'D' : 'S');
  return text;
}

std::string FormText(const SegmentTrailer& t) {
  return t.IsOlderForm() ? "older (94 bytes)" : "current (109 bytes, version " +
                                                    std::to_string(t.version) + ")";
}

void PrintInfo(const std::string& path, const SegmentTrailer& t, std::ostream& out) {
  const std::string end = PackedText(t.end_time);
  out << path << "\n"
      << "  form:        " << FormText(t) << "\n"
      << "  source:      " << t.source << "\n"
      << "  size:        " << t.size_bytes << " bytes\n"
      << "  start:       " << PackedText(t.start_time) << "\n"
      << "  end:         " << (end.empty() ? "none" : end) << "\n"
      << "  duration:    " << t.duration_ms << " ms\n"
      << "  bit rate:    " << t.bitrate << " kbit/s\n"
      << "  sample rate: " << t.samplerate << " Hz\n"
      << "  channels:    " << t.channels << "\n"
      << "  skim:        " << (t.IsSkim() ? "on" : "off") << "\n";
}

nlohmann::ordered_json InfoJson(const std::string& path, const SegmentTrailer& t) {
  nlohmann::ordered_json j;
  j["file"] = path;
  j["ok"] = true;
  j["form"] = t.IsOlderForm() ? "older" : "current";
  j["version"] = t.version;
  j["source"] = t.source;
  j["size_bytes"] = t.size_bytes;
  j["start"] = PackedText(t.start_time);
  const std::string end = PackedText(t.end_time);
  j["end"] = end.empty() ? nlohmann::ordered_json(nullptr) : nlohmann::ordered_json(end);
  j["duration_ms"] = t.duration_ms;
  j["bitrate_kbps"] = t.bitrate;
  j["samplerate_hz"] = t.samplerate;
  j["channels"] = t.channels;
  j["skim"] = t.IsSkim();
  return j;
}

int Info(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  bool json = false;
  std::vector<std::string> files;
  for (const std::string& arg : args) {
    if (arg == "--json") {
      json = true;
    } else {
      files.push_back(arg);
    }
  }
  if (files.empty()) {
    err << kUsage;
    return 2;
  }
  int status = 0;
  nlohmann::ordered_json list = nlohmann::ordered_json::array();
  for (const std::string& path : files) {
    CArchiveFileRead reader("", "");
    const platform::Status read = reader.ReadTrailer(path);
    reader.Close();
    if (!read.ok()) {
      status = 1;
      if (json) {
        list.push_back({{"file", path}, {"ok", false}, {"error", read.message()}});
      } else {
        err << path << ": error: " << read.message() << "\n";
      }
      continue;
    }
    if (json) {
      list.push_back(InfoJson(path, reader.GetTrailer()));
    } else {
      PrintInfo(path, reader.GetTrailer(), out);
    }
  }
  if (json) out << list.dump(2) << "\n";
  return status;
}

bool ExtensionMatches(const fs::path& path, const std::string& ext) {
  std::string want = ext.empty() || ext.front() == '.' ? ext : "." + ext;
  std::string have = path.extension().string();
  return !want.empty() && strcasecmp(have.c_str(), want.c_str()) == 0;
}

struct CheckCounts {
  size_t files = 0, errors = 0, warnings = 0;
};

void CheckFile(const std::string& folder, const fs::path& path,
               std::ostream& out, CheckCounts* counts) {
  const std::string p = path.string();
  auto error = [&](const std::string& text) {
    out << p << ": error: " << text << "\n";
    ++counts->errors;
  };
  auto warning = [&](const std::string& text) {
    out << p << ": warning: " << text << "\n";
    ++counts->warnings;
  };
  ++counts->files;
  CZoneTime named;
  if (!archive::ParseSegmentName(path.stem().string(), false, &named)) {
    const int base = CZoneTime::BaseYear();
    error("invalid file name (expected YYYY.MM.DD-hh.mm.ss-Z, a year from " +
          std::to_string(base - 15) + " to " + std::to_string(base + 15) + ")");
    return;
  }
  // The extension as the file spells it: it matched the archive's without regard to case.
  const std::string expected = archive::FindSegmentFile(folder, named, path.extension().string());
  std::error_code ec;
  if (!fs::exists(expected, ec) || !fs::equivalent(expected, path, ec)) {
    error("in the wrong place (its name puts it at " + expected + ")");
    return;
  }
  CArchiveFileRead reader(folder, path.extension().string());
  if (const platform::Status read = reader.ReadTrailer(p); !read.ok()) {
    if (read.code() == platform::Status::kBusy) {
      out << p << ": note: being written, not checked\n";
      return;
    }
    error("unreadable trailer, may be corrupted (" + read.message() + ")");
    return;
  }
  const SegmentTrailer trailer = reader.GetTrailer();
  const uint64_t file_size = fs::file_size(path, ec);
  reader.Close();
  if (!trailer.IsOlderForm() && path.stem().string().size() != 21) {
    error("the name lacks the zone letter that a current trailer requires");
    return;
  }
  if (trailer.start_time != named.ToPacked()) {
    warning("trailer start " + PackedText(trailer.start_time) +
            " differs from the name; the name is used");
  }
  if (!ec && uint64_t{trailer.size_bytes} + trailer.length != file_size) {
    warning("trailer counts " + std::to_string(trailer.size_bytes) + " audio bytes, the file holds " +
            std::to_string(file_size >= trailer.length ? file_size - trailer.length : 0));
  }
  const kit::AudioFormat format = reader.GetFormat();
  if (!kit::IsValidFormat(format)) {
    warning("audio format " + std::to_string(trailer.bitrate) + " kbit/s, " +
            std::to_string(trailer.samplerate) + " Hz, " + std::to_string(trailer.channels) +
            " channels cannot be streamed");
  } else if (kit::DurationMsOfBytes(format, trailer.size_bytes) != trailer.duration_ms) {
    warning("trailer says " + std::to_string(trailer.duration_ms) + " ms, the audio lasts " +
            std::to_string(kit::DurationMsOfBytes(format, trailer.size_bytes)) + " ms");
  }
}

int Check(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty() || args.size() > 2) {
    err << kUsage;
    return 2;
  }
  const std::string folder = args[0];
  const std::string ext = args.size() > 1 ? args[1] : "mp3";
  std::error_code ec;
  if (!fs::is_directory(folder, ec)) {
    err << folder << ": error: not a folder\n";
    return 2;
  }
  std::vector<fs::path> files;
  fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec);
  if (ec) {
    err << folder << ": error: " << ec.message() << "\n";
    return 2;
  }
  for (; it != fs::recursive_directory_iterator(); it.increment(ec)) {
    if (ec) {
      err << folder << ": error: " << ec.message() << "\n";
      return 2;
    }
    if (it->is_regular_file(ec) && ExtensionMatches(it->path(), ext)) files.push_back(it->path());
  }
  std::sort(files.begin(), files.end());
  CheckCounts counts;
  for (const fs::path& path : files) CheckFile(folder, path, out, &counts);
  out << counts.files << " segment files checked, " << counts.errors << " errors, "
      << counts.warnings << " warnings\n";
  return counts.errors + counts.warnings == 0 ? 0 : 1;
}

}  // namespace

int SegmentToolMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
  if (args.empty()) {
    err << kUsage;
    return 2;
  }
  const std::vector<std::string> rest(args.begin() + 1, args.end());
  if (args[0] == "info") return Info(rest, out, err);
  if (args[0] == "check") return Check(rest, out, err);
  if (args[0] == "-h" || args[0] == "--help") {
    out << kUsage;
    return 0;
  }
  err << kUsage;
  return 2;
}

}  // namespace logrum::tools
