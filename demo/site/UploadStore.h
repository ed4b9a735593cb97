#pragma once
// The recordings the demo site received, one directory per upload, so that
// a restarted site still lists them.
#include <cstdint>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace demosite {

struct CUploadRecord {
  int nId = 0;
  std::string strEndpoint;  // the request path, "/Upfile.ashx" or "/Upfile_en.ashx"
  bool bEnglish = false;
  std::string strUid;
  std::string strTid;
  std::string strFileName;  // as the request named it; empty when it carried no file
  uint64_t nFileBytes = 0;
  std::string strReceived;  // UTC, e.g. 2024-05-01T08:05:09Z
};

class CUploadStore {
 public:
  // Creates the directory when missing and reads the uploads stored there.
  explicit CUploadStore(std::filesystem::path dir);

  // Stores one upload completely or not at all; throws std::runtime_error
  // when the disk refuses it.
  CUploadRecord Add(const std::string& endpoint, bool english, const std::string& uid, const std::string& tid,
                    const std::string& fileName, const std::string& content);
  std::vector<CUploadRecord> List() const;
  // The stored recording of an upload, if it had one.
  std::optional<std::filesystem::path> FilePath(int id) const;

 private:
  std::filesystem::path RecordDir(int id) const;
  void Load();

  const std::filesystem::path m_dir;
  mutable std::mutex m_lock;
  std::vector<CUploadRecord> m_records;
};

// The base name of a client-given file name, safe to create below a
// directory ("upload.bin" when nothing usable is left).
std::string SafeFileName(const std::string& name);

}  // namespace demosite
