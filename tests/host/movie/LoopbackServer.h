#pragma once
// A small HTTP/1.0 origin on 127.0.0.1 for the movie host's tests: it frames
// requests like the resource server (complete at the empty line, and after
// a Content-Length body), hands the raw request text to a handler, sends
// the reply and closes the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "support/Handles.h"

namespace testing_support {

using CUniqueFd = support::CFd;

inline bool SendAll(int fd, const std::string& data) {
  std::size_t sent = 0;
  while (sent < data.size()) {
    const ssize_t n = ::send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return false;
    sent += static_cast<std::size_t>(n);
  }
  return true;
}

class CLoopbackServer {
 public:
  using Handler = std::function<std::string(const std::string& request)>;

  explicit CLoopbackServer(Handler handler) : m_handler(std::move(handler)) {
    m_listen.Reset(::socket(AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof(address);
    if (m_listen.Get() < 0 || ::bind(m_listen.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        ::listen(m_listen.Get(), 16) != 0 ||
        ::getsockname(m_listen.Get(), reinterpret_cast<sockaddr*>(&address), &length) != 0)
      throw std::runtime_error("cannot listen on 127.0.0.1");
    m_nPort = ntohs(address.sin_port);
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) throw std::runtime_error("pipe");
    m_stopRead.Reset(pipeFds[0]);
    m_stopWrite.Reset(pipeFds[1]);
    m_acceptThread = std::thread([this] { AcceptLoop(); });
  }

  ~CLoopbackServer() {
    ::close(m_stopWrite.Release());  // wakes every poll
    m_acceptThread.join();
    std::vector<std::thread> threads;
    {
      std::lock_guard guard(m_lock);
      threads.swap(m_connections);
    }
    for (auto& thread : threads) thread.join();
  }

  int Port() const { return m_nPort; }

  // The first line of every request received, in order.
  std::vector<std::string> RequestLines() const {
    std::lock_guard guard(m_lock);
    return m_requestLines;
  }

 private:
  bool WaitReadable(int fd) const {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_stopRead.Get(), POLLIN, 0}};
    return ::poll(fds, 2, -1) > 0 && fds[1].revents == 0 && (fds[0].revents & (POLLIN | POLLHUP)) != 0;
  }

  void AcceptLoop() {
    while (WaitReadable(m_listen.Get())) {
      CUniqueFd client(::accept(m_listen.Get(), nullptr, nullptr));
      if (client.Get() < 0) continue;
      std::lock_guard guard(m_lock);
      m_connections.emplace_back([this, fd = client.Release()] { Serve(CUniqueFd(fd)); });
    }
  }

  // Header and the body its Content-Length announces.
  static bool Complete(const std::string& request) {
    const auto end = request.find("\r\n\r\n");
    if (end == std::string::npos) return false;
    std::string header = request.substr(0, end + 2);
    for (char& c : header) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    const auto field = header.find("\r\ncontent-length:");
    const std::size_t length = field == std::string::npos ? 0 : std::strtoul(header.c_str() + field + 17, nullptr, 10);
    return request.size() >= end + 4 + length;
  }

  void Serve(CUniqueFd client) {
    std::string request;
    char buffer[65536];
    while (!Complete(request)) {
      if (!WaitReadable(client.Get())) return;
      const ssize_t n = ::recv(client.Get(), buffer, sizeof(buffer), 0);
      if (n <= 0) return;
      request.append(buffer, static_cast<std::size_t>(n));
    }
    {
      std::lock_guard guard(m_lock);
      m_requestLines.push_back(request.substr(0, request.find("\r\n")));
    }
    SendAll(client.Get(), m_handler(request));
  }

  Handler m_handler;
  CUniqueFd m_listen, m_stopRead, m_stopWrite;
  int m_nPort = 0;
  mutable std::mutex m_lock;
  std::vector<std::thread> m_connections;
  std::vector<std::string> m_requestLines;
  std::thread m_acceptThread;
};

// The request's target begins with prefix, whatever its method.
inline bool TargetStartsWith(const std::string& request, const std::string& prefix) {
  const auto space = request.find(' ');
  return space != std::string::npos && request.compare(space + 1, prefix.size(), prefix) == 0;
}

// One request on a fresh connection; the whole reply, read to the close.
inline std::string HttpExchange(int port, const std::string& request) {
  CUniqueFd fd(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) return "";
  if (!SendAll(fd.Get(), request)) return "";
  std::string reply;
  char buffer[65536];
  ssize_t n;
  while ((n = ::recv(fd.Get(), buffer, sizeof(buffer), 0)) > 0) reply.append(buffer, static_cast<std::size_t>(n));
  return reply;
}

}  // namespace testing_support
