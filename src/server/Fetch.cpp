#include "server/Fetch.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <thread>

#include "platform/Paths.h"
#include "platform/ReplaceFile.h"
#include "support/ConnectGuard.h"
#include "support/Handles.h"

namespace {

constexpr long kStatusOk = 200;
constexpr long kStatusProxyAuthRequired = 407;
// Only web addresses are fetched; a file: or other scheme never reaches the disk.
constexpr const char* kAllowedProtocols = "http,https";
constexpr long kMaxRedirects = 10;
// Bodies pass through a buffer of this fixed size on their way to the disk:
// memory does not grow with the file.
constexpr long kReceiveBufferSize = 100 * 1024;
constexpr char kSeparator = '/';

// The agent string: the executable's base name, as the original's framework sent.
const std::string& AgentString() {
  static const std::string strAgent = platform::GetExeBaseName();
  return strAgent;
}

using support::CCurlEasy;

long ResponseStatus(CURL* curl) {
  long nStatus = 0;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &nStatus);
  return nStatus;
}

// One GET of a session: the body of a 200 response goes to a file beside the
// target that replaces it only when the body arrived whole, so an interrupted
// transfer or a second fetch of the same file never leaves a broken copy in
// the cache; any other response's body is dropped; a transfer that stalls, or
// whose caller stops, ends.
struct CTransfer {
  CURL* m_curl;
  platform::CReplacingFile m_file;
  const CFetchSettings& m_settings;
  support::CConnectGuard m_guard{m_curl};
  std::chrono::steady_clock::time_point m_lastActivity{};
  curl_off_t m_nLastBytes = -1;

  CURLcode Perform() {
    m_guard.Restart();
    return curl_easy_perform(m_curl);
  }
};

size_t OnBody(char* pData, size_t nSize, size_t nCount, void* pUser) noexcept {
  auto* pTransfer = static_cast<CTransfer*>(pUser);
  size_t nBytes = nSize * nCount;
  if (ResponseStatus(pTransfer->m_curl) != kStatusOk) return nBytes;
  try {
    if (!pTransfer->m_file.IsOpen() && !CreateLocalFile(pTransfer->m_file, pTransfer->m_settings)) return 0;
    return pTransfer->m_file.Write(pData, nBytes) ? nBytes : 0;
  } catch (...) {
    return 0;  // ends the transfer; the target stays as it was
  }
}

bool IsStopped(const CFetchSettings& settings) {
  return settings.m_pbStop != nullptr && settings.m_pbStop->load(std::memory_order_relaxed);
}

// The back-off before a retry, cut short when the caller stops.
void BackOff(const CFetchSettings& settings) {
  constexpr auto kSlice = std::chrono::milliseconds(50);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(settings.m_nConnectBackoffMs);
  while (!IsStopped(settings) && std::chrono::steady_clock::now() < deadline) std::this_thread::sleep_for(kSlice);
}

// Called by libcurl at least once a second. Returning non-zero aborts the
// transfer once the caller stops, or once nothing arrived for the receive
// time-out after connecting.
int OnProgress(void* pUser, curl_off_t, curl_off_t nReceived, curl_off_t, curl_off_t) noexcept {
  auto* pTransfer = static_cast<CTransfer*>(pUser);
  if (IsStopped(pTransfer->m_settings)) return 1;
  auto now = std::chrono::steady_clock::now();
  curl_off_t nConnectTime = 0;
  curl_easy_getinfo(pTransfer->m_curl, CURLINFO_CONNECT_TIME_T, &nConnectTime);
  if (nConnectTime == 0 || nReceived != pTransfer->m_nLastBytes) {
    pTransfer->m_nLastBytes = nReceived;
    pTransfer->m_lastActivity = now;
    return 0;
  }
  return now - pTransfer->m_lastActivity > std::chrono::milliseconds(pTransfer->m_settings.m_nReceiveTimeoutMs) ? 1 : 0;
}

// The connection itself failed (refused, unreachable, connect time-out), as
// opposed to a transfer that stopped once connected.
bool IsConnectFailure(CURL* curl, CURLcode rc) {
  if (rc == CURLE_COULDNT_CONNECT) return true;
  curl_off_t nConnectTime = 0;
  curl_easy_getinfo(curl, CURLINFO_CONNECT_TIME_T, &nConnectTime);
  return rc == CURLE_OPERATION_TIMEDOUT && nConnectTime == 0;
}

// Sends the request, trying a failed connect again after the back-off; a
// connection the guard refused would be refused again.
CURLcode SendRequest(CTransfer& transfer) {
  const CFetchSettings& settings = transfer.m_settings;
  CURLcode rc = transfer.Perform();
  for (int nRetry = 0;
       nRetry < settings.m_nConnectRetries && IsConnectFailure(transfer.m_curl, rc) && !transfer.m_guard.Refused();
       ++nRetry) {
    BackOff(settings);
    if (IsStopped(settings)) break;
    rc = transfer.Perform();
  }
  return rc;
}

