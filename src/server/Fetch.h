#pragma once
// Bringing files of the product web site to the disk, and the directory
// helpers its callers use around it. Free of shared state: any number of
// threads may call these at once.
#include <atomic>
#include <string>

#include "platform/ReplaceFile.h"

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
  // Made, with every missing directory above it, once the file is about to
  // be written: a fetch that brings nothing leaves no directory behind.
  // Empty: the local file's directory exists already.
  std::string m_strDirectory;

  bool IsStopped() const { return m_pbStop != nullptr && m_pbStop->load(std::memory_order_relaxed); }
};

// Starts the local file of a fetch (file.Create()), making the settings'
// directory first; false when the file cannot be created.
bool CreateLocalFile(platform::CReplacingFile& file, const CFetchSettings& settings);

// Fetches strUrl (an absolute http or https URL, used as given) with a GET
// and stores the body in strLocalPath when the status is 200 and the whole
// body arrived; otherwise the local file is left as it was. Reports nothing,
// creates no directories but the settings' own, never throws. Redirects are
// followed as support/ConnectGuard.h allows.
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
