#include "host/movie/MoviePageHandler.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <map>
#include <random>

#include "server/HttpResponse.h"
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
// The page and the player's files do not change while the program runs, and
// the web engine's cache lives in memory for that long.
constexpr const char* kCacheForTheRun = "max-age=31536000, immutable";
// Answers and saved data are never taken from a cache.
constexpr const char* kNoCache = "no-store";

CReply Text(const std::string& body) { return MakeTextReply(kStatusOk, kTextType, body, kNoCache); }

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

// name=value pairs of the query, decoded as the page encodes them
// (encodeURIComponent); false when an escape is malformed.
bool QueryFields(std::string_view query, std::map<std::string, std::string>& fields) {
  while (!query.empty()) {
    const std::size_t nAmpersand = query.find('&');
    const std::string_view pair = query.substr(0, nAmpersand);
    query = nAmpersand == std::string_view::npos ? std::string_view() : query.substr(nAmpersand + 1);
    const std::size_t nEquals = pair.find('=');
    std::string name, value;
    if (nEquals == std::string_view::npos || !support::PercentDecode(pair.substr(0, nEquals), name) ||
        !support::PercentDecode(pair.substr(nEquals + 1), value))
      return false;
    fields[name] = value;
  }
  return true;
}

// Empty when the body is whole and within the limit, else the error status.
std::string CheckBody(const CHttpRequest& request) {
  const std::optional<std::size_t> length = request.ContentLength();
  if (!length) return kStatusBadRequest;
  if (*length > CMoviePageHandler::kMaxCallSize) return kStatusTooLarge;
  if (request.strBody.size() != *length) return kStatusBadRequest;
  return "";
}

}  // namespace

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

CReply CMoviePageHandler::HandleRequest(const CHttpRequest& request) {
  const bool bPost = request.strMethod == "POST";
  if (request.strMethod != "GET" && !bPost) return MakeEmptyReply(kStatusNotImplemented);
  const std::string_view path = request.Path();
  const std::string_view prefix = kPrefix;
  if (!path.starts_with(prefix)) return MakeEmptyReply(kStatusNotFound);

  const std::string name(path.substr(prefix.size()));
  // A call's invoke document comes as the body; nothing else has one.
  if (name == kCallEndpoint) return bPost ? ServeCall(request) : MakeEmptyReply(kStatusMethodNotAllowed);
  if (name == kSavedEndpoint) return ServeSaved(request);
  if (name == kTraceEndpoint) return bPost ? ServeTrace(request) : MakeEmptyReply(kStatusMethodNotAllowed);
  if (bPost) return MakeEmptyReply(kStatusNotImplemented);
  if (name == kFSCommandEndpoint) return ServeFSCommand(request);
  return ServeFile(name);
}

CReply CMoviePageHandler::ServeFile(const std::string& name) const {
  std::string path;
  if (name == kFontName)
    path = m_strFontPath;
  else if (IsPlainFileName(name))
    path = m_strFilesDir + "/" + name;
  CReply reply;
  if (path.empty() || !MakeFileReply(path, false, ContentTypeOf(name), reply, kCacheForTheRun))
    return MakeEmptyReply(kStatusNotFound);
  return reply;
}

bool CMoviePageHandler::HasSecret(const CHttpRequest& head) const {
  const std::string* pSecret = head.Find(support::ToLowerAscii(kSecretHeader));
  return pSecret != nullptr && EqualsInConstantTime(*pSecret, m_strSecret);
}

CReply CMoviePageHandler::ServeCall(const CHttpRequest& request) {
  if (!HasSecret(request)) return MakeEmptyReply(kStatusForbidden);
  const std::string bodyError = CheckBody(request);
  if (!bodyError.empty()) return MakeEmptyReply(bodyError);
  const std::string& invoke = request.strBody;
  if (invoke.empty()) return MakeEmptyReply(kStatusBadRequest);

  auto answer = std::make_shared<std::optional<std::string>>();
  const bool answered = RunOnUiThread([this, invoke, answer] {
    if (m_sinks.onCall) *answer = m_sinks.onCall(invoke);
  });
  if (!answered) return MakeEmptyReply(kStatusUnavailable);
  if (!answer->has_value()) return MakeEmptyReply(kStatusNoValue);
  return Text(**answer);
}

CReply CMoviePageHandler::ServeFSCommand(const CHttpRequest& request) {
  if (!HasSecret(request)) return MakeEmptyReply(kStatusForbidden);
  std::map<std::string, std::string> fields;
  if (!QueryFields(request.Query(), fields) || !fields.count("command")) return MakeEmptyReply(kStatusBadRequest);

  const std::string command = fields["command"];
  const std::string args = fields["args"];
  if (!RunOnUiThread([this, command, args] {
        if (m_sinks.onFSCommand) m_sinks.onFSCommand(command, args);
      }))
    return MakeEmptyReply(kStatusUnavailable);
  return MakeEmptyReply(kStatusNoValue);
}

CReply CMoviePageHandler::ServeSaved(const CHttpRequest& request) {
  if (!HasSecret(request)) return MakeEmptyReply(kStatusForbidden);
  if (!m_pSaved) return MakeEmptyReply(kStatusNotFound);
  if (request.strMethod == "GET") {
    std::string list;
    for (const auto& [key, value] : m_pSaved->LoadAll())
      list += (list.empty() ? "" : "&") + support::PercentEncode(key) + "=" + support::PercentEncode(value);
    return Text(list);
  }
  std::map<std::string, std::string> fields;
  if (!QueryFields(request.Query(), fields) || !fields.count("key") || fields["key"].empty())
    return MakeEmptyReply(kStatusBadRequest);
  const std::string bodyError = CheckBody(request);
  if (!bodyError.empty()) return MakeEmptyReply(bodyError);
  const std::string& key = fields["key"];
  if (key.size() > CSharedObjectStore::kMaxKeySize) return MakeEmptyReply(kStatusTooLarge);
  const bool bStored = fields.count("remove") ? m_pSaved->Remove(key) : m_pSaved->Put(key, request.strBody);
  return MakeEmptyReply(bStored ? kStatusNoValue : kStatusNotStored);
}

CReply CMoviePageHandler::ServeTrace(const CHttpRequest& request) {
  if (!HasSecret(request)) return MakeEmptyReply(kStatusForbidden);
  if (!m_pTraceLog) return MakeEmptyReply(kStatusNotFound);
  const std::string bodyError = CheckBody(request);
  if (!bodyError.empty()) return MakeEmptyReply(bodyError);
  return MakeEmptyReply(m_pTraceLog->Append(request.strBody) ? kStatusNoValue : kStatusNotStored);
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
  // A task that runs is waited for until it ends or the handler closes: the
  // window may close from inside it (a message box's loop), and the server
  // then stops, waiting for this very connection. The answer is shared.
  m_changed.wait(lock, [&] { return *state == State::Done || m_bClosed; });
  return *state == State::Done;
}

void CMoviePageHandler::Close() {
  {
    std::lock_guard guard(m_lock);
    m_bClosed = true;
  }
  m_changed.notify_all();
}

}  // namespace host
