#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "RawOrigin.h"
#include "TempDir.h"
#include "host/movie/MoviePageHandler.h"
#include "support/Text.h"

using namespace host;
using namespace std::chrono_literals;
using testing_support::CRawOrigin;
using testing_support::HttpExchange;

namespace {

// Stands in for the UI thread: runs posted tasks one by one, and can be
// pumped from inside a task, like a nested event loop.
class CUiThread {
 public:
  CUiThread() : m_thread([this] { Loop(); }) {}
  ~CUiThread() {
    {
      std::lock_guard guard(m_lock);
      m_bQuit = true;
    }
    m_wake.notify_all();
    m_thread.join();
  }
  void Post(std::function<void()> task) {
    {
      std::lock_guard guard(m_lock);
      m_tasks.push_back(std::move(task));
    }
    m_wake.notify_all();
  }
  // From a task: runs other tasks until done() holds.
  void PumpUntil(const std::function<bool()>& done) {
    while (!done()) RunOne(50ms);
  }
  void Pause(bool paused) {
    {
      std::lock_guard guard(m_lock);
      m_bPaused = paused;
    }
    m_wake.notify_all();
  }
  std::thread::id Id() const { return m_thread.get_id(); }

 private:
  void RunOne(std::chrono::milliseconds wait) {
    std::unique_lock lock(m_lock);
    if (!m_wake.wait_for(lock, wait, [&] { return (!m_tasks.empty() && !m_bPaused) || m_bQuit; })) return;
    if (m_bQuit || m_tasks.empty()) return;
    auto task = std::move(m_tasks.front());
    m_tasks.pop_front();
    lock.unlock();
    task();
  }
  void Loop() {
    for (;;) {
      {
        std::lock_guard guard(m_lock);
        if (m_bQuit) return;
      }
      RunOne(50ms);
    }
  }

  std::mutex m_lock;
  std::condition_variable m_wake;
  std::deque<std::function<void()>> m_tasks;
  bool m_bQuit = false;
  bool m_bPaused = false;
  std::thread m_thread;
};

std::string Get(const std::string& target, const std::string& secret = "") {
  std::string request = "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  if (!secret.empty()) request += std::string(CMoviePageHandler::kSecretHeader) + ": " + secret + "\r\n";
  return request + "\r\n";
}

// A call as the page sends it: the invoke document as the body.
std::string Post(const std::string& target, const std::string& body, const std::string& secret) {
  std::string request =
      "POST " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: " + std::to_string(body.size()) + "\r\n";
  if (!secret.empty()) request += std::string(CMoviePageHandler::kSecretHeader) + ": " + secret + "\r\n";
  return request + "\r\n" + body;
}

std::string StatusLine(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }
std::string Body(const std::string& reply) {
  const auto end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}
std::string Header(const std::string& reply, const std::string& name) {
  const auto start = reply.find("\r\n" + name + ": ");
  if (start == std::string::npos) return "";
  const auto value = start + name.size() + 4;
  return reply.substr(value, reply.find("\r\n", value) - value);
}

// encodeURIComponent, as the page does it.
std::string Encode(const std::string& text) { return support::PercentEncode(text, "-_.!~*'()"); }

class MoviePageHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Write("host.html", "<!doctype html><p>page</p>");
    Write("ruffle.js", "window.RufflePlayer = {};");
    Write("core.wasm", std::string("\0asm\x01\0\0\0", 8));
    Write("font.ttc", "ttcf-bytes");
    Write(".hidden", "secret");
    std::filesystem::create_directories(m_dir / "sub");
    Write("sub/inner.js", "inner");

