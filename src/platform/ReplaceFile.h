#pragma once
// Files that are replaced whole or not at all: the new bytes go to a file of
// their own beside the target ("<target>.<pid>-<n>.part") and take the
// target's place by a rename only once they are all written. A reader never
// meets half a file, and a write that fails (a full disk, an interrupted
// transfer) leaves the previous file as it was.
#include <cstddef>
#include <filesystem>
#include <string>
#include <system_error>

namespace platform {

class CReplacingFile {
 public:
  explicit CReplacingFile(std::string strTarget);
  CReplacingFile(const CReplacingFile&) = delete;
  CReplacingFile& operator=(const CReplacingFile&) = delete;
  // What was not committed is removed.
  ~CReplacingFile();

  // Creates the temporary file; false when it cannot be created.
  bool Create();
  bool IsOpen() const { return m_fd >= 0; }
  // False when not all bytes could be written.
  bool Write(const char* pData, std::size_t nSize);
  long long BytesWritten() const { return m_nWritten; }
  // Closes the file and renames it over the target. With bDurable the bytes
  // and the rename reach the device first, so that after a crash the target
  // is the old file or the new one.
  bool Commit(bool bDurable);

 private:
  void Discard();

  std::string m_strTarget;
  std::string m_strPath;
  int m_fd = -1;
  long long m_nWritten = 0;
  // The target is no regular file (a device): written directly.
  bool m_bInPlace = false;
};

// Brings the names in a directory (files created, renamed or removed in it)
// to the device.
bool SyncDirectory(const std::string& strDir);

// Creates dir and the directories above it that are missing, and brings
// each new name to the device, so a durable file is not lost with its
// directory. False with ec set when that failed.
bool EnsureDurableDirectory(const std::filesystem::path& dir, std::error_code& ec);

// Writes strBytes to strTarget through a CReplacingFile, durably.
bool ReplaceFileContents(const std::string& strTarget, const std::string& strBytes);

// Removes below strDir the temporary files that processes no longer running
// left behind (killed while writing); those of running processes stay.
void RemoveLeftoverTempFiles(const std::string& strDir);

}  // namespace platform
