#include <iostream>

#include "Lib/Platform/DebugOutput.h"
#include "Tools/logrum-segment/SegmentTool.h"

int main(int argc, char** argv) {
  logrum::platform::SendWarningsToStandardError("logrum-segment");
  std::vector<std::string> args(argv + 1, argv + argc);
  try {
    return logrum::tools::SegmentToolMain(args, std::cout, std::cerr);
  } catch (const std::exception& e) {
    std::cerr << "logrum-segment: " << e.what() << "\n";
    return 2;
  }
}
