#include "server/TestOrigins.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <stdexcept>

namespace testing_origins {

CHttplibOrigin::CHttplibOrigin() {
  m_nPort = m_server.bind_to_any_port("127.0.0.1");
  if (m_nPort <= 0) throw std::runtime_error("test origin cannot bind");
}

void CHttplibOrigin::Start() {
  m_thread = std::thread([this] { m_server.listen_after_bind(); });
  while (!m_server.is_running()) std::this_thread::yield();
}

CHttplibOrigin::~CHttplibOrigin() {
  m_server.stop();
  if (m_thread.joinable()) m_thread.join();
}

std::string CHttplibOrigin::Url(const std::string& strPath) const {
  return "http://127.0.0.1:" + std::to_string(m_nPort) + strPath;
}

CRawOrigin::CRawOrigin(Handler handler)
    : m_handler(std::move(handler)),
      m_listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)),
      m_stopEvent(::eventfd(0, EFD_CLOEXEC)) {
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nLen = sizeof addr;
  if (::bind(m_listener.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(m_listener.Get(), 16) != 0 ||
      ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&addr), &nLen) != 0) {
    throw std::runtime_error("raw origin cannot listen");
  }
  m_nPort = ntohs(addr.sin_port);
  m_thread = std::thread([this] { Serve(); });
}

CRawOrigin::~CRawOrigin() {
  std::uint64_t nOne = 1;
  (void)!::write(m_stopEvent.Get(), &nOne, sizeof nOne);
  m_thread.join();
}

std::string CRawOrigin::Url(const std::string& strPath) const {
  return "http://127.0.0.1:" + std::to_string(m_nPort) + strPath;
}

std::vector<std::string> CRawOrigin::Requests() const {
  std::lock_guard<std::mutex> lock(m_lock);
  return m_requests;
}

void CRawOrigin::Serve() {
  for (;;) {
    pollfd fds[2] = {{m_listener.Get(), POLLIN, 0}, {m_stopEvent.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) continue;
    if (fds[1].revents) return;
    CFd client(::accept4(m_listener.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.Get() < 0) continue;
    std::string strRequest;
    char buf[4096];
    while (strRequest.find("\r\n\r\n") == std::string::npos) {
      ssize_t n = ::recv(client.Get(), buf, sizeof buf, 0);
      if (n <= 0) break;
      strRequest.append(buf, static_cast<size_t>(n));
    }
    {
      std::lock_guard<std::mutex> lock(m_lock);
      m_requests.push_back(strRequest);
    }
    m_handler(strRequest, client.Get());
  }
}

void SendAll(int fd, const std::string& strBytes) {
  size_t nSent = 0;
  while (nSent < strBytes.size()) {
    ssize_t n = ::send(fd, strBytes.data() + nSent, strBytes.size() - nSent, MSG_NOSIGNAL);
    if (n <= 0) return;
    nSent += static_cast<size_t>(n);
  }
}

void WaitForPeerClose(int fd, int nTimeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  char buf[256];
  while (::poll(&pfd, 1, nTimeoutMs) > 0) {
    if (::recv(fd, buf, sizeof buf, 0) <= 0) return;
  }
}

std::string HeaderValue(const std::string& strRequest, const std::string& strName) {
  size_t nPos = 0;
  while ((nPos = strRequest.find("\r\n", nPos)) != std::string::npos) {
    nPos += 2;
    size_t nColon = strRequest.find(':', nPos);
    size_t nEnd = strRequest.find("\r\n", nPos);
    if (nColon == std::string::npos || nEnd == std::string::npos || nColon > nEnd) continue;
    if (nColon - nPos == strName.size() &&
        ::strncasecmp(strRequest.c_str() + nPos, strName.c_str(), strName.size()) == 0) {
      size_t nValue = strRequest.find_first_not_of(' ', nColon + 1);
      return strRequest.substr(nValue, nEnd - nValue);
    }
  }
  return {};
}

}  // namespace testing_origins

// The Debian cpp-httplib library is not built with ThreadSanitizer; what its
// uninstrumented code does inside the test origin is not ours to judge.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
