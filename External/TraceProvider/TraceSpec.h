// Which trace channels are on, as set by LOGRUM2_TRACE.
//
// The value is a list of entries separated by commas or blanks:
//   all  or  *          every channel
//   MMMM  or  MMMM:*    every unit of module MMMM (hexadecimal, e.g. 0A51)
//   MMMM:U              unit U (decimal, as numbered in the code) of module MMMM
// Example: LOGRUM2_TRACE=0A51:*,0F70:33
//
// Thread safety: a parsed TraceSpec is immutable and may be read from any thread.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace logrum::traceprov {

struct TraceSpec {
  bool all = false;
  std::set<uint16_t> modules;  // every unit of these modules
  std::set<uint32_t> channels;  // module << 16 | unit

  bool empty() const { return !all && modules.empty() && channels.empty(); }
  bool IsChannelEnabled(uint32_t channel) const;
};

// Parses `text`; entries that cannot be read are left out and described in *rejected.
TraceSpec ParseTraceSpec(std::string_view text, std::vector<std::string>* rejected);

}  // namespace logrum::traceprov
