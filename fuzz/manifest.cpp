// The manifest (from the network) and the version file (from the disk), as
// the start-up reconciles the cache with them. The input is the version file
// as a string of FuzzedDataProvider (ended by a backslash and any other
// byte; none when empty), then the manifest.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "TempDir.h"
#include "host/CacheUpkeep.h"

namespace fs = std::filesystem;

namespace {

struct CAppData {
  CTempDir dir;
  const fs::path cache = fs::path(dir.Path()) / "quillby/sz";
  // Beside the cache: no manifest may reach it.
  const fs::path neighbour = fs::path(dir.Path()) / "quillby/saved/entry.saved";
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static const CAppData appData;
  FuzzedDataProvider input(pData, nSize);
  const std::string versions = input.ConsumeRandomLengthString();
  const std::string manifest = input.ConsumeRemainingBytesAsString();

  std::error_code ec;
  fs::remove_all(appData.cache, ec);
  WriteWholeFile(appData.neighbour, "kept");
  WriteWholeFile(appData.cache / "course/unit1/a.swf", "FWS");
  WriteWholeFile(appData.cache / "tovan.xml", manifest);
  if (!versions.empty()) WriteWholeFile(appData.cache / "VerDel.Dat", versions);

  host::ApplyManifest(appData.cache.string());
  if (!fs::exists(appData.neighbour)) {
    std::fprintf(stderr, "the manifest deleted a file outside the cache\n");
    std::abort();
  }
  return 0;
}
