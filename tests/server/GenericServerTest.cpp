#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "TempDir.h"
#include "server/GenericServer.h"

using namespace std::chrono_literals;

namespace {

constexpr auto kPatience = 5s;

// Collects requests until an empty line, answers through a test-chosen
// handler and records what the server reports to it.
class CTestServer : public CGenericServer {
 public:
  using Handler = std::function<bool(const std::string& request, std::string& reply, int& keepAlive)>;

  explicit CTestServer(Handler handler = EchoHandler) : m_handler(std::move(handler)) {}
  // Connection threads call into this class: stop them before its members go.
  ~CTestServer() override { Shutdown(); }

  void SetIdleTimeout(std::chrono::milliseconds timeout) { m_clientIdleTimeout = timeout; }
  bool Stopping() const { return m_bStopping; }

  static bool EchoHandler(const std::string& request, std::string& reply, int& keepAlive) {
    keepAlive = request.find("keep") != std::string::npos ? 1 : 0;
    reply = "reply to " + request;
    return true;
  }

  int OnClientAccepted(const std::string& strAddress, std::uint16_t nPort) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_accepted.emplace_back(strAddress, nPort);
    return 0;
  }
  int OnReplySent(std::uint32_t nBytesSent) override {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_sent.push_back(nBytesSent);
    m_cv.notify_all();
    return 0;
  }
  bool IsRequestComplete(std::string strRequest) override {
    return strRequest.size() >= 4 && strRequest.compare(strRequest.size() - 4, 4, "\r\n\r\n") == 0;
  }
  bool ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) override {
    {
      std::lock_guard<std::mutex> lock(m_mutex);
      m_requests.push_back(strRequest);
    }
    return m_handler(strRequest, strReply, bKeepAlive);
  }

  std::vector<std::string> Requests() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_requests;
  }
  std::vector<std::pair<std::string, std::uint16_t>> Accepted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_accepted;
  }
  std::vector<std::uint32_t> WaitForSent(std::size_t nCount) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_cv.wait_for(lock, kPatience, [&] { return m_sent.size() >= nCount; });
    return m_sent;
  }

 private:
  Handler m_handler;
  std::mutex m_mutex;
  std::condition_variable m_cv;
  std::vector<std::string> m_requests;
  std::vector<std::pair<std::string, std::uint16_t>> m_accepted;
  std::vector<std::uint32_t> m_sent;
};

// The far end of a connection, as the movie's player would hold it.
class CClient {
 public:
  explicit CClient(int nPort, int nReceiveBuffer = 0) : m_socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    const timeval patience{5, 0};
    ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVTIMEO, &patience, sizeof(patience));
    const int nNoDelay = 1;
    ::setsockopt(m_socket.Get(), IPPROTO_TCP, TCP_NODELAY, &nNoDelay, sizeof(nNoDelay));
    if (nReceiveBuffer > 0)
      ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof(nReceiveBuffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(nPort));
    m_bConnected = ::connect(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }

  bool Connected() const { return m_bConnected; }
  std::uint16_t LocalPortAsOnTheWire() const {
    sockaddr_in address{};
    socklen_t nLength = sizeof(address);
    ::getsockname(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), &nLength);
    return address.sin_port;
  }
  bool Send(const std::string& data) {
    return ::send(m_socket.Get(), data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
  }
  // Exactly n bytes, or fewer when the connection ends or stays silent.
  std::string Receive(std::size_t n) {
    std::string data;
    data.reserve(n);
    std::vector<char> buffer(1024 * 1024);
    while (data.size() < n) {
      const ssize_t got = ::recv(m_socket.Get(), buffer.data(), std::min(buffer.size(), n - data.size()), 0);
      if (got <= 0) break;
      data.append(buffer.data(), static_cast<std::size_t>(got));
    }
    return data;
  }
  // Everything until the server closes; nullopt when it does not within 5 s.
  std::optional<std::string> ReceiveToClose(std::size_t nExpected = 0) {
    std::string data;
    data.reserve(nExpected);
    std::vector<char> buffer(1024 * 1024);
    for (;;) {
      const ssize_t got = ::recv(m_socket.Get(), buffer.data(), buffer.size(), 0);
      if (got == 0 || (got < 0 && errno == ECONNRESET)) return data;
      if (got < 0) return std::nullopt;
      data.append(buffer.data(), static_cast<std::size_t>(got));
    }
  }

 private:
  CSocket m_socket;
  bool m_bConnected = false;
};

