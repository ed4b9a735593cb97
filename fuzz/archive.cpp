// Course copies in a ZIP archive: any bytes at all as the archive on disk,
// read as the server fetches from it, member by member under the paths a
// movie asks for.
#include <zip.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "TempDir.h"
#include "site/ProductSite.h"
#include "support/Text.h"

namespace fs = std::filesystem;

namespace {

// Paths the course asks for.
const char* const kPaths[] = {"tovan.xml", "qzboot.swf", "course/unit1/a.mp3?ver2", "course/%E4%B8%AD%E6%96%87.swf"};
// Members fetched beyond those, by their names in the archive.
constexpr zip_int64_t kMaxMembers = 32;

struct CCopy {
  CTempDir dir;
  const std::string archive = dir.Path() + "/course.zip";
  const std::string local = dir.Path() + "/cached";
};

// The names the archive's directory lists, escaped as a movie's web engine
// asks for them.
std::vector<std::string> MemberPaths(const std::uint8_t* pData, std::size_t nSize) {
  std::vector<std::string> paths;
  zip_error_t error;
  zip_error_init(&error);
  zip_source_t* pSource = zip_source_buffer_create(pData, nSize, 0, &error);
  zip_t* pZip = pSource ? zip_open_from_source(pSource, ZIP_RDONLY, &error) : nullptr;
  if (pZip == nullptr) {
    zip_source_free(pSource);
  } else {
    const zip_int64_t nEntries = zip_get_num_entries(pZip, 0);
    for (zip_int64_t i = 0; i < nEntries && i < kMaxMembers; ++i)
      if (const char* pszName = zip_get_name(pZip, static_cast<zip_uint64_t>(i), 0))
        paths.push_back(support::PercentEncode(pszName, "/-_.~"));
    zip_discard(pZip);
  }
  zip_error_fini(&error);
  return paths;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static const CCopy copy;
  WriteWholeFile(copy.archive, std::string(reinterpret_cast<const char*>(pData), nSize));
  const CProductSite site(copy.archive);
  site.Problems();
  for (const char* pszPath : kPaths) site.Fetch(pszPath, copy.local);
  for (const std::string& strPath : MemberPaths(pData, nSize)) site.Fetch(strPath, copy.local);
  std::error_code ec;
  fs::remove(copy.local, ec);
  return 0;
}
