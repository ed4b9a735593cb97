#include "server/HttpResponse.h"

#include <cinttypes>
#include <cstdio>

namespace {

constexpr const char* kServerName = "Web1.0";
constexpr const char* kFileHeaderFormat =
    "HTTP/1.0 %s\r\nDate: %s\r\nServer: %s\r\nAccept-Ranges: bytes\r\nContent-Length: %" PRIu64
    "\r\nConnection: %s\r\nContent-Type: %s\r\n\r\n";
constexpr const char* kErrorFormat =
    "HTTP/1.0 %s\r\nContent-Length: %d\r\nContent-Type: text/html\r\nDate: %s\r\nServer: %s\r\n\r\n%s";
constexpr const char* kKeepAlive = "Keep-Alive";
constexpr const char* kClose = "close";

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

}  // namespace

std::string FormatHttpDate(std::time_t tNow) {
  std::tm tmUtc{};
  if (!::gmtime_r(&tNow, &tmUtc)) return {};
  return Format("%s, %02d %s %d %02d:%02d:%02d GMT", kDayNames[tmUtc.tm_wday], tmUtc.tm_mday, kMonthNames[tmUtc.tm_mon],
                tmUtc.tm_year + 1900, tmUtc.tm_hour, tmUtc.tm_min, tmUtc.tm_sec);
}

std::string FormatFileHeader(const std::string& strStatus, const std::string& strDate, std::uint64_t nContentLength,
                             bool bKeepAlive, const std::string& strContentType) {
  return Format(kFileHeaderFormat, strStatus.c_str(), strDate.c_str(), kServerName, nContentLength,
                bKeepAlive ? kKeepAlive : kClose, strContentType.c_str());
}

std::string FormatErrorResponse(const std::string& strStatus, const std::string& strDate) {
  return Format(kErrorFormat, strStatus.c_str(), 0, strDate.c_str(), kServerName, "");
}
