#pragma once
// The movie host's side of the resource server: everything under one reserved
// path prefix. It serves the host page and the Flash player's files, and it is
// the endpoint through which the page hands the movie's ExternalInterface
// calls and fscommands to the program. Qt-free: it runs on the server's
// connection threads and reaches the UI thread only through the poster it is
// given.
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "host/movie/SharedObjectStore.h"
#include "host/movie/TraceLog.h"

namespace host {

class CMoviePageHandler : public std::enable_shared_from_this<CMoviePageHandler> {
 public:
  // No course path uses it; every path below it is ours.
  static constexpr const char* kPrefix = "/__quillby__/";
  static constexpr const char* kPageName = "host.html";
  // The page sends the per-start secret in this header.
  static constexpr const char* kSecretHeader = "X-Quillby-Secret";
  // The largest invoke document a call may carry (the page sends it as the
  // body of a POST and refuses longer ones itself).
  static constexpr std::size_t kMaxCallSize = 1 << 20;

  // Runs a task on the UI thread, later; must be callable from any thread.
  using UiPoster = std::function<void(std::function<void()>)>;
  // UI thread: the movie called a host function. The value document it
  // answers with, or none.
  using CallSink = std::function<std::optional<std::string>(const std::string& request)>;
  // UI thread: the movie's fscommand.
  using FSCommandSink = std::function<void(const std::string& command, const std::string& args)>;

  struct Sinks {
    UiPoster post;
    CallSink onCall;
    FSCommandSink onFSCommand;
  };

  // filesDir holds the page and the player's files; fontPath is the CJK
  // font offered to the player (may be missing); savedDir keeps the movie's
  // local shared objects (none are kept when it is empty); the movie's trace
  // lines are appended to traceLogPath (none are kept when it is empty).
  static std::shared_ptr<CMoviePageHandler> Create(std::string filesDir, std::string fontPath, Sinks sinks,
                                                   std::string savedDir = "", std::string traceLogPath = "");

  CMoviePageHandler(const CMoviePageHandler&) = delete;
  CMoviePageHandler& operator=(const CMoviePageHandler&) = delete;

  // Any thread: the whole HTTP response for a request whose path starts
  // with kPrefix. A call blocks until the UI thread has answered it.
  std::string HandleRequest(const std::string& requestText);

  // Random, created with the handler; only the page is told.
  const std::string& GetSecret() const { return m_strSecret; }
  // Any thread: whether a request's header (up to its empty line) carries
  // the secret, so that its body is worth reading.
  bool HasSecret(const std::string& requestHeader) const;

  // Whether the page is to send the movie's trace lines.
  bool KeepsTraceLog() const { return m_pTraceLog != nullptr; }

  // UI thread: refuse further calls and release the waiting ones. Nothing
  // is posted and no sink runs after this returns. Saved data is still
  // taken: it never needs the UI thread.
  void Close();

  // A UI thread that has not picked a call up within this time is taken to
  // be stuck (for instance closing and waiting for the server); the call
  // then gets no value instead of holding its connection for ever.
  void SetPickupTimeout(std::chrono::milliseconds timeout) { m_pickupTimeout = timeout; }

 private:
  CMoviePageHandler(std::string filesDir, std::string fontPath, Sinks sinks, std::string savedDir,
                    std::string traceLogPath);

  struct Request;
  std::string ServeFile(const std::string& name) const;
  std::string ServeCall(const Request& request);
  std::string ServeFSCommand(const Request& request);
  std::string ServeSaved(const Request& request);
  std::string ServeTrace(const Request& request);
  bool IsAuthorised(const Request& request) const;
  // Runs task on the UI thread and waits for it; false when the handler
  // closed or the UI thread did not pick the task up in time.
  bool RunOnUiThread(std::function<void()> task);

  const std::string m_strFilesDir;
  const std::string m_strFontPath;
  const std::string m_strSecret;
  const Sinks m_sinks;
  // Null when no saved data is kept.
  const std::unique_ptr<CSharedObjectStore> m_pSaved;
  // Null when no trace log is kept.
  const std::unique_ptr<CTraceLog> m_pTraceLog;
  std::chrono::milliseconds m_pickupTimeout;

  // Guards m_bClosed and the state of each call handed to the UI thread.
  std::mutex m_lock;
  std::condition_variable m_changed;
  bool m_bClosed = false;
};

}  // namespace host
