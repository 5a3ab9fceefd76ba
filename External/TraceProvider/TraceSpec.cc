#include "External/TraceProvider/TraceSpec.h"

#include <charconv>

namespace logrum::traceprov {
namespace {

bool ParseNumber(std::string_view text, int base, uint32_t max, uint32_t* value) {
  if (text.empty()) return false;
  uint32_t result = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), result, base);
  if (ec != std::errc() || end != text.data() + text.size() || result > max) return false;
  *value = result;
  return true;
}

}  // namespace

bool TraceSpec::IsChannelEnabled(uint32_t channel) const {
  return all || modules.count(static_cast<uint16_t>(channel >> 16)) != 0 ||
         channels.count(channel) != 0;
}

TraceSpec ParseTraceSpec(std::string_view text, std::vector<std::string>* rejected) {
  TraceSpec spec;
  constexpr std::string_view kSeparators = ", \t";
  size_t pos = 0;
  while (pos < text.size()) {
    size_t start = text.find_first_not_of(kSeparators, pos);
    if (start == std::string_view::npos) break;
    size_t end = text.find_first_of(kSeparators, start);
    if (end == std::string_view::npos) end = text.size();
    std::string_view entry = text.substr(start, end - start);
    pos = end;

    if (entry == "all" || entry == "*") {
      spec.all = true;
      continue;
    }
    size_t colon = entry.find(':');
    std::string_view module_text = entry.substr(0, colon);
    std::string_view unit_text =
        colon == std::string_view::npos ? std::string_view("*") : entry.substr(colon + 1);
    uint32_t module = 0, unit = 0;
    if (!ParseNumber(module_text, 16, 0xFFFF, &module)) {
      if (rejected) rejected->push_back(std::string(entry) + ": module must be 1-4 hex digits");
      continue;
    }
    if (unit_text == "*") {
      spec.modules.insert(static_cast<uint16_t>(module));
    } else if (ParseNumber(unit_text, 10, 0xFFFF, &unit)) {
      spec.channels.insert(module << 16 | unit);
    } else {
      if (rejected) rejected->push_back(std::string(entry) + ": unit must be a decimal number or *");
    }
  }
  return spec;
}

}  // namespace logrum::traceprov
