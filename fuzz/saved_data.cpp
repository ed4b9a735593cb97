// The movie's saved data as the disk holds it: one entry file with any bytes
// at all, loaded at start and then found again, replaced and removed.
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>

#include "TempDir.h"
#include "host/movie/SharedObjectStore.h"

namespace fs = std::filesystem;

namespace {

constexpr const char* kKey = "localhost/course/a.swf/progress";

struct CSavedDir {
  CSavedDir() {
    // The file the store gives the key: the next entry's name.
    store.Put(kKey, "v");
    for (const auto& entry : fs::directory_iterator(dir)) entryPath = entry.path();
  }
  CTempDir scratch;
  const fs::path dir = fs::path(scratch.Path()) / "saved";
  host::CSharedObjectStore store{dir.string()};
  fs::path entryPath;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static CSavedDir saved;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator(saved.dir, ec)) fs::remove(entry.path(), ec);
  WriteWholeFile(saved.entryPath, std::string(reinterpret_cast<const char*>(pData), nSize));

  const auto entries = saved.store.LoadAll();
  // One file holds one entry at most.
  if (entries.size() > 1) __builtin_trap();
  saved.store.Put(kKey, "new value");
  saved.store.Remove(kKey);
  return 0;
}
