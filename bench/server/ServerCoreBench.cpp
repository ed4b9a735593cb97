// Round trips of small requests on one kept-alive connection, one new
// connection per request, and the cost of one run-log line.
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include "server/GenericServer.h"

namespace {

class CBenchServer : public CGenericServer {
 public:
  ~CBenchServer() override { Shutdown(); }
  int OnClientAccepted(const std::string&, std::uint16_t) override { return 0; }
  int OnReplySent(std::uint32_t) override { return 0; }
  bool IsRequestComplete(std::string s) override {
    return s.size() >= 4 && s.compare(s.size() - 4, 4, "\r\n\r\n") == 0;
  }
  bool ParseRequest(std::string s, std::string& reply, int& keepAlive) override {
    keepAlive = s[0] == 'K';
    reply.assign(1024, 'r');
    return true;
  }
};

constexpr int kPort = 39898;

CSocket Connect() {
  CSocket s(::socket(AF_INET, SOCK_STREAM, 0));
  const int one = 1;
  ::setsockopt(s.Get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(kPort);
  ::connect(s.Get(), reinterpret_cast<sockaddr*>(&a), sizeof(a));
  return s;
}

bool ReadReply(int fd) {
  char buffer[4096];
  std::size_t got = 0;
  while (got < 1024) {
    const ssize_t n = ::recv(fd, buffer, sizeof(buffer), 0);
    if (n <= 0) return false;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

void BM_KeepAliveRoundTrip(benchmark::State& state) {
  CBenchServer server;
  if (!server.Run(kPort, 20000)) return state.SkipWithError("port taken");
  CSocket s = Connect();
  const std::string request = "K /a.swf HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n";
  for (auto _ : state) {
    ::send(s.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    if (!ReadReply(s.Get())) return state.SkipWithError("no reply");
  }
}
BENCHMARK(BM_KeepAliveRoundTrip);

void BM_ConnectionPerRequest(benchmark::State& state) {
  CBenchServer server;
  if (!server.Run(kPort, 20000)) return state.SkipWithError("port taken");
  const std::string request = "G /a.swf HTTP/1.0\r\n\r\n";
  for (auto _ : state) {
    CSocket s = Connect();
    ::send(s.Get(), request.data(), request.size(), MSG_NOSIGNAL);
    if (!ReadReply(s.Get())) return state.SkipWithError("no reply");
  }
}
BENCHMARK(BM_ConnectionPerRequest);

void BM_LogLine(benchmark::State& state) {
  char szDir[] = "/tmp/tessel-bench-XXXXXX";
  if (!::mkdtemp(szDir)) return state.SkipWithError("no temporary directory");
  setenv("WINDIR", szDir, 1);
  CLog log;
  for (auto _ : state) log.WriteLog("WSARecv(...) failure", "ClientThread", 104);
  log.DeleteLogFile();
  ::rmdir(szDir);
}
BENCHMARK(BM_LogLine);

}  // namespace