    CMoviePageHandler::Sinks sinks;
    sinks.post = [this](std::function<void()> task) { m_ui.Post(std::move(task)); };
    sinks.onCall = [this](const std::string& request) -> std::optional<std::string> {
      m_callThread = std::this_thread::get_id();
      ++m_nCalls;
      return m_onCall ? m_onCall(request) : std::nullopt;
    };
    sinks.onFSCommand = [this](const std::string& command, const std::string& args) {
      m_fsCommands.push_back(command + "|" + args);
    };
    m_handler = CMoviePageHandler::Create(m_dir.string(), (m_dir / "font.ttc").string(), sinks, SavedDir());
    m_server = std::make_unique<CRawOrigin>(
        [this](const CRawOrigin::Request& r, int) { return m_handler->HandleRequest(r.header + r.body); });
  }
  void TearDown() override {
    m_handler->Close();
    m_server.reset();
  }
  void Write(const std::string& name, const std::string& bytes) {
    std::ofstream(m_dir / name, std::ios::binary) << bytes;
  }
  std::string SavedDir() const { return (m_dir / "saved").string(); }
  std::string Call(const std::string& invoke, const std::string& secret) {
    return HttpExchange(m_server->Port(), Post(std::string(CMoviePageHandler::kPrefix) + "call", invoke, secret));
  }

  CTempDir m_tmp;
  std::filesystem::path m_dir = m_tmp.Path();
  CUiThread m_ui;
  std::function<std::optional<std::string>(const std::string&)> m_onCall;
  std::atomic<int> m_nCalls{0};
  std::thread::id m_callThread;
  std::vector<std::string> m_fsCommands;
  std::shared_ptr<CMoviePageHandler> m_handler;
  std::unique_ptr<CRawOrigin> m_server;
};

const std::string kInvoke =
    "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array><property id=\"0\"><string>u 1&amp;"
    "</string></property><property id=\"1\"><string>学生</string></property></array></arguments></invoke>";

TEST_F(MoviePageHandlerTest, ServesThePageAndThePlayerFilesWithTheirTypes) {
  const std::string prefix = CMoviePageHandler::kPrefix;
  const std::string page = HttpExchange(m_server->Port(), Get(prefix + "host.html"));
  EXPECT_EQ(StatusLine(page), "HTTP/1.0 200 OK");
  EXPECT_EQ(Header(page, "Content-Type"), "text/html; charset=utf-8");
  EXPECT_EQ(Body(page), "<!doctype html><p>page</p>");

  const std::string wasm = HttpExchange(m_server->Port(), Get(prefix + "core.wasm"));
  EXPECT_EQ(Header(wasm, "Content-Type"), "application/wasm");
  EXPECT_EQ(Header(wasm, "Content-Length"), "8");
  EXPECT_EQ(Body(wasm), std::string("\0asm\x01\0\0\0", 8));

  EXPECT_EQ(Header(HttpExchange(m_server->Port(), Get(prefix + "ruffle.js?x=1")), "Content-Type"),
            "text/javascript; charset=utf-8");
  EXPECT_EQ(Body(HttpExchange(m_server->Port(), Get(prefix + "cjk-font"))), "ttcf-bytes");
}

