// The exported socket client reading what any web server answers: the input
// is the whole answer, sent from a loopback connection that then ends, read
// and asked about as a module using the client does.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

#include "net/HttpSocket.h"

namespace {

// The answer fits the connection's buffers, so it is all sent before the
// client reads.
constexpr std::size_t kMaxAnswer = 16 * 1024;

// The web server's listening socket on 127.0.0.1.
class CListener {
 public:
  CListener() : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t nLength = sizeof address;
    if (::bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(m_fd, 4) != 0 ||
        ::getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &nLength) != 0) {
      std::perror("listener");
      std::abort();
    }
    m_nPort = ntohs(address.sin_port);
  }
  ~CListener() { ::close(m_fd); }
  int Accept() const { return ::accept4(m_fd, nullptr, nullptr, SOCK_CLOEXEC); }
  int Port() const { return m_nPort; }

 private:
  int m_fd;
  int m_nPort = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* pData, std::size_t nSize) {
  static const CListener listener;
  char szHost[] = "127.0.0.1";
  char szObject[] = "/course/a.mp3";
  CHttpSocket client;
  if (!client.Socket() || !client.Connect(szHost, listener.Port())) std::abort();
  const int server = listener.Accept();
  if (server < 0) std::abort();
  for (std::size_t nSent = 0, nEnd = std::min(nSize, kMaxAnswer); nSent < nEnd;) {
    const ssize_t n = ::send(server, pData + nSent, nEnd - nSent, MSG_NOSIGNAL);
    if (n <= 0) std::abort();
    nSent += static_cast<std::size_t>(n);
  }
  ::shutdown(server, SHUT_WR);

  long nLength = 0;
  client.FormatRequestHeader(szHost, szObject, nLength, nullptr, nullptr, 100, 0, 0);
  client.SendRequest(nullptr, 0);
  // Unread, the request makes this close a reset: no end of the connection
  // waits out its time, which thousands of them a second would otherwise do.
  ::close(server);
  client.GetServerState();
  char szValue[1024];
  for (const char* pszName : {"Content-Length", "Content-Type", "Location", "Set-Cookie", "Connection", "Server"})
    client.GetField(pszName, szValue, sizeof szValue);
  client.GetField("Content-Range", szValue, 4);
  char szLine[1024];
  while (client.GetResponseLine(szLine, sizeof szLine) >= 0) {
  }
  while (client.GetResponseLine(szLine, 3) >= 0) {
  }
  int nHeaderLength = 0;
  client.GetResponseHeader(nHeaderLength);
  char body[4096];
  while (client.Receive(body, sizeof body) > 0) {
  }
  return 0;
}
