#pragma once
// The movie's local shared objects, kept by the program: one file per entry
// in a directory of their own, beside the cache and never inside it, so that
// clearing the cache keeps them. The player's own storage lives in the page
// and is tied to the page's origin, whose port changes from start to start;
// this one is not.
//
// An entry is the player's key (host, movie path and object name) and its
// value (the player's text). Its file is named after a hash of the key, so a
// key never becomes a path; the key itself is inside the file:
//
//   quillby-saved 1 <key bytes> <value bytes> <crc32 of key and value, 8 hex>\n
//   <key><value>
//
// Each change replaces the entry's file whole (written beside it, synced,
// renamed over it, directory synced): after a crash an entry is its old
// value or its new one. Qt-free; any thread.
#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace host {

class CSharedObjectStore {
 public:
  // The largest key and value taken; the page sends no larger ones.
  static constexpr std::size_t kMaxKeySize = 4096;
  static constexpr std::size_t kMaxValueSize = 1 << 20;

  explicit CSharedObjectStore(std::string strDir);
  CSharedObjectStore(const CSharedObjectStore&) = delete;
  CSharedObjectStore& operator=(const CSharedObjectStore&) = delete;

  const std::string& GetDir() const { return m_strDir; }

  // Every entry that reads back whole. Each one that does not (truncated,
  // altered, not ours) is skipped with one line on stderr.
  std::map<std::string, std::string> LoadAll();

  // True once the entry is on the device. The first failure of the run is
  // reported on stderr; later ones only return false.
  bool Put(const std::string& key, const std::string& value);
  // True once no entry holds the key any more.
  bool Remove(const std::string& key);

 private:
  // The file that holds key, or the free one it is to go to.
  std::string FileFor(const std::string& key) const;
  void ReportWriteFailure(const std::string& what);

  const std::string m_strDir;
  // Held through each read and write of the directory's files; guards
  // m_bFailureReported.
  std::mutex m_lock;
  bool m_bFailureReported = false;
};

}  // namespace host
