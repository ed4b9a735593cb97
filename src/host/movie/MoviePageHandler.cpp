#include "host/movie/MoviePageHandler.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <iterator>
#include <map>
#include <random>
#include <sstream>

#include "support/Text.h"

namespace host {

namespace {

constexpr const char* kCallEndpoint = "call";
constexpr const char* kFSCommandEndpoint = "fscommand";
// GET: every saved entry; POST ?key=K (the value as the body) or
// ?key=K&remove=1: one change, answered once it is on the device.
constexpr const char* kSavedEndpoint = "saved";
// POST: trace lines of the movie, each ending in "\n", to be appended.
constexpr const char* kTraceEndpoint = "trace";
// The page asks for the CJK device font under this name.
constexpr const char* kFontName = "cjk-font";
constexpr auto kDefaultPickupTimeout = std::chrono::seconds(10);
constexpr std::size_t kSecretBytes = 16;

constexpr const char* kStatusOk = "200 OK";
constexpr const char* kStatusNoValue = "204 No Content";
constexpr const char* kStatusBadRequest = "400 Bad Request";
constexpr const char* kStatusForbidden = "403 Forbidden";
constexpr const char* kStatusNotFound = "404 Not Found";
constexpr const char* kStatusMethodNotAllowed = "405 Method Not Allowed";
constexpr const char* kStatusTooLarge = "413 Payload Too Large";
constexpr const char* kStatusNotImplemented = "501 Not Implemented";
constexpr const char* kStatusUnavailable = "503 Service Unavailable";
constexpr const char* kStatusNotStored = "507 Insufficient Storage";
constexpr const char* kTextType = "text/plain; charset=utf-8";

std::string MakeResponse(const std::string& status, const std::string& contentType, const std::string& body) {
  std::string reply = "HTTP/1.0 " + status + "\r\n";
  if (!contentType.empty()) reply += "Content-Type: " + contentType + "\r\n";
  reply += "Content-Length: " + std::to_string(body.size()) + "\r\n";
  reply += "Cache-Control: no-store\r\nConnection: close\r\n\r\n";
  return reply + body;
}

std::string MakeError(const std::string& status) { return MakeResponse(status, kTextType, status); }

std::string ContentTypeOf(const std::string& name) {
  static const std::map<std::string, std::string> kTypes = {
      {"html", "text/html; charset=utf-8"},
      {"js", "text/javascript; charset=utf-8"},
      {"wasm", "application/wasm"},
      {"map", "application/json"},
  };
  const auto dot = name.rfind('.');
  const auto it = dot == std::string::npos ? kTypes.end() : kTypes.find(name.substr(dot + 1));
  return it == kTypes.end() ? "application/octet-stream" : it->second;
}

// Only plain names directly inside the files directory are ever served.
bool IsPlainFileName(const std::string& name) {
  if (name.empty() || name.front() == '.') return false;
  return std::all_of(name.begin(), name.end(),
                     [](unsigned char c) { return std::isalnum(c) != 0 || c == '.' || c == '_' || c == '-'; });
}

std::string MakeSecret() {
  std::random_device device;  // /dev/urandom
  std::array<unsigned char, kSecretBytes> bytes{};
  for (auto& b : bytes) b = static_cast<unsigned char>(device() & 0xFF);
  static const char kHex[] = "0123456789abcdef";
  std::string secret;
  for (unsigned char b : bytes) {
    secret += kHex[b >> 4];
    secret += kHex[b & 0xF];
  }
  return secret;
}

bool EqualsInConstantTime(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string Trim(const std::string& text) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

}  // namespace

struct CMoviePageHandler::Request {
  std::string method;
  std::string path;
  std::string query;
  std::map<std::string, std::string> headers;  // lower-case names
  std::string body;

  bool Parse(const std::string& text) {
    const auto headerEnd = text.find("\r\n\r\n");
    if (headerEnd != std::string::npos) body = text.substr(headerEnd + 4);
    std::istringstream lines(text.substr(0, headerEnd));
    std::string line;
    if (!std::getline(lines, line)) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    const auto firstSpace = line.find(' ');
    if (firstSpace == std::string::npos) return false;
    method = line.substr(0, firstSpace);
    const auto secondSpace = line.find(' ', firstSpace + 1);
    const std::string target = line.substr(firstSpace + 1, secondSpace - firstSpace - 1);
    const auto mark = target.find('?');
    path = target.substr(0, mark);
    if (mark != std::string::npos) query = target.substr(mark + 1);
    while (std::getline(lines, line)) {
      if (!line.empty() && line.back() == '\r') line.pop_back();
      const auto colon = line.find(':');
      if (colon != std::string::npos)
        headers[support::ToLowerAscii(line.substr(0, colon))] = Trim(line.substr(colon + 1));
    }
    return true;
  }

