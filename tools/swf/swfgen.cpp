// swfgen: writes the demo course below a directory.
//   swfgen --out DIR [--version TEXT]
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "DemoCourse.h"

namespace {

constexpr char kUsage[] = "usage: swfgen --out DIR [--version TEXT]\n";
constexpr char kDefaultVersion[] = "v1";

}  // namespace

int main(int argc, char** argv) {
  std::string out, version = kDefaultVersion;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if ((arg == "--out" || arg == "--version") && i + 1 < argc) {
      (arg == "--out" ? out : version) = argv[++i];
    } else if (arg == "--help" || arg == "-h") {
      std::cout << kUsage;
      return 0;
    } else {
      std::cerr << "swfgen: unknown argument \"" << arg << "\"\n" << kUsage;
      return 2;
    }
  }
  if (out.empty()) {
    std::cerr << "swfgen: --out is required\n" << kUsage;
    return 2;
  }
  try {
    for (const auto& file : demo::WriteDemoCourse(out, version)) std::cout << out << "/" << file << "\n";
  } catch (const std::exception& e) {
    std::cerr << "swfgen: " << e.what() << "\n";
    return 1;
  }
  return 0;
}
