#include "net/SendData.h"

#include <curl/curl.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string_view>
#include <vector>

#include "net/Upload.h"
#include "platform/Paths.h"
#include "support/ConnectGuard.h"
#include "support/Handles.h"

namespace {

constexpr const char* kBoundary = "---------------------------114782935826962";
constexpr std::uint16_t kHttpPort = 80;
// The file is streamed through the library's upload buffer in blocks of this size.
constexpr long kTransferBufferSize = 65536;
constexpr const char* kCrLf = "\r\n";

// Copies text into a fixed zero-terminated field; text that does not fit
// leaves the field empty rather than naming a different host or path.
void CopyField(char (&field)[CSendData::kNameSize], const std::string& text) {
  field[0] = '\0';
  if (text.size() < CSendData::kNameSize) std::memcpy(field, text.c_str(), text.size() + 1);
}

std::string FileNamePart(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Hands the body to the library piece by piece, in the body's order: the
// fields, each file part (header, the file's bytes, CR LF), the closing
// block. Files are read as the library asks, never held whole.
class CBodyReader {
 public:
  struct Segment {
    std::string text;
    std::string filePath;  // non-empty: the segment is this file's content
    std::uint64_t offset = 0;
    std::uint64_t length = 0;  // of the file's content
  };

  CBodyReader(std::vector<Segment> segments, std::uint64_t announced)
      : m_segments(std::move(segments)), m_announced(announced) {}

  static size_t Callback(char* buffer, size_t size, size_t count, void* self) {
    return static_cast<CBodyReader*>(self)->Read(buffer, size * count);
  }

 private:
  size_t Read(char* buffer, size_t capacity) {
    while (m_index < m_segments.size()) {
      const Segment& segment = m_segments[m_index];
      size_t n =
          segment.filePath.empty() ? ReadText(segment.text, buffer, capacity) : ReadFile(segment, buffer, capacity);
      if (n == CURL_READFUNC_ABORT) return n;
      if (n > 0) {
        m_produced += n;
        // A file that grew since it was counted would overrun the announced length.
        if (m_produced > m_announced) return CURL_READFUNC_ABORT;
        return n;
      }
      ++m_index;
      m_offset = 0;
    }
    // A file that shrank would leave the announced length unmet.
    return m_produced == m_announced ? 0 : CURL_READFUNC_ABORT;
  }

  size_t ReadText(const std::string& text, char* buffer, size_t capacity) {
    size_t n = std::min(capacity, text.size() - m_offset);
    std::memcpy(buffer, text.data() + m_offset, n);
    m_offset += n;
    return n;
  }

  size_t ReadFile(const Segment& segment, char* buffer, size_t capacity) {
    if (!m_file) {
      m_file.reset(std::fopen(segment.filePath.c_str(), "rb"));
      if (!m_file) return CURL_READFUNC_ABORT;
      if (segment.offset > 0 && ::fseeko(m_file.get(), static_cast<off_t>(segment.offset), SEEK_SET) != 0)
        return CURL_READFUNC_ABORT;
    }
    const std::uint64_t left = segment.length - m_offset;
    const std::uint64_t wanted = std::min<std::uint64_t>(std::min<size_t>(capacity, kTransferBufferSize), left);
    size_t n = std::fread(buffer, 1, static_cast<size_t>(wanted), m_file.get());
    m_offset += n;
    if (n == 0) {
      bool failed = std::ferror(m_file.get()) != 0;
      m_file.reset();
      if (failed) return CURL_READFUNC_ABORT;
    }
    return n;
  }

  std::vector<Segment> m_segments;
  std::uint64_t m_announced;
  std::uint64_t m_produced = 0;
  size_t m_index = 0;
  size_t m_offset = 0;
  support::CFilePtr m_file;
};

size_t DropResponse(char*, size_t size, size_t count, void*) { return size * count; }

// Ends a transfer once no byte has moved either way for the stall time.
class CStallWatch {
 public:
  explicit CStallWatch(std::chrono::milliseconds limit) : m_limit(limit) {}

  // libcurl calls this at least once a second; non-zero aborts.
  static int Callback(void* self, curl_off_t, curl_off_t received, curl_off_t, curl_off_t sent) {
    return static_cast<CStallWatch*>(self)->Stalled(received + sent) ? 1 : 0;
  }

 private:
  bool Stalled(curl_off_t moved) {
    const auto now = std::chrono::steady_clock::now();
    if (moved != m_moved) {
      m_moved = moved;
      m_lastMove = now;
    }
    return now - m_lastMove > m_limit;
  }

  std::chrono::milliseconds m_limit;
  curl_off_t m_moved = 0;
  std::chrono::steady_clock::time_point m_lastMove = std::chrono::steady_clock::now();
};

// Runs the transfer to its end, as curl_easy_perform does, but looks at the
// stop flag every kStopCheckMs: the library's own progress calls come only
// about once a second while it waits for the host.
CURLcode Perform(CURL* curl, const std::atomic<bool>* pbStop) {
  constexpr int kStopCheckMs = 50;
  support::CCurlMulti multi(curl_multi_init());
  if (!multi || curl_multi_add_handle(multi.get(), curl) != CURLM_OK) return CURLE_FAILED_INIT;
  CURLcode result = CURLE_ABORTED_BY_CALLBACK;
  for (int nRunning = 1; nRunning > 0;) {
    if (curl_multi_perform(multi.get(), &nRunning) != CURLM_OK) {
      result = CURLE_FAILED_INIT;
      break;
    }
    int nQueued = 0;
    if (const CURLMsg* message = curl_multi_info_read(multi.get(), &nQueued); message && message->msg == CURLMSG_DONE)
      result = message->data.result;
    if (nRunning == 0 || (pbStop != nullptr && pbStop->load(std::memory_order_relaxed))) break;
    curl_multi_poll(multi.get(), nullptr, 0, kStopCheckMs, nullptr);
  }
  curl_multi_remove_handle(multi.get(), curl);
  return result;
}

}  // namespace

std::string GetUploadHost() { return platform::GetEnvOr(kUploadHostVariable, kUploadHost); }

CSendData::CSendData() : m_nPort(kHttpPort), m_strBoundary(kBoundary), m_dwContentLength(0) {
  m_szObject[0] = '\0';
  m_szServer[0] = '\0';
}

CSendData::~CSendData() = default;

void CSendData::SetServer(const std::string& strObject) {
  std::string host = GetUploadHost();
  m_nPort = kHttpPort;
  // A "host:port" setting lets tests and the demo reach their own origin.
  auto colon = host.rfind(':');
  if (colon != std::string::npos && colon + 1 < host.size() && host.find(':') == colon) {
    std::string_view digits = std::string_view(host).substr(colon + 1);
    unsigned long port = 0;
    bool numeric = digits.size() <= 5;
    for (char c : digits) numeric = numeric && c >= '0' && c <= '9';
    if (numeric) port = std::stoul(std::string(digits));
    if (numeric && port > 0 && port <= 65535) {
      m_nPort = static_cast<std::uint16_t>(port);
      host.resize(colon);
    }
  }
  CopyField(m_szServer, host);
  CopyField(m_szObject, strObject);
}

void CSendData::Reset() {
  m_mapFiles.clear();
  m_strFields.clear();
  m_dwContentLength = 0;
}

void CSendData::AddField(const std::string& strName, const std::string& strValue) {
  std::string part = "--" + m_strBoundary + kCrLf + "Content-Disposition: form-data; name=\"" + strName + "\"" + kCrLf +
                     kCrLf + strValue + kCrLf;
  m_strFields += part;
  m_dwContentLength += static_cast<std::uint32_t>(part.size());
}

void CSendData::AddFile(const std::string& strPath, const std::string& strFieldName) {
  AddFile(strPath, strFieldName, FileNamePart(strPath), 0, kToTheEnd);
}

void CSendData::AddFile(const std::string& strPath, const std::string& strFieldName, const std::string& strFileName,
                        std::uint64_t nOffset, std::uint64_t nLength) {
  support::CFilePtr file(std::fopen(strPath.c_str(), "rb"));
  if (!file) return;
  if (m_mapFiles.contains(strPath)) return;
  struct stat info {};
  if (fstat(fileno(file.get()), &info) != 0) return;
  const bool bWhole = nLength == kToTheEnd;
  if (!bWhole && nOffset + nLength > static_cast<std::uint64_t>(info.st_size)) return;
  std::string header = "--" + m_strBoundary + kCrLf + "Content-Disposition: form-data; name=\"" + strFieldName +
                       "\"; filename=\"" + strFileName + "\"" + kCrLf + "Content-Type: application/octet-stream" +
                       kCrLf + kCrLf;
  // The length counts the file's low 32 bits, as the announced length does.
  const std::uint64_t nContent = bWhole ? static_cast<std::uint64_t>(info.st_size) : nLength;
  m_dwContentLength += static_cast<std::uint32_t>(header.size()) + 2 + static_cast<std::uint32_t>(nContent);
  m_mapFiles.emplace(strPath, CFilePart{std::move(header), nOffset, nLength});
}

std::string CSendData::GetContentTypeHeader() const {
  return "Content-Type: multipart/form-data; boundary=" + m_strBoundary + kCrLf;
}

std::string CSendData::GetTrailer() {
  std::string trailer = std::string(kCrLf) + "--" + m_strBoundary + kCrLf +
                        "Content-Disposition: form-data; name=\"Submit\"" + kCrLf + kCrLf + "hello" + kCrLf + "--" +
                        m_strBoundary + "--" + kCrLf;
  m_dwContentLength += static_cast<std::uint32_t>(trailer.size());
  return trailer;
}

bool CSendData::Send() { return Send(CUploadSettings()); }

bool CSendData::Send(const CUploadSettings& settings) {
  m_nStatus = 0;
  support::CCurlEasy session(curl_easy_init());
  if (!session) return false;
  CURL* curl = session.get();
  // Never this program's own server; redirects, were they followed, as the fetch's.
  support::CConnectGuard guard(curl);

  std::string trailer = GetTrailer();

  if (curl_easy_setopt(curl, CURLOPT_UPLOAD_BUFFERSIZE, kTransferBufferSize) != CURLE_OK) return false;
  if (m_szServer[0] == '\0' || m_szObject[0] == '\0') return false;

  std::vector<CBodyReader::Segment> segments;
  if (!m_strFields.empty()) segments.push_back({m_strFields, {}});
  for (const auto& [path, part] : m_mapFiles) {
    segments.push_back({part.strHeader, {}});
    segments.push_back({{}, path, part.nOffset, part.nLength});
    segments.push_back({kCrLf, {}});
  }
  segments.push_back({trailer, {}});
  CBodyReader body(std::move(segments), m_dwContentLength);

  // The content-type header carries its own CR LF; the library adds one per line.
  std::string contentType = GetContentTypeHeader();
  contentType.resize(contentType.size() - 2);
  support::CCurlSlist headers;
  for (const std::string& line :
       {std::string("Accept: */*"), std::string("Connection:Keep-Alive"), contentType, std::string("Expect:")}) {
    curl_slist* grown = curl_slist_append(headers.get(), line.c_str());
    if (!grown) return false;
    // The list's head stays the same once it has one.
    (void)headers.release();
    headers.reset(grown);
  }

  std::string url = std::string("http://") + m_szServer + ":" + std::to_string(m_nPort) + m_szObject;
  std::string agent = platform::GetExeBaseName();
  CStallWatch stallWatch{std::chrono::milliseconds(settings.m_nStallTimeoutMs)};
  bool ok =
      curl_easy_setopt(curl, CURLOPT_URL, url.c_str()) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L) == CURLE_OK &&
      // libcurl waits for ever by default; a host that stops answering must
      // still let the thread end, so that the movie hears UPOK.
      curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, settings.m_nConnectTimeoutMs) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &CStallWatch::Callback) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_XFERINFODATA, &stallWatch) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_USERAGENT, agent.c_str()) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_POST, 1L) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(m_dwContentLength)) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_READFUNCTION, &CBodyReader::Callback) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_READDATA, &body) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers.get()) == CURLE_OK &&
      curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &DropResponse) == CURLE_OK;
  if (!ok) return false;
  // An error page still counts as sent; the status is for the caller to judge.
  const bool bSent = Perform(curl, settings.m_pbStop) == CURLE_OK;
  curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &m_nStatus);
  return bSent;
}
