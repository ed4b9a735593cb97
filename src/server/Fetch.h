#pragma once
// Bringing files of the product web site to the disk, and the directory
// helpers its callers use around it. Free of shared state: any number of
// threads may call these at once.
#include <atomic>
#include <string>

// Settings of one fetch session. The defaults are the program's; tests pass
// shorter waits.
struct CFetchSettings {
  long m_nConnectTimeoutMs = 30000;
  long m_nConnectBackoffMs = 1000;
  int m_nConnectRetries = 1;
  // A transfer that delivers nothing for this long is abandoned.
  long m_nReceiveTimeoutMs = 30000;
  // Once this flag is true the fetch ends at its next progress call (about
  // once a second at the least) or before a retry, leaving the target as it
  // was; the owner keeps it alive while fetches may read it.
  const std::atomic<bool>* m_pbStop = nullptr;

  bool IsStopped() const { return m_pbStop != nullptr && m_pbStop->load(std::memory_order_relaxed); }
};

// Fetches strUrl (an absolute http or https URL, used as given) with a GET
// and stores the body in strLocalPath when the status is 200 and the whole
// body arrived; otherwise the local file is left as it was. Reports nothing,
// creates no directories, never throws.
void DownloadFile(const std::string& strUrl, const std::string& strLocalPath) noexcept;
void DownloadFile(const std::string& strUrl, const std::string& strLocalPath, const CFetchSettings& settings) noexcept;
// The same fetch, telling whether the local file was written: a caller with
// another place to try goes on when it was not.
bool FetchIntoFile(const std::string& strUrl, const std::string& strLocalPath, const CFetchSettings& settings) noexcept;

// Creates every missing directory of strPath, from left to right; a trailing
// '/' is optional. Failures to create are ignored (a later file creation
// there fails). Returns true; an empty path throws std::invalid_argument.
bool EnsureDirectoryPath(const std::string& strPath);

// True when a file or a directory of that name exists.
bool PathExists(const std::string& strPath);
