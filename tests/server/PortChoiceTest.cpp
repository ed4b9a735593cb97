#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <latch>
#include <random>
#include <sstream>
#include <thread>

#include "RawOrigin.h"
#include "TempDir.h"
#include "server/HTTPServer.h"
#include "server/PortChoice.h"
#include "support/Handles.h"

using support::CFd;

namespace {

// A TCP or UDP socket on 127.0.0.1 (or ::1), port nPort (0: any); -1 when taken.
CFd BoundSocket(int nPort, int nType = SOCK_STREAM, int nFamily = AF_INET) {
  CFd fd(::socket(nFamily, nType | SOCK_CLOEXEC, 0));
  int rc;
  if (nFamily == AF_INET6) {
    sockaddr_in6 addr{};
    addr.sin6_family = AF_INET6;
    addr.sin6_addr = in6addr_loopback;
    addr.sin6_port = htons(static_cast<uint16_t>(nPort));
    rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  } else {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(nPort));
    rc = ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
  }
  return rc == 0 ? std::move(fd) : CFd();
}

CFd Listener(int nPort, int nFamily = AF_INET) {
  CFd fd = BoundSocket(nPort, SOCK_STREAM, nFamily);
  if (fd.Get() >= 0 && ::listen(fd.Get(), 8) != 0) return CFd();
  return fd;
}

int LocalPort(int fd) {
  sockaddr_in addr{};
  socklen_t nLen = sizeof addr;
  ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &nLen);
  return ntohs(addr.sin_port);
}

// Three neighbouring ports that nothing uses, below the ephemeral range so no
// other connection of the machine picks them meanwhile.
int FreeRunOfThree() {
  std::mt19937 random(std::random_device{}());
  std::uniform_int_distribution<int> pick(20000, 30000);
  for (;;) {
    int p = pick(random);
    if (!IsPortInUse(p) && !IsPortInUse(p + 1) && !IsPortInUse(p + 2)) return p;
  }
}

// State column of the IPv4 row whose local port is nPort ("06" is TIME_WAIT).
std::string StateOfLocalPort(int nPort) {
  std::ifstream table("/proc/net/tcp");
  std::string strRow;
  std::getline(table, strRow);
  while (std::getline(table, strRow)) {
    std::istringstream fields(strRow);
    std::string strSlot, strLocal, strRemote, strState;
    fields >> strSlot >> strLocal >> strRemote >> strState;
    if (std::stoi(strLocal.substr(strLocal.find(':') + 1), nullptr, 16) == nPort) return strState;
  }
  return {};
}

