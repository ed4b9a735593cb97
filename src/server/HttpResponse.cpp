#include "server/HttpResponse.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <utility>

namespace {

constexpr const char* kServerName = "Web1.0";
constexpr const char* kFileHeaderFormat =
    "HTTP/1.0 %s\r\nDate: %s\r\nServer: %s\r\nAccept-Ranges: bytes\r\nContent-Length: %" PRIu64
    "\r\nConnection: %s\r\nContent-Type: %s\r\n%s\r\n";
constexpr const char* kErrorFormat =
    "HTTP/1.0 %s\r\nContent-Length: %d\r\nContent-Type: text/html\r\nDate: %s\r\nServer: %s\r\n\r\n%s";
constexpr const char* kKeepAlive = "Keep-Alive";
constexpr const char* kClose = "close";
constexpr const char* kStatusOk = "200 OK";
// A file up to this size goes out inside the reply, with its head in one
// send; a larger one follows the head from disk.
constexpr std::uint64_t kInlineFileLimit = 64 * 1024;

// strftime's %a and %b depend on LC_TIME; the names of the HTTP date are fixed.
constexpr const char* kDayNames[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonthNames[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                       "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// snprintf into a string sized by a first, measuring call.
template <typename... Args>
std::string Format(const char* pszFormat, Args... args) {
  const int nLength = std::snprintf(nullptr, 0, pszFormat, args...);
  if (nLength <= 0) return {};
  std::string strResult(static_cast<std::size_t>(nLength), '\0');
  std::snprintf(strResult.data(), strResult.size() + 1, pszFormat, args...);
  return strResult;
}

std::string Now() { return FormatHttpDate(std::time(nullptr)); }

// Appends up to nLength bytes of the file from its start; the count appended.
std::uint64_t AppendFile(int fd, std::uint64_t nLength, std::string& strOut) {
  const std::size_t nStart = strOut.size();
  strOut.resize(nStart + nLength);
  std::uint64_t nRead = 0;
  while (nRead < nLength) {
    const ssize_t n = ::pread(fd, strOut.data() + nStart + nRead, nLength - nRead, static_cast<off_t>(nRead));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    nRead += static_cast<std::uint64_t>(n);
  }
  strOut.resize(nStart + nRead);
  return nRead;
}

}  // namespace

std::string FormatHttpDate(std::time_t tNow) {
  std::tm tmUtc{};
  if (!::gmtime_r(&tNow, &tmUtc)) return {};
  return Format("%s, %02d %s %d %02d:%02d:%02d GMT", kDayNames[tmUtc.tm_wday], tmUtc.tm_mday, kMonthNames[tmUtc.tm_mon],
                tmUtc.tm_year + 1900, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
}

std::string FormatFileHeader(const std::string& strStatus, const std::string& strDate, std::uint64_t nContentLength,
                             bool bKeepAlive, const std::string& strContentType, std::string_view strCacheControl) {
  const std::string strCacheLine =
      strCacheControl.empty() ? std::string() : "Cache-Control: " + std::string(strCacheControl) + "\r\n";
  return Format(kFileHeaderFormat, strStatus.c_str(), strDate.c_str(), kServerName, nContentLength,
                bKeepAlive ? kKeepAlive : kClose, strContentType.c_str(), strCacheLine.c_str());
}

std::string FormatErrorResponse(const std::string& strStatus, const std::string& strDate) {
  return Format(kErrorFormat, strStatus.c_str(), 0, strDate.c_str(), kServerName, "");
}

bool MakeFileReply(const std::string& strPath, bool bKeepAlive, const std::string& strContentType, CReply& reply,
                   std::string_view strCacheControl) {
  // Read only: a cache on read-only media, or files the user may not write,
  // are served all the same (fetches replace files by a rename, so no reader
  // meets half a file). Non-blocking, so that a pipe does not wait for a
  // writer; no descriptor leaks into programs the process starts.
  CFileDescriptor file(::open(strPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file.IsValid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto nSize = static_cast<std::uint64_t>(st.st_size);
  CReply made;
  if (nSize <= kInlineFileLimit) {
    // A file that changed size meanwhile: the head states what was read.
    std::string strBody;
    const std::uint64_t nRead = AppendFile(file.Get(), nSize, strBody);
    made.strBytes = FormatFileHeader(kStatusOk, Now(), nRead, bKeepAlive, strContentType, strCacheControl) + strBody;
  } else {
    made.strBytes = FormatFileHeader(kStatusOk, Now(), nSize, bKeepAlive, strContentType, strCacheControl);
    made.file = std::move(file);
    made.nFileLength = nSize;
  }
  reply = std::move(made);
  return true;
}

CReply MakeTextReply(const std::string& strStatus, const std::string& strContentType, const std::string& strBody,
                     std::string_view strCacheControl) {
  CReply reply;
  reply.strBytes = FormatFileHeader(strStatus, Now(), strBody.size(), false, strContentType, strCacheControl) + strBody;
  return reply;
}

CReply MakeEmptyReply(const std::string& strStatus) {
  CReply reply;
  reply.strBytes = FormatErrorResponse(strStatus, Now());
  return reply;
}

bool ReadWholeReply(CReply reply, std::string& strReply) {
  const bool bWhole =
      reply.nFileLength == 0 || AppendFile(reply.file.Get(), reply.nFileLength, reply.strBytes) == reply.nFileLength;
  strReply = std::move(reply.strBytes);
  return bWhole;
}
