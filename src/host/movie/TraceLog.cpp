#include "host/movie/TraceLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Paths.h"

namespace host {

CTraceLog::CTraceLog(std::string strPath) : m_strPath(std::move(strPath)) {
  m_file.Reset(::open(m_strPath.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
  if (!m_file.IsValid()) ReportFailure(std::strerror(errno));
}

bool CTraceLog::Append(const std::string& lines) {
  std::lock_guard guard(m_lock);
  if (!m_file.IsValid()) return false;
  for (std::size_t done = 0; done < lines.size();) {
    const ssize_t n = ::write(m_file.Get(), lines.data() + done, lines.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      ReportFailure(n < 0 ? std::strerror(errno) : "nothing written");
      return false;
    }
    done += static_cast<std::size_t>(n);
  }
  return true;
}

void CTraceLog::ReportFailure(const std::string& what) {
  if (m_bFailureReported) return;
  m_bFailureReported = true;
  std::fprintf(stderr, "%s: the movie's trace log cannot be written to %s: %s\n", platform::GetExeBaseName().c_str(),
               m_strPath.c_str(), what.c_str());
}

}  // namespace host
