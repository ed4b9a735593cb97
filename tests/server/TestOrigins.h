#pragma once
// HTTP origins on 127.0.0.1 for the fetch tests: a real cpp-httplib server,
// and a raw socket server that answers with whatever bytes a test writes
// (broken responses, a proxy).
#include <httplib.h>

#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Handles.h"

namespace testing_origins {

using CFd = support::CFd;

// cpp-httplib on 127.0.0.1, an ephemeral port, its own listening thread.
class CHttplibOrigin {
 public:
  CHttplibOrigin();
  ~CHttplibOrigin();
  httplib::Server& Server() { return m_server; }
  // Call after the routes are set.
  void Start();
  int Port() const { return m_nPort; }
  std::string Url(const std::string& strPath) const;

 private:
  httplib::Server m_server;
  int m_nPort = 0;
  std::thread m_thread;
};

// One connection at a time: reads the request head, hands it and the socket
// to the handler, closes the socket.
class CRawOrigin {
 public:
  using Handler = std::function<void(const std::string& strRequest, int fd)>;
  explicit CRawOrigin(Handler handler);
  ~CRawOrigin();
  int Port() const { return m_nPort; }
  std::string Url(const std::string& strPath) const;
  std::vector<std::string> Requests() const;

 private:
  void Serve();

  Handler m_handler;
  CFd m_listener;
  CFd m_stopEvent;
  int m_nPort = 0;
  mutable std::mutex m_lock;
  std::vector<std::string> m_requests;
  std::thread m_thread;
};

void SendAll(int fd, const std::string& strBytes);
// Waits until the peer closes or the wait ends.
void WaitForPeerClose(int fd, int nTimeoutMs);
// The value of a header in a request head, empty when absent.
std::string HeaderValue(const std::string& strRequest, const std::string& strName);

}  // namespace testing_origins
