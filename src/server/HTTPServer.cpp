#include "server/HTTPServer.h"

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
#include "server/HttpResponse.h"
#include "server/PortChoice.h"
#include "site/BaseUrl.h"
#include "site/SitePath.h"
#include "support/Text.h"

namespace {

constexpr const char* kStatusNotFound = "404 Resource not found";
constexpr const char* kStatusNotImplemented = "501 Not Implemented";
constexpr const char* kDefaultContentType = "text/html";
constexpr std::string_view kMethodGet = "GET";
constexpr std::string_view kMethodPost = "POST";
constexpr std::string_view kKeepAliveHeader = "\nConnection: Keep-Alive";
constexpr std::string_view kRequestEnd = "\r\n\r\n";
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

void CHTTPServer::SetReservedHandler(std::string prefix, ReservedHandler handler, std::size_t nMaxBody,
                                     AdmitBody admitBody) {
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
bool CHTTPServer::IsForeign(const CHttpRequest& request) const {
  for (const CHttpHeader& header : request.headers) {
    if (header.strName == "host" && !IsLocalHostName(header.strValue)) return true;
    if (header.strName == "sec-fetch-site") {
      const std::string strSite = ToLowerAscii(header.strValue);
      if (strSite != "same-origin" && strSite != "none") return true;
    }
    if ((header.strName == "origin" || header.strName == "referer") && !IsThisServer(header.strValue, m_nPort))
      return true;
  }
  return false;
}

bool CHTTPServer::IsRequestComplete(std::string strRequest) {
  if (!IsReservedPost(strRequest)) return strRequest.ends_with(kRequestEnd);
  const std::size_t nHeadEnd = strRequest.find(kRequestEnd);
  if (nHeadEnd == std::string::npos) return false;
  const std::size_t nBodyStart = nHeadEnd + kRequestEnd.size();
  // Refused from its head alone, at once: the body is never read.
  CHttpRequest head;
  ParseHttpRequest(std::string_view(strRequest).substr(0, nBodyStart), head);
  if (IsForeign(head) || (m_reservedAdmitBody && !m_reservedAdmitBody(head))) return true;
  // Without a usable length, or with one past the limit, the head alone
  // goes to the handler, which refuses it.
  const std::optional<std::size_t> nLength = head.ContentLength();
  if (!nLength || *nLength > m_nReservedMaxBody) return true;
  return strRequest.size() - nBodyStart >= *nLength;
}

std::size_t CHTTPServer::GetMaxRequestSize(const std::string& strRequest) const {
  // The header keeps the general limit; a call's body may add its own.
  const std::size_t nMax = CGenericServer::GetMaxRequestSize(strRequest);
  return IsReservedPost(strRequest) && strRequest.find(kRequestEnd) != std::string::npos ? nMax + m_nReservedMaxBody
                                                                                         : nMax;
}

bool CHTTPServer::ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) {
  CReply reply;
  if (!ParseRequestWithBody(std::move(strRequest), reply, bKeepAlive)) return false;
  // The whole reply in memory, for a caller that wants it so.
  return ReadWholeReply(std::move(reply), strReply);
}

bool CHTTPServer::ParseRequestWithBody(std::string strRequest, CReply& reply, int& bKeepAlive) {
  CHttpRequest request;
  if (!ParseHttpRequest(strRequest, request)) {
    WriteLog("No 'space' found in Request String #2", "ParseRequest", 0);
    return false;
  }
  if (IsForeign(request)) {
    reply = MakeEmptyReply(kStatusNotFound);
    bKeepAlive = 0;
    return true;
  }

  const bool bGet = request.strMethod == kMethodGet;
  if ((bGet || request.strMethod == kMethodPost) && m_reservedHandler &&
      request.strTarget.starts_with(m_strReservedPrefix)) {
    reply = m_reservedHandler(request);
    bKeepAlive = 0;
    return true;
  }
  if (!bGet) {
    // No path is read, nothing is created or fetched.
    reply = MakeEmptyReply(kStatusNotImplemented);
    bKeepAlive = 0;
    return true;
  }

  // Exact case only; absent, the flag stays as an earlier request left it.
  if (strRequest.find(kKeepAliveHeader) != std::string::npos) bKeepAlive = 1;

  const std::string& strPath = request.strTarget == "/" ? m_strDefaultDoc : request.strTarget;
  const std::optional<CRequestMapping> mapping = MapRequestPath(strPath, m_strRootDir, m_mapMimeTypes);
  if (mapping) {
    PrepareLocalFile(*mapping);
    if (MakeFileReply(mapping->strLocalPath, bKeepAlive != 0, mapping->strContentType, reply)) return true;
  }
  reply = MakeEmptyReply(kStatusNotFound);
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
