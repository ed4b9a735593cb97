// The test programs' main: the C libraries are set up once, as the
// program's own main does, before any test starts a thread.
#include <gmock/gmock.h>

#include "support/Libraries.h"

int main(int argc, char** argv) {
  support::InitLibraries();
  ::testing::InitGoogleMock(&argc, argv);
  return RUN_ALL_TESTS();
}
