#include "server/HTTPServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <optional>
#include <string_view>
#include <utility>

#include "platform/ReplaceFile.h"
#include "server/BaseUrl.h"
#include "server/HttpResponse.h"
#include "server/PortChoice.h"
#include "server/SitePath.h"
#include "support/Text.h"

namespace {

constexpr const char* kStatusOk = "200 OK";
constexpr const char* kStatusNotFound = "404 Resource not found";
constexpr const char* kStatusNotImplemented = "501 Not Implemented";
constexpr const char* kDefaultContentType = "text/html";
constexpr std::string_view kMethodGet = "GET";
constexpr std::string_view kMethodPost = "POST";
constexpr std::string_view kKeepAliveHeader = "\nConnection: Keep-Alive";
constexpr std::string_view kRequestEnd = "\r\n\r\n";
constexpr std::string_view kLineEnd = "\r\n";
constexpr std::string_view kBootMovie = "qzboot.swf";
// XML files are cached without the query and fetched on every request.
constexpr std::string_view kXmlExtension = "xml";
constexpr char kSeparator = '/';
constexpr int kLastPort = 65535;

constexpr std::pair<const char*, const char*> kMimeTypes[] = {
    {"swf", "application/x-shockwave-flash"},
    {"mp3", "audio/mpeg"},
    {"gif", "image/gif"},
    {"jpeg", "image/jpeg"},
    {"jpg", "image/jpeg"},
    {"bin", "application/octet-stream"},
    {"dll", "application/octet-stream"},
    {"iso", "application/octet-stream"},
    {"exe", "application/octet-stream"},
    {"gz", "application/x-gzip"},
    {"js", "application/x-javascript"},
    {"zip", "application/zip"},
    {"cab", "application/x-compressed"},
    {"mid", "audio/midi"},
    {"rmi", "audio/midi"},
    {"wav", "audio/wav"},
    {"bmp", "image/bmp"},
    {"htm", "text/html"},
    {"html", "text/html"},
    {"txt", "text/plain"},
    {"css", "text/css"},
    {"mpeg", "video/mpeg"},
    {"mpg", "video/mpeg"},
    {"mpe", "video/mpeg"},
    {"avi", "video/msvideo"},
    {"mov", "video/quicktime"},
};
static_assert(std::size(kMimeTypes) == 26);

using support::PercentDecode;
using support::ToLowerAscii;

// Calls visit with each piece of str between any of the separators; stops
// and returns true as soon as visit does.
template <typename Visit>
bool AnySegment(std::string_view str, std::string_view separators, Visit visit) {
  std::size_t nStart = 0;
  for (;;) {
    const std::size_t nEnd = str.find_first_of(separators, nStart);
    if (visit(str.substr(nStart, nEnd == std::string_view::npos ? std::string_view::npos : nEnd - nStart))) return true;
    if (nEnd == std::string_view::npos) return false;
    nStart = nEnd + 1;
  }
}

bool IsDotSegment(std::string_view segment) { return segment == "." || segment == ".."; }

// A request text that would lead out of the cache directory on disk or out of
// the web site's path when fetched: an absolute path, a backslash or NUL, a
// ".." segment, or a dot segment hidden in %XX escapes that the web site
// would decode.
bool LeavesItsTree(std::string_view strRequestText) {
  if (!strRequestText.empty() && strRequestText.front() == kSeparator) return true;
  if (strRequestText.find_first_of(std::string_view("\\\0", 2)) != std::string_view::npos) return true;
  return AnySegment(strRequestText, "/?", [](std::string_view segment) {
    if (segment == "..") return true;
    const std::string strDecoded = PercentDecode(segment);
    if (strDecoded == segment) return false;
    if (strDecoded.find_first_of(std::string_view("\\\0", 2)) != std::string::npos) return true;
    return AnySegment(strDecoded, "/", IsDotSegment);
  });
}

// The Content-Length of a request whose header ends at nHeaderEnd; none
// when the field is absent or not a plain decimal number.
std::optional<std::size_t> ContentLength(std::string_view strRequest, std::size_t nHeaderEnd) {
  constexpr std::string_view kField = "\r\ncontent-length:";
  const std::string strHeader = ToLowerAscii(std::string(strRequest.substr(0, nHeaderEnd + 2)));
  const std::size_t nField = strHeader.find(kField);
  if (nField == std::string::npos) return std::nullopt;
  std::size_t nPos = nField + kField.size();
  while (nPos < strHeader.size() && (strHeader[nPos] == ' ' || strHeader[nPos] == '\t')) ++nPos;
  std::size_t nLength = 0;
  const std::size_t nDigits = nPos;
  for (; nPos < strHeader.size() && strHeader[nPos] >= '0' && strHeader[nPos] <= '9'; ++nPos) {
    if (nLength > (SIZE_MAX - 9) / 10) return std::nullopt;
    nLength = nLength * 10 + static_cast<std::size_t>(strHeader[nPos] - '0');
  }
  if (nPos == nDigits || strHeader.compare(nPos, 2, "\r\n") != 0) return std::nullopt;
  return nLength;
}

// The reply for a file: the header, and the file itself as the body that
// follows it. False when the file cannot be opened for reading or is not a
// regular file (a directory, absent).
// A file up to this size goes out inside the reply, with its header in one
// send; a larger one follows the header from disk.
constexpr std::uint64_t kInlineBodyLimit = 64 * 1024;

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

bool OpenFileReply(const std::string& strLocalPath, const std::string& strDate, int bKeepAlive,
                   const std::string& strContentType, std::string& strReply, CReplyBody& body) {
  // Read only: a cache on read-only media, or files the user may not write,
  // are served all the same (fetches replace files by a rename, so no reader
  // meets half a file). Non-blocking, so that a pipe does not wait for a
  // writer; no descriptor of the cache leaks into programs the process starts.
  CFileDescriptor file(::open(strLocalPath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  if (!file.IsValid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  const auto nSize = static_cast<std::uint64_t>(st.st_size);
  if (nSize <= kInlineBodyLimit) {
    // A file that changed size meanwhile: the header states what was read.
    std::string strBody;
    const std::uint64_t nRead = AppendFile(file.Get(), nSize, strBody);
    strReply = FormatFileHeader(kStatusOk, strDate, nRead, bKeepAlive != 0, strContentType) + strBody;
    return true;
  }
  strReply = FormatFileHeader(kStatusOk, strDate, nSize, bKeepAlive != 0, strContentType);
  body.file = std::move(file);
  body.nLength = nSize;
  return true;
}

bool IsBlank(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanks(std::string_view value) {
  while (!value.empty() && IsBlank(value.front())) value.remove_prefix(1);
  while (!value.empty() && IsBlank(value.back())) value.remove_suffix(1);
  return value;
}

// This machine by its loopback address or name, with a port (nPort when
// that is given) or without.
bool IsLocalHostName(std::string_view value, std::optional<int> nPort = std::nullopt) {
  value = TrimBlanks(value);
  const std::size_t nColon = value.find(':');
  std::string_view port;
  if (nColon != std::string_view::npos) {
    port = value.substr(nColon + 1);
    if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string_view::npos) return false;
    value = value.substr(0, nColon);
  }
  if (nPort && port != std::to_string(*nPort) && !(port.empty() && *nPort == 80)) return false;
  return value == "127.0.0.1" || ToLowerAscii(std::string(value)) == "localhost";
}

// An http address (an Origin, a Referer) on this server: the same host as
// IsLocalHostName accepts, on nPort.
bool IsThisServer(std::string_view address, int nPort) {
  constexpr std::string_view kScheme = "http://";
  address = TrimBlanks(address);
  if (address.size() < kScheme.size() || ToLowerAscii(std::string(address.substr(0, kScheme.size()))) != kScheme)
    return false;
  address.remove_prefix(kScheme.size());
  return IsLocalHostName(address.substr(0, address.find_first_of("/?#")), nPort);
}

// Calls visit with each header line's name (in lower case) and value, up
// to the empty line; true as soon as visit returns true.
template <typename Visit>
bool AnyHeader(std::string_view strRequest, Visit visit) {
  std::size_t nLine = strRequest.find(kLineEnd);
  while (nLine != std::string_view::npos) {
    nLine += kLineEnd.size();
    const std::size_t nEnd = strRequest.find(kLineEnd, nLine);
    const std::string_view line = strRequest.substr(nLine, nEnd == std::string_view::npos ? nEnd : nEnd - nLine);
    if (line.empty()) return false;
    const std::size_t nColon = line.find(':');
    if (nColon != std::string_view::npos &&
        visit(ToLowerAscii(std::string(line.substr(0, nColon))), line.substr(nColon + 1)))
      return true;
    nLine = nEnd;
  }
  return false;
}

}  // namespace

CHTTPServer::CHTTPServer() : m_mapMimeTypes(DefaultMimeTypes()) {
  // A fetch in flight ends when the server stops, whatever the web site does.
  m_fetchSettings.m_pbStop = &m_bStopping;
}

CHTTPServer::~CHTTPServer() { Stop(); }

bool CHTTPServer::Start(const std::string& strRootDir, const std::string& strDefaultDoc, int nPort,
                        int nClientTimeout) {
  DeleteLogFile();
  m_strRootDir = strRootDir;
  m_strDefaultDoc = strDefaultDoc;
  m_strBaseUrl = GetProductBaseUrl();
  // An empty root would become "/" and serve the whole file system.
  if (m_strRootDir.empty()) {
    WriteLog("Empty cache directory", "Start", 0);
    return false;
  }
  if (m_strRootDir.back() != kSeparator) m_strRootDir += kSeparator;
  EnsureDirectoryPath(m_strRootDir);
  // What fetches of a killed run were still writing.
  platform::RemoveLeftoverTempFiles(m_strRootDir);

  // The first port the TCP table calls free, if it can be had: a socket
  // that is bound but not listening is not in the table, and another copy
  // of the program may be taking the same port at this very moment.
  int nError = EADDRINUSE;
  for (int nTry = ChooseFreePort(nPort); nError == EADDRINUSE; nTry = ChooseFreePort(nTry + 1)) {
    if (nTry > kLastPort) {
      WriteLog("No free port left from ->", "Start", nPort);
      return false;
    }
    Listen(nTry, nError);
  }
  if (nError != 0) return false;
  // Known before the site is read, so that a base naming this very server
  // is refused, and before any request can lead a fetch back here.
  m_ownPort.emplace(m_nPort);
  m_site = CProductSite(m_strBaseUrl);
  if (Run(m_nPort, nClientTimeout)) return true;
  m_ownPort.reset();
  return false;
}

bool CHTTPServer::Stop() {
  const bool bStopped = Shutdown();
  m_ownPort.reset();
  return bStopped;
}

void CHTTPServer::SetReservedHandler(std::string prefix,
                                     std::function<std::string(const std::string& requestText)> handler,
                                     std::size_t nMaxBody,
                                     std::function<bool(const std::string& requestHeader)> admitBody) {
  m_strReservedPrefix = std::move(prefix);
  m_reservedHandler = std::move(handler);
  m_nReservedMaxBody = nMaxBody;
  m_reservedAdmitBody = std::move(admitBody);
}

bool CHTTPServer::IsReservedPost(const std::string& strRequest) const {
  return m_reservedHandler && strRequest.starts_with(kMethodPost) && strRequest.size() > kMethodPost.size() &&
         strRequest[kMethodPost.size()] == ' ' &&
         std::string_view(strRequest).substr(kMethodPost.size() + 1).starts_with(m_strReservedPrefix);
}

int CHTTPServer::OnClientAccepted(const std::string&, std::uint16_t) { return 0; }

int CHTTPServer::OnReplySent(std::uint32_t) { return 0; }

// Only this machine's own pages reach the cache and the reserved handler. A
// request whose Host names any other host (a web page that rebound its own
// name to the loopback address) is refused, and so is one that the browser
// says some other site's page made (an image, a form, a script of any web
// page the pupil opens). A request with none of these headers is a local
// program's.
bool CHTTPServer::IsForeign(std::string_view strRequest) const {
  return AnyHeader(strRequest, [this](const std::string& strName, std::string_view value) {
    if (strName == "host") return !IsLocalHostName(value);
    if (strName == "sec-fetch-site") {
      const std::string strSite = ToLowerAscii(std::string(TrimBlanks(value)));
      return strSite != "same-origin" && strSite != "none";
    }
    if (strName == "origin" || strName == "referer") return !IsThisServer(value, m_nPort);
    return false;
  });
}

bool CHTTPServer::IsRequestComplete(std::string strRequest) {
  if (!IsReservedPost(strRequest)) return strRequest.ends_with(kRequestEnd);
  const std::size_t nHeaderEnd = strRequest.find(kRequestEnd);
  if (nHeaderEnd == std::string::npos) return false;
  // Refused from its header alone, at once: the body is never read.
  const std::string strHeader = strRequest.substr(0, nHeaderEnd + kRequestEnd.size());
  if (IsForeign(strHeader) || (m_reservedAdmitBody && !m_reservedAdmitBody(strHeader))) return true;
  // Without a usable length, or with one past the limit, the header alone
  // goes to the handler, which refuses it.
  const std::optional<std::size_t> nLength = ContentLength(strRequest, nHeaderEnd);
  if (!nLength || *nLength > m_nReservedMaxBody) return true;
  return strRequest.size() - (nHeaderEnd + kRequestEnd.size()) >= *nLength;
}

std::size_t CHTTPServer::GetMaxRequestSize(const std::string& strRequest) const {
  // The header keeps the general limit; a call's body may add its own.
  const std::size_t nMax = CGenericServer::GetMaxRequestSize(strRequest);
  return IsReservedPost(strRequest) && strRequest.find(kRequestEnd) != std::string::npos ? nMax + m_nReservedMaxBody
                                                                                         : nMax;
}

bool CHTTPServer::ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) {
  CReplyBody body;
  if (!ParseRequestWithBody(std::move(strRequest), strReply, body, bKeepAlive)) return false;
  // The whole reply in memory, for a caller that wants it so.
  return body.nLength == 0 || AppendFile(body.file.Get(), body.nLength, strReply) == body.nLength;
}

bool CHTTPServer::ParseRequestWithBody(std::string strRequest, std::string& strReply, CReplyBody& body,
                                       int& bKeepAlive) {
  std::string strStatus = kStatusOk;

  const std::size_t nSpace = strRequest.find(' ');
  if (nSpace == std::string::npos) {
    WriteLog("No 'space' found in Request String #2", "ParseRequest", 0);
    return false;
  }

  if (IsForeign(strRequest)) {
    strReply = FormatErrorResponse(kStatusNotFound, FormatHttpDate(std::time(nullptr)));
    bKeepAlive = 0;
    return true;
  }

  const bool bGet = std::string_view(strRequest).substr(0, nSpace) == kMethodGet;
  std::string strPath;
  if (bGet || IsReservedPost(strRequest)) {
    const std::size_t nPathEnd = strRequest.find(' ', nSpace + 1);
    strPath = strRequest.substr(nSpace + 1, nPathEnd == std::string::npos ? std::string::npos : nPathEnd - nSpace - 1);
    if (m_reservedHandler && strPath.starts_with(m_strReservedPrefix)) {
      strReply = m_reservedHandler(strRequest);
      bKeepAlive = 0;
      return true;
    }
    if (strPath == "/") strPath = m_strDefaultDoc;
  }
  if (!bGet) strStatus = kStatusNotImplemented;

  // Exact case only; absent, the flag stays as an earlier request left it.
  if (strRequest.find(kKeepAliveHeader) != std::string::npos) bKeepAlive = 1;

  std::optional<CRequestMapping> mapping;
  if (bGet) mapping = MapRequestPath(strPath, m_strRootDir, m_mapMimeTypes);
  if (mapping) PrepareLocalFile(*mapping);

  const std::string strDate = FormatHttpDate(std::time(nullptr));
  if (mapping && OpenFileReply(mapping->strLocalPath, strDate, bKeepAlive, mapping->strContentType, strReply, body))
    return true;
  if (bGet) strStatus = kStatusNotFound;
  strReply = FormatErrorResponse(strStatus, strDate);
  bKeepAlive = 0;
  return true;
}

void CHTTPServer::PrepareLocalFile(const CRequestMapping& mapping) const {
  // The directory is made only once a file comes for it.
  CFetchSettings settings = m_fetchSettings;
  settings.m_strDirectory = mapping.strDirectory;
  if (mapping.bRefresh) m_site.Fetch(mapping.strRemotePath, mapping.strLocalPath, settings);
  if (!PathExists(mapping.strLocalPath)) m_site.Fetch(mapping.strRemotePath, mapping.strLocalPath, settings);
}

std::optional<CRequestMapping> MapRequestPath(const std::string& strPath, const std::string& strRootDir,
                                              const std::map<std::string, std::string>& mapMimeTypes) {
  CRequestMapping mapping;
  // The request text: the path without its leading slash (or two); the query stays.
  std::string& strRequestText = mapping.strRemotePath = strPath;
  if (strRequestText.starts_with("//"))
    strRequestText.erase(0, 2);
  else if (strRequestText.starts_with("/"))
    strRequestText.erase(0, 1);
  if (LeavesItsTree(strRequestText)) return std::nullopt;

  // The query follows the last '?', unless that is the first character.
  std::string strQuery;
  std::string strFilePath = strRequestText;
  const std::size_t nQuery = strRequestText.rfind('?');
  if (nQuery != std::string::npos && nQuery > 0) {
    strQuery = strRequestText.substr(nQuery + 1);
    strFilePath = strRequestText.substr(0, nQuery);
  }

  mapping.strContentType = kDefaultContentType;
  std::string strExtension;
  const std::size_t nDot = strFilePath.rfind('.');
  if (nDot != std::string::npos) {
    strExtension = ToLowerAscii(strFilePath.substr(nDot + 1));
    if (const auto it = mapMimeTypes.find(strExtension); it != mapMimeTypes.end()) mapping.strContentType = it->second;
  }
  const bool bXml = strExtension == kXmlExtension;

  std::string strFileName = strFilePath;
  std::string strSubDir;
  const std::size_t nSlash = strFilePath.rfind(kSeparator);
  if (nSlash != std::string::npos && nSlash >= 1) {
    strFileName = strFilePath.substr(nSlash + 1);
    strSubDir = strFilePath.substr(0, nSlash);
  }

  // The query becomes a prefix of the cached file's name, so each version of
  // a file has its own copy; XML files have one copy.
  const std::string strLocalName = bXml ? strFileName : strQuery + strFileName;
  // A query and a name that only together make "..".
  if (AnySegment(strLocalName, "/", [](std::string_view segment) { return segment == ".."; })) return std::nullopt;

  const std::string strTargetDir = strRootDir + strSubDir;
  if (!strSubDir.empty()) mapping.strDirectory = strTargetDir;
  mapping.strLocalPath = strTargetDir + kSeparator + strLocalName;
  mapping.bRefresh = strRequestText.find(kBootMovie) != std::string::npos || bXml;
  return mapping;
}

std::map<std::string, std::string> DefaultMimeTypes() {
  std::map<std::string, std::string> mapMimeTypes;
  for (const auto& [pszExtension, pszContentType] : kMimeTypes) mapMimeTypes.emplace(pszExtension, pszContentType);
  return mapMimeTypes;
}
