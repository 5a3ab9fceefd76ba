#include "External/TraceProvider/TraceSpec.h"


namespace logrum::traceprov {
namespace {

bool ParseNumber(std::string_view text, int base, uint32_t max, uint32_t* value) {
  // By hand rather than std::from_chars, whose digit table would be a GNU unique
  // symbol and keep traceprov.so from ever being unloaded.
  if (text.empty() || text.size() > 8) return false;
  uint64_t result = 0;
  for (char c : text) {
    int digit = c >= '0' && c <= '9'   ? c - '0'
                : c >= 'a' && c <= 'f' ? c - 'a' + 10
                : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                       : 99;
    if (digit >= base) return false;
    result = result * static_cast<uint64_t>(base) + static_cast<uint64_t>(digit);
  }
  if (result > max) return false;
  *value = static_cast<uint32_t>(result);
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
