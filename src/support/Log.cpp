#include "support/Log.h"

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "platform/Paths.h"

namespace {
constexpr const char* kLogFileName = "RunLog.log";
constexpr const char* kTimeFormat = "%Y/%m/%d  %H:%M:%S";
constexpr const char* kLineWithContext = "%s - %s.\t[%s]\t[%d]";
constexpr const char* kLineWithoutContext = "%s - %s.\t[%d]";
// The file has the bytes a Windows text-mode write gives: CR LF.
constexpr char kLineEnd[] = "\r\n";
constexpr std::size_t kLineEndLength = sizeof(kLineEnd) - 1;

static_assert(sizeof(std::time_t) == 8, "the log keeps 64-bit time");

// Length of psz[0, nLength) without a trailing, incomplete UTF-8 character,
// so a cut line never ends in half a character.
std::size_t CutAtCharacter(const char* psz, std::size_t nLength) {
  std::size_t nStart = nLength;
  while (nStart > 0 && (static_cast<unsigned char>(psz[nStart - 1]) & 0xC0) == 0x80) --nStart;
  if (nStart == 0) return nLength;
  const unsigned char cLead = static_cast<unsigned char>(psz[nStart - 1]);
  const std::size_t nNeeded = cLead >= 0xF0 ? 4 : cLead >= 0xE0 ? 3 : cLead >= 0xC0 ? 2 : 1;
  return nLength - (nStart - 1) < nNeeded ? nStart - 1 : nLength;
}
}  // namespace

CLog::CLog() = default;

CLog::~CLog() = default;

bool CLog::BuildPath() {
  const std::string strDir = platform::GetWindowsDir();
  if (strDir.empty()) return false;
  const int nLength = std::snprintf(m_szPath, sizeof(m_szPath), "%s/%s", strDir.c_str(), kLogFileName);
  return nLength > 0 && static_cast<std::size_t>(nLength) < sizeof(m_szPath);
}

bool CLog::WriteLog(const char* pszMessage, const char* pszContext, int nNumber) {
  std::lock_guard<std::mutex> lock(m_cs);
  m_tNow = std::time(nullptr);
  if (pszMessage == nullptr || *pszMessage == '\0') return false;
  if (!BuildPath()) return false;

  // "ae": append, and keep the descriptor out of child processes.
  m_pFile.reset(std::fopen(m_szPath, "ae"));
  if (!m_pFile && errno == ENOENT) {
    // Unlike the Windows directory, the state directory may not exist yet.
    std::error_code ec;
    std::filesystem::create_directories(std::filesystem::path(m_szPath).parent_path(), ec);
    m_pFile.reset(std::fopen(m_szPath, "ae"));
  }
  if (!m_pFile) return false;

  m_ptm = localtime_r(&m_tNow, &m_tm);
  m_szTime[0] = '\0';
  if (m_ptm) std::strftime(m_szTime, sizeof(m_szTime), kTimeFormat, m_ptm);

  // Room for the line end is kept back, so a cut line still ends a line.
  const std::size_t nRoom = sizeof(m_szLine) - kLineEndLength;
  const int nFormatted =
      (pszContext && *pszContext)
          ? std::snprintf(m_szLine, nRoom, kLineWithContext, m_szTime, pszMessage, pszContext, nNumber)
          : std::snprintf(m_szLine, nRoom, kLineWithoutContext, m_szTime, pszMessage, nNumber);
  if (nFormatted < 0) return false;
  const bool bWhole = static_cast<std::size_t>(nFormatted) < nRoom;
  std::size_t nLength = bWhole ? static_cast<std::size_t>(nFormatted) : CutAtCharacter(m_szLine, nRoom - 1);
  std::memcpy(m_szLine + nLength, kLineEnd, sizeof(kLineEnd));
  nLength += kLineEndLength;

  const std::size_t nWritten = std::fwrite(m_szLine, 1, nLength, m_pFile.get());
  const bool bClosed = std::fclose(m_pFile.release()) == 0;
  return bWhole && nWritten == nLength && bClosed;
}

void CLog::DeleteLogFile() {
  // Called before any server thread exists; the lock only keeps m_szPath
  // consistent should a thread of an earlier run still be logging.
  std::lock_guard<std::mutex> lock(m_cs);
  if (BuildPath()) std::remove(m_szPath);
}