  // name=value pairs of the query, decoded; false when malformed.
  bool QueryFields(std::map<std::string, std::string>& fields) const {
    std::istringstream pairs(query);
    std::string pair;
    while (std::getline(pairs, pair, '&')) {
      const auto equals = pair.find('=');
      std::string name, value;
      // Decoded as the page encodes (encodeURIComponent); a malformed escape
      // makes the query malformed.
      if (equals == std::string::npos || !support::PercentDecode(pair.substr(0, equals), name) ||
          !support::PercentDecode(pair.substr(equals + 1), value))
        return false;
      fields[name] = value;
    }
    return true;
  }

  // Empty when the body is whole and within the limit, else the error status.
  std::string CheckBody() const {
    const auto length = headers.find("content-length");
    if (length == headers.end() || length->second.empty() ||
        length->second.find_first_not_of("0123456789") != std::string::npos)
      return kStatusBadRequest;
    if (length->second.size() > 9 || std::stoul(length->second) > kMaxCallSize) return kStatusTooLarge;
    if (body.size() != std::stoul(length->second)) return kStatusBadRequest;
    return "";
  }
};

std::shared_ptr<CMoviePageHandler> CMoviePageHandler::Create(std::string filesDir, std::string fontPath, Sinks sinks,
                                                             std::string savedDir, std::string traceLogPath) {
  return std::shared_ptr<CMoviePageHandler>(new CMoviePageHandler(
      std::move(filesDir), std::move(fontPath), std::move(sinks), std::move(savedDir), std::move(traceLogPath)));
}

CMoviePageHandler::CMoviePageHandler(std::string filesDir, std::string fontPath, Sinks sinks, std::string savedDir,
                                     std::string traceLogPath)
    : m_strFilesDir(std::move(filesDir)),
      m_strFontPath(std::move(fontPath)),
      m_strSecret(MakeSecret()),
      m_sinks(std::move(sinks)),
      m_pSaved(savedDir.empty() ? nullptr : std::make_unique<CSharedObjectStore>(std::move(savedDir))),
      m_pTraceLog(traceLogPath.empty() ? nullptr : std::make_unique<CTraceLog>(std::move(traceLogPath))),
      m_pickupTimeout(kDefaultPickupTimeout) {}

std::string CMoviePageHandler::HandleRequest(const std::string& requestText) {
  Request request;
  if (!request.Parse(requestText)) return MakeError(kStatusBadRequest);
  const bool bPost = request.method == "POST";
  if (request.method != "GET" && !bPost) return MakeError(kStatusNotImplemented);
  const std::string prefix = kPrefix;
  if (request.path.compare(0, prefix.size(), prefix) != 0) return MakeError(kStatusNotFound);

  const std::string name = request.path.substr(prefix.size());
  // A call's invoke document comes as the body; nothing else has one.
  if (name == kCallEndpoint) return bPost ? ServeCall(request) : MakeError(kStatusMethodNotAllowed);
  if (name == kSavedEndpoint) return ServeSaved(request);
  if (name == kTraceEndpoint) return bPost ? ServeTrace(request) : MakeError(kStatusMethodNotAllowed);
  if (bPost) return MakeError(kStatusNotImplemented);
  if (name == kFSCommandEndpoint) return ServeFSCommand(request);
  return ServeFile(name);
}

std::string CMoviePageHandler::ServeFile(const std::string& name) const {
  if (name == kFontName) {
    const auto body = support::ReadWholeFile(m_strFontPath);
    if (!body) return MakeError(kStatusNotFound);
    return MakeResponse(kStatusOk, "application/octet-stream", *body);
  }
  const auto body = IsPlainFileName(name) ? support::ReadWholeFile(m_strFilesDir + "/" + name) : std::nullopt;
  if (!body) return MakeError(kStatusNotFound);
  return MakeResponse(kStatusOk, ContentTypeOf(name), *body);
}

bool CMoviePageHandler::IsAuthorised(const Request& request) const {
  const auto it = request.headers.find(support::ToLowerAscii(kSecretHeader));
  return it != request.headers.end() && EqualsInConstantTime(it->second, m_strSecret);
}

bool CMoviePageHandler::HasSecret(const std::string& requestHeader) const {
  Request request;
  return request.Parse(requestHeader) && IsAuthorised(request);
}

std::string CMoviePageHandler::ServeCall(const Request& request) {
  if (!IsAuthorised(request)) return MakeError(kStatusForbidden);
  const std::string bodyError = request.CheckBody();
  if (!bodyError.empty()) return MakeError(bodyError);
  const std::string& invoke = request.body;
  if (invoke.empty()) return MakeError(kStatusBadRequest);

  auto answer = std::make_shared<std::optional<std::string>>();
  const bool answered = RunOnUiThread([this, invoke, answer] {
    if (m_sinks.onCall) *answer = m_sinks.onCall(invoke);
  });
  if (!answered) return MakeError(kStatusUnavailable);
  if (!answer->has_value()) return MakeResponse(kStatusNoValue, "", "");
  return MakeResponse(kStatusOk, kTextType, **answer);
}

std::string CMoviePageHandler::ServeFSCommand(const Request& request) {
  if (!IsAuthorised(request)) return MakeError(kStatusForbidden);
  std::map<std::string, std::string> fields;
  if (!request.QueryFields(fields) || !fields.count("command")) return MakeError(kStatusBadRequest);

  const std::string command = fields["command"];
  const std::string args = fields["args"];
  if (!RunOnUiThread([this, command, args] {
        if (m_sinks.onFSCommand) m_sinks.onFSCommand(command, args);
      }))
    return MakeError(kStatusUnavailable);
  return MakeResponse(kStatusNoValue, "", "");
}

std::string CMoviePageHandler::ServeSaved(const Request& request) {
  if (!IsAuthorised(request)) return MakeError(kStatusForbidden);
  if (!m_pSaved) return MakeError(kStatusNotFound);
  if (request.method == "GET") {
    std::string list;
    for (const auto& [key, value] : m_pSaved->LoadAll())
      list += (list.empty() ? "" : "&") + support::PercentEncode(key) + "=" + support::PercentEncode(value);
    return MakeResponse(kStatusOk, kTextType, list);
  }
  std::map<std::string, std::string> fields;
  if (!request.QueryFields(fields) || !fields.count("key") || fields["key"].empty())
    return MakeError(kStatusBadRequest);
  const std::string bodyError = request.CheckBody();
  if (!bodyError.empty()) return MakeError(bodyError);
  const std::string& key = fields["key"];
  if (key.size() > CSharedObjectStore::kMaxKeySize) return MakeError(kStatusTooLarge);
  const bool bStored = fields.count("remove") ? m_pSaved->Remove(key) : m_pSaved->Put(key, request.body);
  return bStored ? MakeResponse(kStatusNoValue, "", "") : MakeError(kStatusNotStored);
}

std::string CMoviePageHandler::ServeTrace(const Request& request) {
  if (!IsAuthorised(request)) return MakeError(kStatusForbidden);
  if (!m_pTraceLog) return MakeError(kStatusNotFound);
  const std::string bodyError = request.CheckBody();
  if (!bodyError.empty()) return MakeError(bodyError);
  return m_pTraceLog->Append(request.body) ? MakeResponse(kStatusNoValue, "", "") : MakeError(kStatusNotStored);
}

bool CMoviePageHandler::RunOnUiThread(std::function<void()> task) {
  enum class State { Queued, Running, Done, Abandoned };
  auto state = std::make_shared<State>(State::Queued);

  std::unique_lock lock(m_lock);
  if (m_bClosed) return false;
  // Posted under the lock, so Close() never races with a post in flight.
  m_sinks.post([self = shared_from_this(), state, task = std::move(task)] {
    {
      std::lock_guard guard(self->m_lock);
      if (self->m_bClosed || *state != State::Queued) return;
      *state = State::Running;
    }
    task();
    {
      std::lock_guard guard(self->m_lock);
      *state = State::Done;
    }
    self->m_changed.notify_all();
  });

  if (!m_changed.wait_for(lock, m_pickupTimeout, [&] { return m_bClosed || *state != State::Queued; })) {
    *state = State::Abandoned;
    return false;
  }
  if (*state == State::Queued) return false;  // closed before the UI thread got to it
  // A task that runs is always waited for: it writes the answer.
  m_changed.wait(lock, [&] { return *state == State::Done; });
  return true;
}

void CMoviePageHandler::Close() {
  {
    std::lock_guard guard(m_lock);
    m_bClosed = true;
  }
  m_changed.notify_all();
}

}  // namespace host
