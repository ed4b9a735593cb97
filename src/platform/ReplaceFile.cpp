#include "platform/ReplaceFile.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <charconv>
#include <filesystem>
#include <string_view>
#include <system_error>

namespace platform {

namespace {

constexpr std::string_view kTempSuffix = ".part";

bool SyncDirectoryOf(const std::string& strPath) {
  const std::size_t nSlash = strPath.rfind('/');
  return SyncDirectory(nSlash == std::string::npos ? "." : nSlash == 0 ? "/" : strPath.substr(0, nSlash));
}

// The process id in a name "<target>.<pid>-<n>.part"; 0 when it has not that form.
pid_t WriterOf(std::string_view name) {
  if (!name.ends_with(kTempSuffix)) return 0;
  name.remove_suffix(kTempSuffix.size());
  const std::size_t nDash = name.rfind('-');
  const std::size_t nDot = name.rfind('.', nDash);
  if (nDash == std::string_view::npos || nDot == std::string_view::npos || nDash == nDot + 1 ||
      nDash + 1 == name.size())
    return 0;
  unsigned long nCounter = 0;
  const std::string_view counter = name.substr(nDash + 1);
  if (std::from_chars(counter.data(), counter.data() + counter.size(), nCounter).ptr != counter.data() + counter.size())
    return 0;
  pid_t pid = 0;
  const std::string_view digits = name.substr(nDot + 1, nDash - nDot - 1);
  const auto result = std::from_chars(digits.data(), digits.data() + digits.size(), pid);
  return result.ptr == digits.data() + digits.size() && result.ec == std::errc() ? pid : 0;
}

bool IsRunning(pid_t pid) { return pid == ::getpid() || ::kill(pid, 0) == 0 || errno != ESRCH; }

}  // namespace

CReplacingFile::CReplacingFile(std::string strTarget) : m_strTarget(std::move(strTarget)) {}

CReplacingFile::~CReplacingFile() { Discard(); }

bool CReplacingFile::Create() {
  static std::atomic<unsigned long> s_nextId{0};
  Discard();
  m_nWritten = 0;
  // A device or a pipe is written to, never replaced.
  struct stat st {};
  m_bInPlace = ::lstat(m_strTarget.c_str(), &st) == 0 && !S_ISREG(st.st_mode) && !S_ISLNK(st.st_mode);
  if (m_bInPlace) {
    m_fd = ::open(m_strTarget.c_str(), O_WRONLY | O_TRUNC | O_NONBLOCK | O_CLOEXEC);
    return m_fd >= 0;
  }
  m_strPath =
      m_strTarget + "." + std::to_string(::getpid()) + "-" + std::to_string(s_nextId++) + std::string(kTempSuffix);
  m_fd = ::open(m_strPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (m_fd < 0) m_strPath.clear();
  return m_fd >= 0;
}

bool CReplacingFile::Write(const char* pData, std::size_t nSize) {
  while (nSize > 0) {
    const ssize_t n = ::write(m_fd, pData, nSize);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    pData += n;
    nSize -= static_cast<std::size_t>(n);
    m_nWritten += n;
  }
  return true;
}

bool CReplacingFile::Commit(bool bDurable) {
  if (!IsOpen()) return false;
  const bool bSynced = m_bInPlace || !bDurable || ::fsync(m_fd) == 0;
  // close reports a write that failed late (a full disk on a network file system).
  const bool bClosed = ::close(m_fd) == 0;
  m_fd = -1;
  if (m_bInPlace) return bSynced && bClosed;
  if (!bSynced || !bClosed || ::rename(m_strPath.c_str(), m_strTarget.c_str()) != 0) return false;
  m_strPath.clear();
  // The rename itself is on the device only once the directory is.
  return !bDurable || SyncDirectoryOf(m_strTarget);
}

void CReplacingFile::Discard() {
  if (m_fd >= 0) ::close(m_fd);
  m_fd = -1;
  if (!m_strPath.empty()) ::unlink(m_strPath.c_str());
  m_strPath.clear();
}

bool SyncDirectory(const std::string& strDir) {
  const int fd = ::open(strDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool bSynced = ::fsync(fd) == 0;
  ::close(fd);
  return bSynced;
}

bool EnsureDurableDirectory(const std::filesystem::path& dir, std::error_code& ec) {
  namespace fs = std::filesystem;
  if (fs::is_directory(dir, ec)) return true;
  fs::path existing = dir;
  while (!existing.empty() && !fs::exists(existing, ec)) existing = existing.parent_path();
  if (!fs::create_directories(dir, ec) && ec) return false;
  for (fs::path made = dir; made != existing && !made.empty(); made = made.parent_path())
    if (!SyncDirectory(made.parent_path().string())) {
      ec = std::error_code(errno, std::generic_category());
      return false;
    }
  return true;
}

bool ReplaceFileContents(const std::string& strTarget, const std::string& strBytes) {
  CReplacingFile file(strTarget);
  return file.Create() && file.Write(strBytes.data(), strBytes.size()) && file.Commit(true);
}

void RemoveLeftoverTempFiles(const std::string& strDir) {
  namespace fs = std::filesystem;
  std::error_code ec;
  fs::recursive_directory_iterator it(strDir, fs::directory_options::skip_permission_denied, ec);
  for (; !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
    const pid_t pid = WriterOf(it->path().filename().native());
    std::error_code ecType;
    if (pid > 0 && !IsRunning(pid) && it->is_regular_file(ecType)) ::unlink(it->path().c_str());
  }
}

}  // namespace platform
