// The text forms in which configuration values are shown and typed, and the
// conversions between them and the stored values.
//
// Parsing is exact decimal arithmetic, not floating point, so that "4.35" sec
// stores 4350 ms and "1.1 M" stores 1100 KB. A text that holds no number, or a
// number beyond a 32-bit value, is refused (nullopt) instead of storing 0.
//
// Thread safety: plain functions without state.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace logrum::server {

// PreDelay, PostDelay: "%.1f sec" of the milliseconds; typed seconds are
// stored as milliseconds, truncated toward zero.
std::string FormatDelay(int32_t ms);
std::optional<int32_t> ParseDelay(std::string_view text);

// MaxDays: "%d days", or "<all>" for 0; typed text stores the value of its
// leading digits, "<all>" stores 0.
std::string FormatDays(int32_t days);
std::optional<int32_t> ParseDays(std::string_view text);

// DiskSpaceToUseKB (kilobytes of 1000 bytes): "%.3f MB" up to 1000000 KB,
// "%.3f GB" above. Typed: a decimal number, blanks, then G (x 1000000),
// M (x 1000) or anything else (kilobytes), in either case.
std::string FormatDiskSpace(int32_t kb);
std::optional<int32_t> ParseDiskSpace(std::string_view text);

// SkimSource: "qrx,0x%2.2x,%d" - switch mask (bit 0 = switch 1) and level digit
// (1: active while a selected switch is closed, 0: while it is open).
struct SkimSelection {
  uint8_t mask = 0;
  int level = 1;
};
std::string FormatSkimSource(uint8_t mask, int level);
// Accepts "qrx" in any case, ',', a number below 256 (decimal, 0x hex or
// leading-0 octal), ',', the digit 0 or 1, and optionally ',' and a number
// below 65536 that is ignored. Anything else is no valid selection.
std::optional<SkimSelection> ParseSkimSource(std::string_view text);

// RecordToDisk as written on save: 0 when the source is "<none>" (any case).
int32_t RecordToDiskFor(std::string_view source_name);

// ArchivePath as typed, made absolute against `current_dir`.
std::string MakeAbsolutePath(std::string_view folder, std::string_view current_dir);
// LogPath of an archive folder: the folder, a separator if missing, "Log".
std::string LogPathFor(std::string_view archive_path);

// Comparison of names without regard to the case of A-Z (only those letters).
bool EqualsIgnoreCase(std::string_view a, std::string_view b);

}  // namespace logrum::server