class GenericServer : public ::testing::Test {
 protected:
  std::string LogText() const { return m_dir.LogText(); }
  // On a port the system gives, which no other test can take meanwhile.
  bool Run(CGenericServer& server, int nClientTimeout) {
    if (!server.Run(0, nClientTimeout)) return false;
    m_nPort = server.m_nPort;
    return m_nPort > 0;
  }

  CLogDir m_dir;
  int m_nPort = 0;
};

TEST_F(GenericServer, RequestInSeveralPacketsReachesParseRequestOnceAndWhole) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 5000));

  CClient client(m_nPort);
  ASSERT_TRUE(client.Connected());
  const std::string pieces[] = {"GET /a", ".swf HTTP/1.0\r\n", "Host: x\r\n", "\r\n"};
  for (const std::string& piece : pieces) {
    ASSERT_TRUE(client.Send(piece));
    std::this_thread::sleep_for(30ms);
  }
  const std::string whole = "GET /a.swf HTTP/1.0\r\nHost: x\r\n\r\n";
  EXPECT_EQ(client.ReceiveToClose(), "reply to " + whole);
  EXPECT_EQ(server.Requests(), std::vector<std::string>{whole});

  const auto accepted = server.Accepted();
  ASSERT_EQ(accepted.size(), 1u);
  EXPECT_EQ(accepted[0].first, "127.0.0.1");
  EXPECT_EQ(accepted[0].second, client.LocalPortAsOnTheWire());
  EXPECT_TRUE(server.Shutdown());
  EXPECT_EQ(LogText(), "");
}

TEST_F(GenericServer, ListensOnTheLoopbackAddressOnly) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 0));
  char szLocal[48];
  std::snprintf(szLocal, sizeof(szLocal), "0100007F:%04X 00000000:0000 0A", m_nPort);
  char szAny[48];
  std::snprintf(szAny, sizeof(szAny), "00000000:%04X 00000000:0000 0A", m_nPort);
  const std::string table = ReadWholeFile("/proc/net/tcp");
  EXPECT_NE(table.find(szLocal), std::string::npos) << table;
  EXPECT_EQ(table.find(szAny), std::string::npos);
}

TEST_F(GenericServer, SilentConnectionIsClosedAfterTheClientTimeoutWithoutLogLine) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 150));
  CClient client(m_nPort);
  ASSERT_TRUE(client.Connected());
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(client.ReceiveToClose(), "");
  EXPECT_GE(std::chrono::steady_clock::now() - start, 100ms);
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(server.Shutdown());
  EXPECT_EQ(LogText(), "");
}

// More than the server's send buffer (at most 4 MiB here) and the client's
// fixed receive buffer (twice what is asked for) together can hold.
constexpr std::size_t kLargeReply = 6 * 1024 * 1024;
constexpr int kSmallReceiveBuffer = 256 * 1024;

// Bytes whose every offset is recognisable: a 4,094-byte cycle of letters
// does not line up with any buffer or slice size.
std::string Pattern(std::size_t n) {
  std::string data;
  for (std::size_t i = 0; i < 4093; ++i) data += static_cast<char>('a' + (i * 7) % 26);
  data += static_cast<char>('A');
  while (data.size() < n) data += data;
  data.resize(n);
  return data;
}

TEST_F(GenericServer, ReplyLargerThanTheSocketBuffersCompletesFromTheSavedOffset) {
  const std::string big = Pattern(kLargeReply);
  CTestServer server([&](const std::string&, std::string& reply, int&) {
    reply = big;
    return true;
  });
  ASSERT_TRUE(Run(server, 5000));
  CClient client(m_nPort, kSmallReceiveBuffer);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send("GET /big HTTP/1.0\r\n\r\n"));
  std::this_thread::sleep_for(200ms);  // the server runs into a full send buffer meanwhile
  const std::optional<std::string> received = client.ReceiveToClose(big.size());
  ASSERT_TRUE(received.has_value());
  ASSERT_EQ(received->size(), big.size());
  EXPECT_TRUE(*received == big);
  EXPECT_EQ(server.WaitForSent(1), std::vector<std::uint32_t>{static_cast<std::uint32_t>(big.size())});
}