TEST_F(MoviePageHandlerTest, RefusesAnythingOutsideItsOwnFiles) {
  const std::string prefix = CMoviePageHandler::kPrefix;
  for (const std::string name : {"missing.js", ".hidden", "sub/inner.js", "../etc/passwd", "..", "%2e%2e/x", ""}) {
    EXPECT_EQ(StatusLine(HttpExchange(m_server->Port(), Get(prefix + name))), "HTTP/1.0 404 Not Found") << name;
  }
  EXPECT_EQ(StatusLine(HttpExchange(m_server->Port(), "POST " + prefix + "host.html HTTP/1.0\r\n\r\n")),
            "HTTP/1.0 501 Not Implemented");
  EXPECT_EQ(StatusLine(m_handler->HandleRequest("garbage")), "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(StatusLine(m_handler->HandleRequest("GET /qzboot.swf HTTP/1.0\r\n\r\n")), "HTTP/1.0 404 Not Found");
}

TEST_F(MoviePageHandlerTest, CallWithoutTheSecretIsRefusedAndReachesNobody) {
  m_onCall = [](const std::string&) { return std::optional<std::string>("<string>client</string>"); };
  EXPECT_EQ(StatusLine(Call(kInvoke, "")), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine(Call(kInvoke, std::string(m_handler->GetSecret().size(), '0'))), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine(Call(kInvoke, m_handler->GetSecret() + "0")), "HTTP/1.0 403 Forbidden");
  const std::string fs = std::string(CMoviePageHandler::kPrefix) + "fscommand?command=quit&args=";
  EXPECT_EQ(StatusLine(HttpExchange(m_server->Port(), Get(fs))), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(m_nCalls, 0);
  EXPECT_TRUE(m_fsCommands.empty());
}

TEST_F(MoviePageHandlerTest, SecretIsRandomPerHandler) {
  const auto other = CMoviePageHandler::Create(m_dir.string(), "", {});
  EXPECT_EQ(m_handler->GetSecret().size(), 32u);
  EXPECT_EQ(m_handler->GetSecret().find_first_not_of("0123456789abcdef"), std::string::npos);
  EXPECT_NE(m_handler->GetSecret(), other->GetSecret());
}

TEST_F(MoviePageHandlerTest, CallIsRunOnTheUiThreadAndAnswered) {
  std::string received;
  m_onCall = [&](const std::string& request) {
    received = request;
    return std::optional<std::string>("<string>client</string>");
  };
  const std::string reply = Call(kInvoke, m_handler->GetSecret());
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 200 OK");
  EXPECT_EQ(Body(reply), "<string>client</string>");
  EXPECT_EQ(received, kInvoke);
  EXPECT_EQ(m_callThread, m_ui.Id());

  m_onCall = [](const std::string&) { return std::nullopt; };
  EXPECT_EQ(StatusLine(Call(kInvoke, m_handler->GetSecret())), "HTTP/1.0 204 No Content");

  // The document comes as the body, whole, of a POST only.
  const std::string call = std::string(CMoviePageHandler::kPrefix) + "call";
  const std::string& secret = m_handler->GetSecret();
  EXPECT_EQ(StatusLine(m_handler->HandleRequest(Get(call + "?" + Encode(kInvoke), secret))),
            "HTTP/1.0 405 Method Not Allowed");
  EXPECT_EQ(StatusLine(m_handler->HandleRequest(Post(call, "", secret))), "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(StatusLine(m_handler->HandleRequest(Post(call, kInvoke, secret).substr(0, 200))),
            "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(m_nCalls, 2);
}

TEST_F(MoviePageHandlerTest, CallsUpToTheLimitReachTheProgramAndLargerOnesDoNot) {
  std::size_t received = 0;
  m_onCall = [&](const std::string& request) {
    received = request.size();
    return std::optional<std::string>("<string>ok</string>");
  };
  const std::string call = std::string(CMoviePageHandler::kPrefix) + "call";
  const std::string largest = "<invoke name=\"x\"><arguments><string>" +
                              std::string(CMoviePageHandler::kMaxCallSize - 66, 'a') + "</string></arguments></invoke>";
  ASSERT_EQ(largest.size(), CMoviePageHandler::kMaxCallSize);
  EXPECT_EQ(Body(HttpExchange(m_server->Port(), Post(call, largest, m_handler->GetSecret()))), "<string>ok</string>");
  EXPECT_EQ(received, largest.size());
  EXPECT_EQ(StatusLine(m_handler->HandleRequest(Post(call, largest + " ", m_handler->GetSecret()))),
            "HTTP/1.0 413 Payload Too Large");
  EXPECT_EQ(m_nCalls, 1);
}

TEST_F(MoviePageHandlerTest, FSCommandReachesTheUiThread) {
  const std::string target =
      std::string(CMoviePageHandler::kPrefix) + "fscommand?command=" + Encode("全屏 on") + "&args=" + Encode("a&b=c");
  EXPECT_EQ(StatusLine(HttpExchange(m_server->Port(), Get(target, m_handler->GetSecret()))), "HTTP/1.0 204 No Content");
  ASSERT_EQ(m_fsCommands.size(), 1u);
  EXPECT_EQ(m_fsCommands[0], "全屏 on|a&b=c");
}

// The movie's callback, run by the program while it waits in a local loop,
// calls out again: the second call must be served while the first waits.
TEST_F(MoviePageHandlerTest, CallMadeWhileAnotherIsHandledIsServed) {
  std::future<std::string> inner;
  m_onCall = [&](const std::string& request) -> std::optional<std::string> {
    if (request == "outer") {
      inner = std::async(std::launch::async, [&] { return Call("inner", m_handler->GetSecret()); });
      m_ui.PumpUntil([&] { return inner.wait_for(0ms) == std::future_status::ready; });
      return "<string>outer done</string>";
    }
    return "<string>inner done</string>";
  };
  EXPECT_EQ(Body(Call("outer", m_handler->GetSecret())), "<string>outer done</string>");
  EXPECT_EQ(Body(inner.get()), "<string>inner done</string>");
}

TEST_F(MoviePageHandlerTest, ConcurrentCallsEachGetTheirOwnAnswer) {
  m_onCall = [](const std::string& request) { return std::optional<std::string>("<string>" + request + "</string>"); };
  std::vector<std::future<std::string>> replies;
  for (int i = 0; i < 8; ++i)
    replies.push_back(
        std::async(std::launch::async, [&, i] { return Call("c" + std::to_string(i), m_handler->GetSecret()); }));
  for (int i = 0; i < 8; ++i) EXPECT_EQ(Body(replies[i].get()), "<string>c" + std::to_string(i) + "</string>");
  EXPECT_EQ(m_nCalls, 8);
}

TEST_F(MoviePageHandlerTest, StuckUiThreadGivesNoValueAndTheLateTaskDoesNothing) {
  m_handler->SetPickupTimeout(100ms);
  m_onCall = [](const std::string&) { return std::optional<std::string>("<string>late</string>"); };
  m_ui.Pause(true);
  EXPECT_EQ(StatusLine(Call("x", m_handler->GetSecret())), "HTTP/1.0 503 Service Unavailable");
  m_ui.Pause(false);
  // The abandoned task runs now and must not reach the program.
  EXPECT_EQ(Body(Call("y", m_handler->GetSecret())), "<string>late</string>");
  EXPECT_EQ(m_nCalls, 1);
}

TEST_F(MoviePageHandlerTest, CloseReleasesAWaitingCallAndRefusesLaterOnes) {
  m_onCall = [](const std::string&) { return std::optional<std::string>("<string>v</string>"); };
  m_ui.Pause(true);
  auto waiting = std::async(std::launch::async, [&] { return Call("x", m_handler->GetSecret()); });
  std::this_thread::sleep_for(100ms);  // let it reach the wait; the result does not depend on it
  m_handler->Close();
  EXPECT_EQ(StatusLine(waiting.get()), "HTTP/1.0 503 Service Unavailable");
  m_ui.Pause(false);
  EXPECT_EQ(StatusLine(Call("y", m_handler->GetSecret())), "HTTP/1.0 503 Service Unavailable");
  std::this_thread::sleep_for(50ms);
  EXPECT_EQ(m_nCalls, 0);
}

// The page's changes to the movie's saved data, and the list it reads when
// it starts: with the per-start secret only, answered once stored.
TEST_F(MoviePageHandlerTest, SavedDataIsStoredListedAndRemoved) {
  const std::string saved = std::string(CMoviePageHandler::kPrefix) + "saved";
  const std::string& secret = m_handler->GetSecret();
  const auto exchange = [&](const std::string& request) { return HttpExchange(m_server->Port(), request); };
  const std::string key = "127.0.0.1/qzboot.swf/a b&=+";
  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=" + Encode(key), "AL8+/=", ""))), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine(exchange(Get(saved))), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(Body(exchange(Get(saved, secret))), "");

  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=" + Encode(key), "AL8+/=", secret))), "HTTP/1.0 204 No Content");
  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=" + Encode("学"), "数", secret))), "HTTP/1.0 204 No Content");
  EXPECT_EQ(Body(exchange(Get(saved, secret))),
            "127.0.0.1%2Fqzboot.swf%2Fa%20b%26%3D%2B=AL8%2B%2F%3D&%E5%AD%A6=%E6%95%B0");
  // The next start's handler reads the same directory.
  const auto next = CMoviePageHandler::Create(m_dir.string(), "", {}, SavedDir());
  EXPECT_EQ(Body(next->HandleRequest(Get(saved, next->GetSecret()))),
            "127.0.0.1%2Fqzboot.swf%2Fa%20b%26%3D%2B=AL8%2B%2F%3D&%E5%AD%A6=%E6%95%B0");

  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=" + Encode(key) + "&remove=1", "", secret))),
            "HTTP/1.0 204 No Content");
  EXPECT_EQ(Body(exchange(Get(saved, secret))), "%E5%AD%A6=%E6%95%B0");
  EXPECT_EQ(StatusLine(exchange(Post(saved, "v", secret))), "HTTP/1.0 400 Bad Request");
  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=", "v", secret))), "HTTP/1.0 400 Bad Request");

  // Closed, the handler still takes saved data: it never waits for the UI thread.
  m_handler->Close();
  EXPECT_EQ(StatusLine(exchange(Post(saved + "?key=k", "v", secret))), "HTTP/1.0 204 No Content");

  const auto unwritable = CMoviePageHandler::Create(m_dir.string(), "", {}, (m_dir / "host.html" / "saved").string());
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(StatusLine(unwritable->HandleRequest(Post(saved + "?key=k", "v", unwritable->GetSecret()))),
            "HTTP/1.0 507 Insufficient Storage");
  ::testing::internal::GetCapturedStderr();
  const auto none = CMoviePageHandler::Create(m_dir.string(), "", {});
  EXPECT_EQ(StatusLine(none->HandleRequest(Get(saved, none->GetSecret()))), "HTTP/1.0 404 Not Found");
}

// The movie's trace lines, with the per-start secret only, appended to what
// the log held in the order they came; a log that cannot be written is said
// once, when the program starts.
TEST_F(MoviePageHandlerTest, TraceLinesAreAppendedToTheLog) {
  const std::string trace = std::string(CMoviePageHandler::kPrefix) + "trace";
  const std::string log = (m_dir / "trace.log").string();
  Write("trace.log", "earlier run\n");
  const auto handler = CMoviePageHandler::Create(m_dir.string(), "", {}, "", log);
  EXPECT_TRUE(handler->KeepsTraceLog());
  const std::string& secret = handler->GetSecret();
  EXPECT_EQ(StatusLine(handler->HandleRequest(Post(trace, "第一行\n", secret))), "HTTP/1.0 204 No Content");
  EXPECT_EQ(StatusLine(handler->HandleRequest(Post(trace, "two\nthree\n", secret))), "HTTP/1.0 204 No Content");
  EXPECT_EQ(StatusLine(handler->HandleRequest(Post(trace, "stranger\n", ""))), "HTTP/1.0 403 Forbidden");
  EXPECT_EQ(StatusLine(handler->HandleRequest(Get(trace, secret))), "HTTP/1.0 405 Method Not Allowed");
  EXPECT_EQ(support::ReadWholeFile(log).value_or(""), "earlier run\n第一行\ntwo\nthree\n");

  EXPECT_FALSE(m_handler->KeepsTraceLog());
  EXPECT_EQ(StatusLine(m_handler->HandleRequest(Post(trace, "x\n", m_handler->GetSecret()))), "HTTP/1.0 404 Not Found");

  ::testing::internal::CaptureStderr();
  const std::string missing = (m_dir / "no-such-dir" / "trace.log").string();
  const auto unwritable = CMoviePageHandler::Create(m_dir.string(), "", {}, "", missing);
  const std::string reply = unwritable->HandleRequest(Post(trace, "lost\n", unwritable->GetSecret()));
  const std::string lines = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(StatusLine(reply), "HTTP/1.0 507 Insufficient Storage");
  EXPECT_EQ(CountOf(lines, "\n"), 1) << lines;
  EXPECT_NE(lines.find("trace log cannot be written to " + missing), std::string::npos) << lines;
}

TEST(MoviePageHandlerDecode, PercentDecoding) {
  std::string out;
  EXPECT_TRUE(support::PercentDecode("a%20b%3C%E5%AD%A6+", out));
  EXPECT_EQ(out, "a b<学+");
  EXPECT_FALSE(support::PercentDecode("%4", out));
  EXPECT_FALSE(support::PercentDecode("%g0", out));
}

}  // namespace
