#include "net/RawOrigin.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>

namespace testing_net {

namespace {

constexpr int kIoTimeoutMs = 5000;

CFd ListenOnLoopback(int& port) {
  CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t size = sizeof address;
  if (fd.Get() < 0 || ::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), size) != 0 ||
      ::listen(fd.Get(), 16) != 0 || ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    throw std::runtime_error("cannot listen on 127.0.0.1");
  port = ntohs(address.sin_port);
  return CFd(::dup(fd.Get()));
}

bool WaitReadable(int fd) {
  pollfd p{fd, POLLIN, 0};
  return ::poll(&p, 1, kIoTimeoutMs) == 1;
}

size_t ContentLength(const std::string& header) {
  size_t at = 0;
  while ((at = header.find("\r\n", at)) != std::string::npos) {
    at += 2;
    if (strncasecmp(header.c_str() + at, "Content-Length:", 15) == 0)
      return std::strtoul(header.c_str() + at + 15, nullptr, 10);
  }
  return 0;
}

}  // namespace

CRawOrigin::CRawOrigin(std::vector<std::string> replies)
    : m_replies(std::move(replies)), m_listen(ListenOnLoopback(m_port)), m_stop(::eventfd(0, EFD_CLOEXEC)) {
  m_thread = std::thread([this] { Serve(); });
}

CRawOrigin::~CRawOrigin() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(m_stop.Get(), &one, sizeof one);
  m_thread.join();
}

std::vector<CRawOrigin::Request> CRawOrigin::WaitForRequests(size_t count) {
  std::unique_lock lock(m_lock);
  m_served.wait_for(lock, std::chrono::milliseconds(kIoTimeoutMs), [&] { return m_requests.size() >= count; });
  return m_requests;
}

void CRawOrigin::Serve() {
  for (size_t index = 0;; ++index) {
    pollfd fds[2] = {{m_listen.Get(), POLLIN, 0}, {m_stop.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0 || (fds[1].revents & POLLIN)) return;
    CFd client(::accept4(m_listen.Get(), nullptr, nullptr, SOCK_CLOEXEC));
    if (client.Get() >= 0) ServeOne(client.Get(), index);
  }
}

void CRawOrigin::ServeOne(int client, size_t index) {
  Request request;
  std::string received;
  char buffer[65536];
  size_t headerEnd = std::string::npos;
  size_t wanted = 0;
  for (;;) {
    if (headerEnd == std::string::npos) {
      headerEnd = received.find("\r\n\r\n");
      if (headerEnd != std::string::npos) {
        headerEnd += 4;
        wanted = headerEnd + ContentLength(received.substr(0, headerEnd));
      }
    }
    if (headerEnd != std::string::npos && received.size() >= wanted) break;
    if (!WaitReadable(client)) break;
    ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    received.append(buffer, static_cast<size_t>(n));
  }
  request.header = received.substr(0, std::min(headerEnd, received.size()));
  if (headerEnd != std::string::npos) request.body = received.substr(headerEnd);

  const std::string& reply = m_replies.empty() ? std::string() : m_replies[std::min(index, m_replies.size() - 1)];
  for (size_t sent = 0; sent < reply.size();) {
    ssize_t n = ::send(client, reply.data() + sent, reply.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) break;
    sent += static_cast<size_t>(n);
  }
  ::shutdown(client, SHUT_WR);
  // Let the client read the reply to its end before the socket goes.
  while (WaitReadable(client) && ::recv(client, buffer, sizeof buffer, 0) > 0) {
  }
  std::lock_guard lock(m_lock);
  m_requests.push_back(std::move(request));
  m_served.notify_all();
}

int ClosedPort() {
  int port = 0;
  CFd fd(ListenOnLoopback(port));
  return port;  // both descriptors close here, so nothing listens there
}

CSilentListener::CSilentListener() : m_listen(ListenOnLoopback(m_port)) {}

}  // namespace testing_net
