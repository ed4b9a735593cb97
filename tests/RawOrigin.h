#pragma once
// An HTTP origin on raw sockets on 127.0.0.1, for tests that look at the
// exact bytes a client sends or answer with bytes no real server would.
// Each connection has its own thread: the request is read whole (to the
// blank line, then the body its Content-Length announces), recorded and
// answered; then the origin ends its side and waits for the client to
// close, so that no reply is cut short by a reset.
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Handles.h"

namespace testing_support {

using CFd = support::CFd;

class CRawOrigin {
 public:
  struct Request {
    std::string header;  // up to and including the blank line
    std::string body;
    std::string Line() const { return header.substr(0, header.find("\r\n")); }
    // The target begins with prefix, whatever the method.
    bool TargetStartsWith(const std::string& prefix) const;
  };
  // Returns the reply to send; one that writes to fd itself (a stall, a
  // trickle) returns nothing.
  using Handler = std::function<std::string(const Request& request, int fd)>;

  explicit CRawOrigin(Handler handler);
  // Request i gets replies[i], the last one every later request.
  explicit CRawOrigin(std::vector<std::string> replies);
  ~CRawOrigin();

  int Port() const { return m_nPort; }
  std::string Url(const std::string& strPath) const;
  std::vector<Request> Requests() const;
  // Waits until count requests have come (up to a few seconds).
  std::vector<Request> WaitForRequests(size_t count) const;

 private:
  bool WaitReadable(int fd) const;
  void Accept();
  void Serve(CFd client);

  Handler m_handler;
  int m_nPort = 0;  // set while m_listen is made
  CFd m_listen;
  CFd m_stop;  // readable once the origin goes
  mutable std::mutex m_lock;
  mutable std::condition_variable m_arrived;
  std::vector<Request> m_requests;
  std::vector<std::thread> m_connections;  // only the accept thread adds
  std::thread m_acceptThread;
};

bool SendAll(int fd, const std::string& strBytes);
// Waits until the peer closes or the wait ends.
void WaitForPeerClose(int fd, int nTimeoutMs);
// The value of a header in a request head, empty when absent.
std::string HeaderValue(const std::string& strRequest, const std::string& strName);

// A port on 127.0.0.1 where nothing listens.
int ClosedPort();

// Listens on 127.0.0.1 for as long as it lives; the system takes the
// connections in, and nothing ever reads from or answers them.
class CSilentListener {
 public:
  CSilentListener();
  int Port() const { return m_nPort; }

 private:
  int m_nPort = 0;
  CFd m_listen;
};

// One request on a fresh connection; the whole reply, read to the close.
std::string HttpExchange(int nPort, const std::string& strRequest);

}  // namespace testing_support
