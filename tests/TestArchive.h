#pragma once
// ZIP archives for tests, written with libzip: files, directories, links,
// names no extractor should write, and members stored uncompressed so a test
// can damage their bytes.
#include <sys/stat.h>
#include <zip.h>

#include <string>
#include <vector>

struct CArchiveEntry {
  std::string strName;
  std::string strBytes;  // a link's target for S_IFLNK
  mode_t nMode = S_IFREG | 0644;
  bool bStored = false;
  // The name's bytes as they are, with the UTF-8 flag only if they are UTF-8
  // (a name in another code page goes without it, as old archivers wrote).
  bool bGuessEncoding = false;
};

// False when libzip could not write the archive.
inline bool WriteArchive(const std::string& strPath, const std::vector<CArchiveEntry>& entries) {
  int nError = 0;
  zip_t* pZip = zip_open(strPath.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &nError);
  if (pZip == nullptr) return false;
  for (const CArchiveEntry& entry : entries) {
    zip_int64_t nIndex;
    if (S_ISDIR(entry.nMode)) {
      nIndex = zip_dir_add(pZip, entry.strName.c_str(), ZIP_FL_ENC_UTF_8);
    } else {
      zip_source_t* pSource = zip_source_buffer(pZip, entry.strBytes.data(), entry.strBytes.size(), 0);
      const zip_flags_t nEncoding = entry.bGuessEncoding ? ZIP_FL_ENC_GUESS : ZIP_FL_ENC_UTF_8;
      nIndex = pSource ? zip_file_add(pZip, entry.strName.c_str(), pSource, nEncoding) : -1;
      if (nIndex < 0 && pSource) zip_source_free(pSource);
    }
    const auto nEntry = static_cast<zip_uint64_t>(nIndex);
    if (nIndex < 0 || zip_file_set_external_attributes(pZip, nEntry, 0, ZIP_OPSYS_UNIX, entry.nMode << 16) != 0 ||
        (entry.bStored && zip_set_file_compression(pZip, nEntry, ZIP_CM_STORE, 0) != 0)) {
      zip_discard(pZip);
      return false;
    }
  }
  return zip_close(pZip) == 0;
}