TEST_F(GenericServer, KeptAliveConnectionServesRequestsEachWithAnEmptiedAccumulator) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 5000));
  CClient client(m_nPort);
  ASSERT_TRUE(client.Connected());
  const std::string requests[] = {"one keep\r\n\r\n", "two keep\r\n\r\n", "three\r\n\r\n"};
  for (const std::string& request : requests) {
    ASSERT_TRUE(client.Send(request));
    const std::string expected = "reply to " + request;
    EXPECT_EQ(client.Receive(expected.size()), expected);
  }
  EXPECT_EQ(client.ReceiveToClose(), "");  // the last one did not ask to stay open
  EXPECT_EQ(server.Requests(), std::vector<std::string>(std::begin(requests), std::end(requests)));
  EXPECT_EQ(server.WaitForSent(3).size(), 3u);
}

TEST_F(GenericServer, RequestSentWhileAReplyIsPendingWaitsForTheNextTurn) {
  const std::string big = Pattern(kLargeReply);
  CTestServer server([&](const std::string& request, std::string& reply, int& keepAlive) {
    keepAlive = 1;
    reply = request.find("big") != std::string::npos ? big : "small";
    return true;
  });
  ASSERT_TRUE(Run(server, 5000));
  CClient client(m_nPort, kSmallReceiveBuffer);
  ASSERT_TRUE(client.Connected());
  ASSERT_TRUE(client.Send("big\r\n\r\n"));
  // The next request goes out only once the first is being answered.
  for (int i = 0; i < 1000 && server.Requests().empty(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(server.Requests().size(), 1u);
  std::this_thread::sleep_for(200ms);  // the reply fills the buffers and waits to be read
  ASSERT_TRUE(client.Send("next\r\n\r\n"));
  const std::string first = client.Receive(big.size());
  EXPECT_TRUE(first == big) << "the first reply was cut after " << first.size() << " bytes";
  EXPECT_EQ(client.Receive(5), "small");
  EXPECT_EQ(server.Requests(), (std::vector<std::string>{"big\r\n\r\n", "next\r\n\r\n"}));
}

TEST_F(GenericServer, RunTwiceFailsWithTheLaunchLineAndShutdownOfAStoppedServerIsSilent) {
  CTestServer server;
  EXPECT_FALSE(server.Shutdown());
  EXPECT_EQ(LogText(), "");

  ASSERT_TRUE(Run(server, 0));
  EXPECT_FALSE(server.Run(m_nPort, 0));
  EXPECT_NE(LogText().find(" - _beginthreadex(...) failure, for Launch Thread.\t[Run]\t["), std::string::npos)
      << LogText();
  EXPECT_TRUE(server.Shutdown());
  EXPECT_FALSE(server.Shutdown());
  const std::string text = LogText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;

  // A stopped server starts again on the same port and serves.
  ASSERT_TRUE(server.Run(m_nPort, 0));
  EXPECT_EQ(server.m_nPort, m_nPort);
  CClient client(m_nPort);
  ASSERT_TRUE(client.Send("again\r\n\r\n"));
  EXPECT_EQ(client.ReceiveToClose(), "reply to again\r\n\r\n");
}

// The port is had or not before Run returns: a taken one gives the bind
// line at once, without waiting for a thread that cannot start.
TEST_F(GenericServer, TakenPortGivesTheBindLineAtOnce) {
  CSocket other(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(::bind(other.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  socklen_t nLength = sizeof(address);
  ASSERT_EQ(::getsockname(other.Get(), reinterpret_cast<sockaddr*>(&address), &nLength), 0);
  m_nPort = ntohs(address.sin_port);

  // Bound only, not listening, and then listening: either way it is taken.
  CTestServer server;
  EXPECT_FALSE(server.Run(m_nPort, 0));
  ASSERT_EQ(::listen(other.Get(), 1), 0);
  EXPECT_FALSE(server.Run(m_nPort, 0));

  const std::string bindLine = " - bind(...) failure.\t[AcceptThread]\t[" + std::to_string(EADDRINUSE) + "]\r\n";
  EXPECT_EQ(CountOf(LogText(), bindLine), 2) << LogText();
  EXPECT_EQ(CountOf(LogText(), "\n"), 2) << LogText();
  EXPECT_FALSE(server.Shutdown());  // it never ran
}

TEST_F(GenericServer, ShutdownEndsOpenConnectionsAndReturnsTrue) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 0));
  std::vector<std::unique_ptr<CClient>> clients;
  for (int i = 0; i < 4; ++i) {
    clients.push_back(std::make_unique<CClient>(m_nPort));
    ASSERT_TRUE(clients.back()->Connected());
    ASSERT_TRUE(clients.back()->Send("half a request"));
  }
  // Every connection has its thread before the stop.
  for (int i = 0; i < 200 && server.Accepted().size() < clients.size(); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(server.Accepted().size(), clients.size());

  EXPECT_TRUE(server.Shutdown());
  for (auto& client : clients) EXPECT_EQ(client->ReceiveToClose(), "");
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_EQ(LogText(), "");
  EXPECT_FALSE(CClient(m_nPort).Connected());
}

TEST_F(GenericServer, UnendedRequestPast64KiBEndsTheConnectionWithOneLine) {
  CTestServer server;
  ASSERT_TRUE(Run(server, 5000));
  CClient client(m_nPort);
  ASSERT_TRUE(client.Connected());
  const std::string chunk(16 * 1024, 'h');
  for (int i = 0; i < 5; ++i) client.Send(chunk);  // 80 KiB, never an empty line
  EXPECT_EQ(client.ReceiveToClose(), "");
  EXPECT_TRUE(server.Requests().empty());
  EXPECT_TRUE(server.Shutdown());

  const std::string text = LogText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("\t[ClientThread]\t["), std::string::npos) << text;

  // Just under the limit, a request is still served.
  ASSERT_TRUE(Run(server, 5000));
  CClient large(m_nPort);
  const std::string request = std::string(60 * 1024, 'g') + "\r\n\r\n";
  ASSERT_TRUE(large.Send(request));
  const std::optional<std::string> reply = large.ReceiveToClose();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(reply->size(), std::string("reply to ").size() + request.size());
}

TEST_F(GenericServer, FailingRequestHandlerEndsOnlyItsOwnConnection) {
  CTestServer server([](const std::string& request, std::string& reply, int&) {
    if (request.find("throw") != std::string::npos) throw std::runtime_error("bad request");
    if (request.find("refuse") != std::string::npos) return false;
    reply = "fine";
    return true;
  });
  ASSERT_TRUE(Run(server, 5000));

  CClient throwing(m_nPort);
  ASSERT_TRUE(throwing.Send("throw\r\n\r\n"));
  EXPECT_EQ(throwing.ReceiveToClose(), "");
  CClient refused(m_nPort);
  ASSERT_TRUE(refused.Send("refuse\r\n\r\n"));
  EXPECT_EQ(refused.ReceiveToClose(), "");
  CClient served(m_nPort);
  ASSERT_TRUE(served.Send("ok\r\n\r\n"));
  EXPECT_EQ(served.ReceiveToClose(), "fine");

  EXPECT_TRUE(server.Shutdown());
  const std::string text = LogText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;  // only the exception is a failure
  EXPECT_NE(text.find("\t[ClientThread]\t[0]\r\n"), std::string::npos) << text;
}

TEST_F(GenericServer, ConnectionsPastTheCapAreClosedUnservedWithOneLinePerBurst) {
  constexpr std::size_t kCap = 256;
  CTestServer server;
  ASSERT_TRUE(Run(server, 0));
  std::vector<std::unique_ptr<CClient>> held;
  for (std::size_t i = 0; i < kCap; ++i) {
    held.push_back(std::make_unique<CClient>(m_nPort));
    ASSERT_TRUE(held.back()->Connected());
  }
  for (int i = 0; i < 1000 && server.Accepted().size() < kCap; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_EQ(server.Accepted().size(), kCap);

  for (int i = 0; i < 3; ++i) {
    CClient extra(m_nPort);
    extra.Send("one too many\r\n\r\n");
    EXPECT_EQ(extra.ReceiveToClose(), "");
  }
  EXPECT_EQ(server.Accepted().size(), kCap);
  EXPECT_TRUE(server.Requests().empty());

  // Once one has ended, connections are served again.
  held.pop_back();
  std::optional<std::string> reply;
  for (int i = 0; i < 200 && reply != "reply to again\r\n\r\n"; ++i) {
    std::this_thread::sleep_for(10ms);
    CClient next(m_nPort);
    next.Send("again\r\n\r\n");
    reply = next.ReceiveToClose();
  }
  EXPECT_EQ(reply, "reply to again\r\n\r\n");
  held.clear();
  EXPECT_TRUE(server.Shutdown());
  const std::string text = LogText();
  EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
  EXPECT_NE(text.find("\t[AcceptThread]\t[256]\r\n"), std::string::npos) << text;
}

// Threads of this process.
std::size_t ThreadCount() {
  return static_cast<std::size_t>(std::distance(std::filesystem::directory_iterator("/proc/self/task"), {}));
}

// Threads of this process before a server starts. ThreadSanitizer starts a
// thread of its own with the process's first new thread: one thread is made
// and joined first, so that one is counted here too.
std::size_t IdleProcessThreadCount() {
  std::thread([] {}).join();
  return ThreadCount();
}

// The kernel's id of the calling thread: unlike a pthread_t, never handed
// to another thread while this one lives.
long KernelThreadId() { return ::syscall(SYS_gettid); }

TEST_F(GenericServer, ConnectionThreadsServeOneConnectionAfterAnotherAndEndWhenIdle) {
  std::mutex mutex;
  std::vector<long> servedBy;
  CTestServer server([&](const std::string& request, std::string& reply, int& keepAlive) {
    std::lock_guard<std::mutex> lock(mutex);
    servedBy.push_back(KernelThreadId());
    return CTestServer::EchoHandler(request, reply, keepAlive);
  });
  server.SetIdleTimeout(1s);
  const std::size_t nIdleProcess = IdleProcessThreadCount();
  ASSERT_TRUE(Run(server, 5000));
  const std::size_t nRunning = ThreadCount();

  // Three at once take three threads; the three after them find those waiting.
  for (int wave = 0; wave < 2; ++wave) {
    std::vector<std::unique_ptr<CClient>> clients;
    for (int i = 0; i < 3; ++i) {
      clients.push_back(std::make_unique<CClient>(m_nPort));
      ASSERT_TRUE(clients.back()->Send("half"));
    }
    for (int i = 0; i < 400 && server.Accepted().size() < 3u * (wave + 1); ++i) std::this_thread::sleep_for(5ms);
    for (auto& client : clients) {
      ASSERT_TRUE(client->Send(" a request\r\n\r\n"));
      EXPECT_EQ(client->ReceiveToClose(), "reply to half a request\r\n\r\n");
    }
    EXPECT_EQ(ThreadCount(), nRunning + 3);
  }
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(servedBy.size(), 6u);
    EXPECT_EQ(std::set<long>(servedBy.begin(), servedBy.end()).size(), 3u);
    EXPECT_EQ(std::set<long>(servedBy.begin(), servedBy.begin() + 3),
              std::set<long>(servedBy.begin() + 3, servedBy.end()));
  }
  // Waiting longer than their time, they end and are joined.
  for (int i = 0; i < 600 && ThreadCount() > nRunning; ++i) std::this_thread::sleep_for(5ms);
  EXPECT_EQ(ThreadCount(), nRunning);
  CClient again(m_nPort);
  ASSERT_TRUE(again.Send("again\r\n\r\n"));
  EXPECT_EQ(again.ReceiveToClose(), "reply to again\r\n\r\n");
  EXPECT_TRUE(server.Shutdown());
  EXPECT_EQ(ThreadCount(), nIdleProcess);
  EXPECT_EQ(LogText(), "");
}

// A server that notes any call it gets once Shutdown has returned.
class CWatchedServer : public CTestServer {
 public:
  using CTestServer::CTestServer;
  int OnClientAccepted(const std::string& strAddress, std::uint16_t nPort) override {
    Touched();
    m_bAccepting = true;
    if (m_bHoldAccept) {
      // The accept thread held past the stop's bound, then back in the server.
      while (!Stopping()) std::this_thread::sleep_for(5ms);
      std::this_thread::sleep_for(m_shutdownTimeout + 100ms);
      Touched();
    }
    return CTestServer::OnClientAccepted(strAddress, nPort);
  }
  int OnReplySent(std::uint32_t nBytesSent) override {
    Touched();
    return CTestServer::OnReplySent(nBytesSent);
  }
  bool IsRequestComplete(std::string strRequest) override {
    Touched();
    return CTestServer::IsRequestComplete(std::move(strRequest));
  }
  bool ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) override {
    Touched();
    return CTestServer::ParseRequest(std::move(strRequest), strReply, bKeepAlive);
  }
  void Touched() {
    if (m_bShutDown) ++m_nTouchedAfterwards;
  }
  bool ShutdownAndWatch() {
    const bool bResult = Shutdown();
    m_bShutDown = true;
    return bResult;
  }
  bool m_bHoldAccept = false;
  std::atomic<bool> m_bAccepting{false};
  std::atomic<bool> m_bShutDown{false};
  std::atomic<int> m_nTouchedAfterwards{0};
};

TEST_F(GenericServer, ShutdownWithStuckConnectionsReturnsInTimeAndNothingTouchesTheServerAfterwards) {
  const std::string big = Pattern(kLargeReply);
  std::atomic<bool> bStalled{false};
  std::unique_ptr<CWatchedServer> server;
  server = std::make_unique<CWatchedServer>([&](const std::string& request, std::string& reply, int& keepAlive) {
    if (request.find("stall") != std::string::npos) {
      // Busy as a fetch from a site that stalls, until the server stops.
      bStalled = true;
      while (!server->Stopping()) std::this_thread::sleep_for(5ms);
      return false;
    }
    if (request.find("big") != std::string::npos) {
      reply = big;
      return true;
    }
    return CTestServer::EchoHandler(request, reply, keepAlive);
  });
  const std::size_t nIdleProcess = IdleProcessThreadCount();
  ASSERT_TRUE(Run(*server, 0));

  CClient silent(m_nPort);
  CClient half(m_nPort);
  ASSERT_TRUE(half.Send("GET /a"));
  CClient stalled(m_nPort);
  ASSERT_TRUE(stalled.Send("stall\r\n\r\n"));
  CClient notReading(m_nPort, kSmallReceiveBuffer);
  ASSERT_TRUE(notReading.Send("big\r\n\r\n"));
  CClient done(m_nPort);  // its thread then waits for another connection
  ASSERT_TRUE(done.Send("done\r\n\r\n"));
  EXPECT_EQ(done.ReceiveToClose(), "reply to done\r\n\r\n");
  for (int i = 0; i < 400 && (server->Accepted().size() < 5 || !bStalled); ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(bStalled);
  std::this_thread::sleep_for(200ms);  // the big reply fills the buffers

  // True: every thread ended within the bound.
  EXPECT_TRUE(server->ShutdownAndWatch());
  EXPECT_EQ(ThreadCount(), nIdleProcess);
  for (CClient* client : {&silent, &half, &stalled}) EXPECT_EQ(client->ReceiveToClose(), "");
  std::this_thread::sleep_for(100ms);
  EXPECT_EQ(server->m_nTouchedAfterwards, 0);
  EXPECT_EQ(LogText(), "");
  server.reset();  // at once: a thread still at work would use it after it has gone
}

TEST_F(GenericServer, ServiceThreadHeldPastTheBoundIsWaitedForNeverLetGo) {
  auto server = std::make_unique<CWatchedServer>();
  server->m_bHoldAccept = true;
  ASSERT_TRUE(Run(*server, 0));
  CClient client(m_nPort);
  ASSERT_TRUE(client.Send("GET /a.swf HTTP/1.0\r\n\r\n"));
  for (int i = 0; i < 400 && !server->m_bAccepting; ++i) std::this_thread::sleep_for(5ms);
  ASSERT_TRUE(server->m_bAccepting);

  EXPECT_FALSE(server->ShutdownAndWatch());
  std::this_thread::sleep_for(300ms);  // past the end of the hold
  EXPECT_EQ(server->m_nTouchedAfterwards, 0);
  EXPECT_EQ(CountOf(LogText(), " - WaitForMultipleObjects(...) timed out.\t[Shutdown]\t[0]\r\n"), 1) << LogText();
  server.reset();
}

// A derived class with nothing of its own to protect, left running.
class CBareServer : public CGenericServer {
 public:
  int OnClientAccepted(const std::string&, std::uint16_t) override {
    m_nAccepted.fetch_add(1);
    return 0;
  }
  int OnReplySent(std::uint32_t) override { return 0; }
  bool IsRequestComplete(std::string) override { return false; }
  bool ParseRequest(std::string, std::string&, int&) override { return false; }
  std::atomic<int> m_nAccepted{0};
};

TEST_F(GenericServer, ServerDestroyedWhileRunningStopsItsThreadsFirst) {
  std::optional<CClient> client;
  {
    auto server = std::make_unique<CBareServer>();
    ASSERT_TRUE(Run(*server, 0));
    client.emplace(m_nPort);
    for (int i = 0; i < 200 && server->m_nAccepted.load() == 0; ++i) std::this_thread::sleep_for(5ms);
    ASSERT_EQ(server->m_nAccepted.load(), 1);
  }
  EXPECT_EQ(client->ReceiveToClose(), "");
  EXPECT_FALSE(CClient(m_nPort).Connected());
}

}  // namespace