// The body arrived whole: libcurl saw a proper end (all Content-Length bytes,
// the last chunk, or the server closing a body of unknown length).
bool BodyComplete(CURL* curl, CURLcode rc, const platform::CReplacingFile& file) {
  if (rc != CURLE_OK) return false;
  curl_off_t nLength = -1;
  curl_easy_getinfo(curl, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &nLength);
  return nLength <= 0 || file.BytesWritten() == nLength;
}

void SetSessionOptions(CURL* curl, const CFetchSettings& settings) {
  curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
  curl_easy_setopt(curl, CURLOPT_USERAGENT, AgentString().c_str());
  curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.m_nConnectTimeoutMs);
  curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, kAllowedProtocols);
  curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 1L);
  curl_easy_setopt(curl, CURLOPT_MAXREDIRS, kMaxRedirects);
  curl_easy_setopt(curl, CURLOPT_BUFFERSIZE, kReceiveBufferSize);
  // The proxy comes from http_proxy, https_proxy and no_proxy, which libcurl
  // reads itself; Basic is sent up front, so the one retry below is the only one.
  curl_easy_setopt(curl, CURLOPT_PROXYAUTH, static_cast<long>(CURLAUTH_BASIC));
}

bool Fetch(const std::string& strUrl, const std::string& strLocalPath, const CFetchSettings& settings) {
  CCurlEasy curl(curl_easy_init());
  if (!curl) return false;
  SetSessionOptions(curl.get(), settings);
  if (strLocalPath.empty()) return false;

  CTransfer transfer{curl.get(), platform::CReplacingFile(strLocalPath), settings};
  curl_easy_setopt(curl.get(), CURLOPT_URL, strUrl.c_str());
  curl_easy_setopt(curl.get(), CURLOPT_WRITEFUNCTION, OnBody);
  curl_easy_setopt(curl.get(), CURLOPT_WRITEDATA, &transfer);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFOFUNCTION, OnProgress);
  curl_easy_setopt(curl.get(), CURLOPT_XFERINFODATA, &transfer);
  curl_easy_setopt(curl.get(), CURLOPT_NOPROGRESS, 0L);

  CURLcode rc = SendRequest(transfer);
  if (ResponseStatus(curl.get()) == kStatusProxyAuthRequired && !IsStopped(settings)) {
    curl_easy_setopt(curl.get(), CURLOPT_PROXYUSERNAME, "");
    curl_easy_setopt(curl.get(), CURLOPT_PROXYPASSWORD, "");
    rc = transfer.Perform();
  }
  if (ResponseStatus(curl.get()) != kStatusOk) return false;
  if (!BodyComplete(curl.get(), rc, transfer.m_file)) return false;
  // An empty body wrote nothing yet; it still gives an empty file.
  if (!transfer.m_file.IsOpen() && !CreateLocalFile(transfer.m_file, settings)) return false;
  // Not synced: a cache file lost in a crash is fetched again.
  return transfer.m_file.Commit(false);
}

}  // namespace

void DownloadFile(const std::string& strUrl, const std::string& strLocalPath) noexcept {
  DownloadFile(strUrl, strLocalPath, CFetchSettings());
}

void DownloadFile(const std::string& strUrl, const std::string& strLocalPath, const CFetchSettings& settings) noexcept {
  FetchIntoFile(strUrl, strLocalPath, settings);
}

bool FetchIntoFile(const std::string& strUrl, const std::string& strLocalPath,
                   const CFetchSettings& settings) noexcept {
  try {
    return Fetch(strUrl, strLocalPath, settings);
  } catch (...) {
    return false;  // out of memory: the fetch ends and the calling thread goes on
  }
}

bool CreateLocalFile(platform::CReplacingFile& file, const CFetchSettings& settings) {
  if (!settings.m_strDirectory.empty()) EnsureDirectoryPath(settings.m_strDirectory);
  return file.Create();
}

bool PathExists(const std::string& strPath) { return !strPath.empty() && ::access(strPath.c_str(), F_OK) == 0; }

bool EnsureDirectoryPath(const std::string& strPath) {
  if (strPath.empty()) throw std::invalid_argument("EnsureDirectoryPath: empty path");
  // UTF-8 never carries '/' inside a multi-byte character, so a plain search
  // for the separator is safe for Chinese names.
  std::string strWork = strPath;
  if (strWork.back() != kSeparator) strWork += kSeparator;
  // The root of an absolute path always exists, as a drive's root did; the
  // walk starts at the separator after it.
  size_t nPos = strWork.find(kSeparator, strWork.front() == kSeparator ? 1 : 0);
  for (; nPos != std::string::npos; nPos = strWork.find(kSeparator, nPos + 1)) {
    std::string strPrefix = strWork.substr(0, nPos + 1);
    if (!PathExists(strPrefix)) ::mkdir(strPrefix.c_str(), 0777);
  }
  return true;
}
