#include "App/Server/ConfigText.h"

#include <cinttypes>
#include <cstdio>
#include <limits>

namespace logrum::server {
namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();

bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsBlank(char c) { return c == ' ' || c == '\t'; }
char LowerAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

void SkipBlanks(std::string_view text, size_t* pos) {
  while (*pos < text.size() && IsBlank(text[*pos])) ++*pos;
}

// Reads "digits[.digits]" or ".digits" at *pos and returns value x multiplier,
// truncated toward zero, computed exactly. nullopt without digits or beyond
// a 32-bit value.
std::optional<int64_t> ReadDecimal(std::string_view text, size_t* pos, int64_t multiplier) {
  int64_t whole = 0;
  bool any = false;
  while (*pos < text.size() && IsDigit(text[*pos])) {
    whole = whole * 10 + (text[*pos] - '0');
    if (whole > kInt32Max) return std::nullopt;
    any = true;
    ++*pos;
  }
  int64_t fraction = 0;
  int64_t scale = 1;
  if (*pos < text.size() && text[*pos] == '.') {
    ++*pos;
    while (*pos < text.size() && IsDigit(text[*pos])) {
      // Digits below the multiplier's resolution cannot change the truncated result.
      if (scale < 1000000000000LL) {
        fraction = fraction * 10 + (text[*pos] - '0');
        scale *= 10;
      }
      any = true;
      ++*pos;
    }
  }
  if (!any) return std::nullopt;
  int64_t value = whole * multiplier + fraction * multiplier / scale;
  if (value > kInt32Max) return std::nullopt;
  return value;
}

}  // namespace

std::string FormatDelay(int32_t ms) {
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%.1f sec", ms * 0.001);
  return buffer;
}

std::optional<int32_t> ParseDelay(std::string_view text) {
  size_t pos = 0;
  SkipBlanks(text, &pos);
  auto value = ReadDecimal(text, &pos, 1000);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::string FormatDays(int32_t days) {
  if (days == 0) return "<all>";
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%d days", days);
  return buffer;
}

std::optional<int32_t> ParseDays(std::string_view text) {
  size_t pos = 0;
  SkipBlanks(text, &pos);
  if (text.substr(pos).starts_with("<all>")) return 0;
  int64_t value = 0;
  size_t start = pos;
  while (pos < text.size() && IsDigit(text[pos])) {
    value = value * 10 + (text[pos] - '0');
    if (value > kInt32Max) return std::nullopt;
    ++pos;
  }
  if (pos == start) return std::nullopt;
  return static_cast<int32_t>(value);
}

std::string FormatDiskSpace(int32_t kb) {
  char buffer[64];
  if (kb <= 1000000) {
    std::snprintf(buffer, sizeof buffer, "%.3f MB", kb * 0.001);
  } else {
    std::snprintf(buffer, sizeof buffer, "%.3f GB", kb * 0.000001);
  }
  return buffer;
}

std::optional<int32_t> ParseDiskSpace(std::string_view text) {
  size_t pos = 0;
  SkipBlanks(text, &pos);
  size_t number_start = pos;
  // Find the unit first: the multiplier must be known to truncate exactly.
  size_t scan = pos;
  while (scan < text.size() && (IsDigit(text[scan]) || text[scan] == '.')) ++scan;
  size_t unit_pos = scan;
  SkipBlanks(text, &unit_pos);
  int64_t multiplier = 1;
  if (unit_pos < text.size()) {
    char unit = LowerAscii(text[unit_pos]);
    if (unit == 'g') multiplier = 1000000;
    if (unit == 'm') multiplier = 1000;
  }
  pos = number_start;
  auto value = ReadDecimal(text, &pos, multiplier);
  if (!value) return std::nullopt;
  return static_cast<int32_t>(*value);
}

std::string FormatSkimSource(uint8_t mask, int level) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "qrx,0x%2.2x,%d", mask, level);
  return buffer;
}

namespace {

// An unsigned number in C notation (decimal, 0x hex, leading-0 octal) below
// `limit`, read exactly up to the next ',' or the end.
std::optional<uint32_t> ReadCNumber(std::string_view field, uint32_t limit) {
  if (field.empty()) return std::nullopt;
  int base = 10;
  size_t pos = 0;
  if (field.size() >= 2 && field[0] == '0' && (field[1] == 'x' || field[1] == 'X')) {
    base = 16;
    pos = 2;
    if (field.size() == 2) return std::nullopt;
  } else if (field[0] == '0') {
    base = 8;
  }
  uint64_t value = 0;
  for (; pos < field.size(); ++pos) {
    char c = LowerAscii(field[pos]);
    int digit;
    if (IsDigit(c)) {
      digit = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else {
      return std::nullopt;
    }
    if (digit >= base) return std::nullopt;
    value = value * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
    if (value >= limit) return std::nullopt;
  }
  return static_cast<uint32_t>(value);
}

}  // namespace

std::optional<SkimSelection> ParseSkimSource(std::string_view text) {
  if (text.size() < 3 || !EqualsIgnoreCase(text.substr(0, 3), "qrx")) return std::nullopt;
  std::string_view rest = text.substr(3);
  // Fields after "qrx": ",mask,level[,extra]"
  std::string_view fields[4];
  size_t count = 0;
  while (!rest.empty()) {
    if (rest[0] != ',' || count == 4) return std::nullopt;
    rest.remove_prefix(1);
    size_t comma = rest.find(',');
    fields[count++] = rest.substr(0, comma);
    rest = comma == std::string_view::npos ? std::string_view() : rest.substr(comma);
  }
  if (count < 2 || count > 3) return std::nullopt;
  auto mask = ReadCNumber(fields[0], 256);
  if (!mask) return std::nullopt;
  if (fields[1] != "0" && fields[1] != "1") return std::nullopt;
  if (count == 3 && !ReadCNumber(fields[2], 65536)) return std::nullopt;
  SkimSelection selection;
  selection.mask = static_cast<uint8_t>(*mask);
  selection.level = fields[1][0] - '0';
  return selection;
}

int32_t RecordToDiskFor(std::string_view source_name) {
  return EqualsIgnoreCase(source_name, "<none>") ? 0 : 1;
}

std::string MakeAbsolutePath(std::string_view folder, std::string_view current_dir) {
  if (!folder.empty() && folder[0] == '/') return std::string(folder);
  std::string path(current_dir);
  if (path.empty() || path.back() != '/') path.push_back('/');
  if (folder == ".") return path.size() > 1 ? path.substr(0, path.size() - 1) : path;
  if (folder.starts_with("./")) folder.remove_prefix(2);
  path.append(folder);
  return path;
}

std::string LogPathFor(std::string_view archive_path) {
  std::string path(archive_path);
  if (path.empty() || path.back() != '/') path.push_back('/');
  path.append("Log");
  return path;
}

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (LowerAscii(a[i]) != LowerAscii(b[i])) return false;
  }
  return true;
}

}  // namespace logrum::server
