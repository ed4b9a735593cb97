// fetch_once URL PATH: one DownloadFile, as the benchmark measures it.
#include "server/Fetch.h"

int main(int argc, char** argv) {
  if (argc != 3) return 2;
  DownloadFile(argv[1], argv[2]);
  return 0;
}
