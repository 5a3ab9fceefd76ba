// logrum-segment: inspect segment files and archive folders.
//
//   logrum-segment info [--json] FILE...   each file's trailer
//   logrum-segment check FOLDER [EXT]      every segment file whose name, place or
//                                          trailer is wrong (EXT defaults to mp3)
//
// The output is read by people and scripts alike; keep its lines stable.
// Exit status: 0 all well, 1 a file could not be read or a problem was found,
// 2 bad usage or a folder that cannot be walked.
#pragma once

#include <ostream>
#include <string>
#include <vector>

namespace logrum::tools {

int SegmentToolMain(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace logrum::tools
