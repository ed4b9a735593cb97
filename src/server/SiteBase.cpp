#include "server/SiteBase.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/ReplaceFile.h"
#include "server/SitePath.h"
#include "server/Socket.h"

namespace {

// Copies pass through a buffer of this size: memory does not grow with the file.
constexpr std::size_t kCopyBufferSize = 64 * 1024;

// The regular file at strMember below the open directory, every step taken
// without following a link; invalid when there is none.
CFileDescriptor OpenBeneath(CFileDescriptor dir, const std::string& strMember) {
  std::size_t nStart = 0;
  for (std::size_t nSlash; dir.IsValid() && (nSlash = strMember.find('/', nStart)) != std::string::npos;
       nStart = nSlash + 1) {
    const std::string strStep = strMember.substr(nStart, nSlash - nStart);
    dir = CFileDescriptor(::openat(dir.Get(), strStep.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  }
  if (!dir.IsValid()) return {};
  // Non-blocking, so that a pipe in the folder does not wait for a writer.
  CFileDescriptor file(::openat(dir.Get(), strMember.c_str() + nStart, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file.IsValid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return {};
  return file;
}

}  // namespace

bool StoreFromReader(const std::string& strLocalPath, const std::function<ssize_t(char*, std::size_t)>& read,
                     const CFetchSettings& settings) {
  if (strLocalPath.empty()) return false;
  platform::CReplacingFile file(strLocalPath);
  if (!CreateLocalFile(file, settings)) return false;
  const auto buffer = std::make_unique_for_overwrite<char[]>(kCopyBufferSize);
  for (;;) {
    if (settings.IsStopped()) return false;
    const ssize_t nRead = read(buffer.get(), kCopyBufferSize);
    if (nRead < 0) return false;
    if (nRead == 0) break;
    if (!file.Write(buffer.get(), static_cast<std::size_t>(nRead))) return false;
  }
  // Not synced, as fetched files are not: a cache file lost in a crash comes again.
  return file.Commit(false);
}

CWebBase::CWebBase(std::string strUrl) : CSiteBase(strUrl), m_strUrl(std::move(strUrl)) {
  if (m_strUrl.empty() || m_strUrl.back() != '/') m_strUrl += '/';
}

bool CWebBase::Fetch(const std::string& strPath, const std::string& strLocalPath,
                     const CFetchSettings& settings) const {
  return FetchIntoFile(m_strUrl + strPath, strLocalPath, settings);
}

std::string CWebBase::Problem() const {
  // Without a scheme the fetch takes it for http, as it always did.
  if (m_strUrl.find("://") == std::string::npos || StartsWithNoCase(m_strUrl, "http://") ||
      StartsWithNoCase(m_strUrl, "https://"))
    return {};
  return "only http and https sites, folders and .zip archives can be read";
}

CFolderBase::CFolderBase(std::string strText, std::string strDir)
    : CSiteBase(std::move(strText)), m_strDir(std::move(strDir)) {}

bool CFolderBase::Fetch(const std::string& strPath, const std::string& strLocalPath,
                        const CFetchSettings& settings) const {
  std::string strMember;
  if (!SiteMemberName(strPath, strMember)) return false;
  // The folder itself may be reached through links (a mount point's); what is below it may not.
  const CFileDescriptor file =
      OpenBeneath(CFileDescriptor(::open(m_strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), strMember);
  if (!file.IsValid()) return false;
  return StoreFromReader(
      strLocalPath,
      [&](char* pData, std::size_t nSize) {
        ssize_t n;
        while ((n = ::read(file.Get(), pData, nSize)) < 0 && errno == EINTR) {
        }
        return n;
      },
      settings);
}

std::string CFolderBase::Problem() const {
  struct stat st {};
  if (::stat(m_strDir.c_str(), &st) != 0) return std::strerror(errno);
  if (!S_ISDIR(st.st_mode)) return "not a folder";
  if (::access(m_strDir.c_str(), R_OK | X_OK) != 0) return std::strerror(errno);
  return {};
}

CUnusableBase::CUnusableBase(std::string strText, std::string strProblem)
    : CSiteBase(std::move(strText)), m_strProblem(std::move(strProblem)) {}
