#include "RawOrigin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <stdexcept>

namespace testing_support {

namespace {

constexpr int kPatienceMs = 5000;

CFd ListenOnLoopback(int& nPort) {
  CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nSize = sizeof address;
  if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), nSize) != 0 ||
      ::listen(fd.Get(), 16) != 0 || ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &nSize) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  nPort = ntohs(address.sin_port);
  return fd;
}

}  // namespace

bool CRawOrigin::Request::TargetStartsWith(const std::string& prefix) const {
  const auto space = header.find(' ');
  return space != std::string::npos && header.compare(space + 1, prefix.size(), prefix) == 0;
}

CRawOrigin::CRawOrigin(Handler handler)
    : m_handler(std::move(handler)), m_listen(ListenOnLoopback(m_nPort)), m_stop(::eventfd(0, EFD_CLOEXEC)) {
  m_acceptThread = std::thread([this] { Accept(); });
}

CRawOrigin::CRawOrigin(std::vector<std::string> replies)
    : CRawOrigin([replies = std::move(replies), next = std::make_shared<std::atomic<size_t>>(0)](const Request&, int) {
        return replies.empty() ? std::string() : replies[std::min(next->fetch_add(1), replies.size() - 1)];
      }) {}

CRawOrigin::~CRawOrigin() {
  std::uint64_t nOne = 1;
  (void)!::write(m_stop.Get(), &nOne, sizeof nOne);  // wakes every wait, for good
  m_acceptThread.join();
  for (auto& connection : m_connections) connection.join();
}

std::string CRawOrigin::Url(const std::string& strPath) const {
  return "http://127.0.0.1:" + std::to_string(m_nPort) + strPath;
}

std::vector<CRawOrigin::Request> CRawOrigin::Requests() const {
  std::lock_guard lock(m_lock);
  return m_requests;
}

std::vector<CRawOrigin::Request> CRawOrigin::WaitForRequests(size_t count) const {
  std::unique_lock lock(m_lock);
  m_arrived.wait_for(lock, std::chrono::milliseconds(kPatienceMs), [&] { return m_requests.size() >= count; });
  return m_requests;
}

bool CRawOrigin::WaitReadable(int fd) const {
  pollfd fds[2] = {{fd, POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
  return ::poll(fds, 2, -1) > 0 && fds[1].revents == 0 && fds[0].revents != 0;
}

void CRawOrigin::Accept() {
  while (WaitReadable(m_listen.Get())) {
    CFd client(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.IsValid()) m_connections.emplace_back([this, fd = client.Release()] { Serve(CFd(fd)); });
  }
}

void CRawOrigin::Serve(CFd client) {
  std::string strReceived;
  char buffer[65536];
  size_t nHeader = std::string::npos;
  size_t nWanted = std::string::npos;
  while (strReceived.size() < nWanted) {
    // A client that goes before its request is whole gets no answer.
    if (!WaitReadable(client.Get())) return;
    const ssize_t n = ::recv(client.Get(), buffer, sizeof buffer, 0);
    if (n <= 0) return;
    strReceived.append(buffer, static_cast<size_t>(n));
    if (nHeader == std::string::npos && (nHeader = strReceived.find("\r\n\r\n")) != std::string::npos) {
      nHeader += 4;
      const std::string strLength = HeaderValue(strReceived.substr(0, nHeader), "Content-Length");
      nWanted = nHeader + std::strtoul(strLength.c_str(), nullptr, 10);
    }
  }
  Request request{strReceived.substr(0, nHeader), strReceived.substr(nHeader)};
  {
    std::lock_guard lock(m_lock);
    m_requests.push_back(request);
  }
  m_arrived.notify_all();
  SendAll(client.Get(), m_handler(request, client.Get()));
  ::shutdown(client.Get(), SHUT_WR);
  while (WaitReadable(client.Get()) && ::recv(client.Get(), buffer, sizeof buffer, 0) > 0) {
  }
}

bool SendAll(int fd, const std::string& strBytes) {
  for (size_t nSent = 0; nSent < strBytes.size();) {
    const ssize_t n = ::send(fd, strBytes.data() + nSent, strBytes.size() - nSent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    nSent += static_cast<size_t>(n);
  }
  return true;
}

void WaitForPeerClose(int fd, int nTimeoutMs) {
  pollfd pfd{fd, POLLIN, 0};
  char buffer[256];
  while (::poll(&pfd, 1, nTimeoutMs) > 0) {
    if (::recv(fd, buffer, sizeof buffer, 0) <= 0) return;
  }
}

std::string HeaderValue(const std::string& strRequest, const std::string& strName) {
  size_t nPos = 0;
  while ((nPos = strRequest.find("\r\n", nPos)) != std::string::npos) {
    nPos += 2;
    const size_t nColon = strRequest.find(':', nPos);
    const size_t nEnd = strRequest.find("\r\n", nPos);
    if (nColon == std::string::npos || nEnd == std::string::npos || nColon > nEnd) continue;
    if (nColon - nPos == strName.size() &&
        ::strncasecmp(strRequest.c_str() + nPos, strName.c_str(), strName.size()) == 0) {
      const size_t nValue = strRequest.find_first_not_of(' ', nColon + 1);
      return strRequest.substr(nValue, nEnd - nValue);
    }
  }
  return {};
}

int ClosedPort() {
  int nPort = 0;
  ListenOnLoopback(nPort);
  return nPort;  // the descriptor closes here, so nothing listens there
}

CSilentListener::CSilentListener() : m_listen(ListenOnLoopback(m_nPort)) {}

std::string HttpExchange(int nPort, const std::string& strRequest) {
  CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(nPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return "";
  if (!SendAll(fd.Get(), strRequest)) return "";
  std::string strReply;
  char buffer[65536];
  ssize_t n;
  while ((n = ::recv(fd.Get(), buffer, sizeof buffer, 0)) > 0) strReply.append(buffer, static_cast<size_t>(n));
  return strReply;
}

}  // namespace testing_support
