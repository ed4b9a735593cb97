// Loads the encoder library the way the program does and prints the file
// it found, so a test can run it from a directory of its choosing.
#include <cstdio>

#include "audio/encoder/LameLibrary.h"

int main() {
  CLameLibrary lib;
  if (!lib.Load()) {
    std::printf("error: %s\n", lib.Error().c_str());
    return 1;
  }
  std::printf("%s\n", lib.Path().c_str());
  return lib.HasRequiredEntryPoints() ? 0 : 2;
}
