// fetch_once URL PATH: one DownloadFile, as the benchmark measures it.
#include "site/Fetch.h"
#include "support/Libraries.h"

int main(int argc, char** argv) {
  support::InitLibraries();
  if (argc != 3) return 2;
  DownloadFile(argv[1], argv[2]);
  return 0;
}