// A connection whose accepting side closed first: its local port p stays in
// TIME_WAIT after the listener is gone.
void LeaveTimeWaitOn(int nPort) {
  CFd listener = Listener(nPort);
  ASSERT_GE(listener.Get(), 0);
  CFd client(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = htons(static_cast<uint16_t>(nPort));
  ASSERT_EQ(::connect(client.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  {
    CFd accepted(::accept(listener.Get(), nullptr, nullptr));
    ASSERT_GE(accepted.Get(), 0);
  }
  char c;
  ASSERT_EQ(::recv(client.Get(), &c, 1, 0), 0);  // the FIN of the accepted side
  client = CFd();
  listener = CFd();
  for (int i = 0; i < 200 && StateOfLocalPort(nPort) != "06"; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(StateOfLocalPort(nPort), "06");
}

TEST(PortChoice, ListenerAndTimeWaitBothTakeTheirPorts) {
  int p = FreeRunOfThree();
  CFd listener = Listener(p);
  ASSERT_GE(listener.Get(), 0);
  LeaveTimeWaitOn(p + 1);

  EXPECT_TRUE(IsPortInUse(p));
  EXPECT_TRUE(IsPortInUse(p + 1));
  EXPECT_FALSE(IsPortInUse(p + 2));
  EXPECT_EQ(ChooseFreePort(p), p + 2);
  EXPECT_EQ(ChooseFreePort(p + 2), p + 2);
}

TEST(PortChoice, ATakenPortIsSeenAmongMoreThan119Sockets) {
  std::vector<CFd> crowd;
  for (int i = 0; i < 150; ++i) {
    crowd.push_back(Listener(0));
    ASSERT_GE(crowd.back().Get(), 0);
  }
  CFd taken = Listener(0);
  ASSERT_GE(taken.Get(), 0);
  ASSERT_GT(CTcpTable::ReadSystem().GetRowCount(), 119u);

  EXPECT_TRUE(IsPortInUse(LocalPort(taken.Get())));
  EXPECT_TRUE(IsPortInUse(LocalPort(crowd.front().Get())));
}

TEST(PortChoice, IPv6ListenersCountAndUdpSocketsDoNot) {
  int p = FreeRunOfThree();
  CFd v6 = Listener(p, AF_INET6);
  CFd udp = BoundSocket(p + 1, SOCK_DGRAM);
  if (v6.Get() < 0) GTEST_SKIP() << "no IPv6 loopback here";
  ASSERT_GE(udp.Get(), 0);

  EXPECT_TRUE(IsPortInUse(p));
  EXPECT_FALSE(IsPortInUse(p + 1));
}

TEST(PortChoice, UnreadableTableMakesEveryPortFree) {
  CFd listener = Listener(0);
  int nPort = LocalPort(listener.Get());
  ASSERT_TRUE(CTcpTable::ReadSystem().HasLocalPort(nPort));

  CTcpTable none = CTcpTable::Read({"/nonexistent/tcp"});
  EXPECT_EQ(none.GetRowCount(), 0u);
  EXPECT_FALSE(none.HasLocalPort(nPort));
}

TEST(PortChoice, RowsAreReadInTheKernelsLayout) {
  char szPath[] = "/tmp/tcp-table-XXXXXX";
  CFd file(::mkstemp(szPath));
  ASSERT_GE(file.Get(), 0);
  std::ofstream(szPath)
      << "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
         "   0: 0100007F:26AA 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 1 0 100 0 0 10 "
         "0\n"
         "   1: 0100007F:E1C4 0100007F:26AA 06 00000000:00000000 03:00000aa4 00000000     0        0 0 3 0\n"
         "garbage line\n";
  CTcpTable table = CTcpTable::Read({szPath, "/nonexistent/tcp6"});
  ::unlink(szPath);

  EXPECT_EQ(table.GetRowCount(), 2u);
  EXPECT_TRUE(table.HasLocalPort(9898));
  EXPECT_TRUE(table.HasLocalPort(0xE1C4));
  EXPECT_FALSE(table.HasLocalPort(9899));  // a remote port only
}

// The resource server as the program starts it, from a first port, with
// the product site in a folder that has nothing.
class CPortServer : public CHTTPServer {
 public:
  CPortServer() { ::setenv("QUILLBY_BASE_URL", m_site.Path().c_str(), 1); }
  ~CPortServer() override { Stop(); }
  bool Start(int nFirstPort) {
    WriteWholeFile(m_root.Path() + "/INDEX.HTML", "home");
    return CHTTPServer::Start(m_root.Path(), "INDEX.HTML", nFirstPort, 5000);
  }
  // True when m_nPort answers with this server's page.
  bool Answers() const {
    const std::string strReply = testing_support::HttpExchange(m_nPort, "GET / HTTP/1.0\r\n\r\n");
    return strReply.starts_with("HTTP/1.0 200 OK\r\n") && strReply.ends_with("\r\n\r\nhome");
  }

 private:
  CTempDir m_root, m_site;
};

// A neighbour that has bound the first port but does not listen yet is not
// in the TCP table. The server must not report a port it does not hold (the
// window would load the neighbour's page once it listens).
TEST(ServerPort, APortBoundButNotListeningIsNotTaken) {
  CLogDir log;
  for (const int nReuse : {0, 1}) {
    const int p = FreeRunOfThree();
    CFd squatter(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    ::setsockopt(squatter.Get(), SOL_SOCKET, SO_REUSEADDR, &nReuse, sizeof nReuse);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(p));
    ASSERT_EQ(::bind(squatter.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_FALSE(IsPortInUse(p));

    CPortServer server;
    ASSERT_TRUE(server.Start(p)) << "SO_REUSEADDR " << nReuse;
    EXPECT_TRUE(server.Answers());
    // Whoever holds p now, it is one of them only.
    EXPECT_EQ(::listen(squatter.Get(), 1) == 0, server.m_nPort != p) << "SO_REUSEADDR " << nReuse;
  }
}

// Two copies of the program started at the same instant: each has a port
// of its own.
TEST(ServerPort, ServersStartedAtTheSameInstantTakeAPortEach) {
  CLogDir log;
  for (int nRound = 0; nRound < 10; ++nRound) {
    const int p = FreeRunOfThree();
    CPortServer first, second;
    std::latch ready(2);
    bool bFirst = false, bSecond = false;
    std::thread other([&] {
      ready.arrive_and_wait();
      bSecond = second.Start(p);
    });
    ready.arrive_and_wait();
    bFirst = first.Start(p);
    other.join();
    ASSERT_TRUE(bFirst && bSecond) << "round " << nRound;
    EXPECT_NE(first.m_nPort, second.m_nPort);
    EXPECT_TRUE(first.Answers());
    EXPECT_TRUE(second.Answers());
  }
}

TEST(ServerPort, NoPortPast65535) {
  CLogDir log;
  CFd last = Listener(65535);
  if (last.Get() < 0) GTEST_SKIP() << "port 65535 is taken here";
  CPortServer server;
  EXPECT_FALSE(server.Start(65535));
  EXPECT_NE(log.LogText().find("No free port left from ->.\t[Start]\t[65535]"), std::string::npos) << log.LogText();
}

}  // namespace
