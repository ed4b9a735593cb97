#pragma once
// A real cpp-httplib server on 127.0.0.1 for the fetch tests; RawOrigin.h
// has the origin that answers with whatever bytes a test gives.
#include <httplib.h>

#include <string>
#include <thread>

namespace testing_origins {

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

}  // namespace testing_origins
