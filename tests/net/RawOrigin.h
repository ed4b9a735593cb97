#pragma once
// A raw TCP origin on 127.0.0.1 for the client tests: it serves one
// connection at a time, records each request's bytes exactly as they came
// (header, and a body of the announced Content-Length), answers with the
// scripted reply and closes.
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "support/Handles.h"

namespace testing_net {

using CFd = support::CFd;

class CRawOrigin {
 public:
  struct Request {
    std::string header;  // up to and including the blank line
    std::string body;
  };

  // Connection i gets replies[i], the last one for every later connection.
  explicit CRawOrigin(std::vector<std::string> replies);
  ~CRawOrigin();

  int Port() const { return m_port; }
  // Waits until count requests have been served (up to a few seconds).
  std::vector<Request> WaitForRequests(size_t count);

 private:
  void Serve();
  void ServeOne(int client, size_t index);

  std::vector<std::string> m_replies;
  int m_port = 0;  // set while m_listen is made
  CFd m_listen;
  CFd m_stop;
  mutable std::mutex m_lock;
  std::condition_variable m_served;
  std::vector<Request> m_requests;
  std::thread m_thread;
};

// A port on 127.0.0.1 where nothing listens.
int ClosedPort();

// Listens on 127.0.0.1 for as long as it lives; the system takes the
// connections in, and nothing ever reads from or answers them.
class CSilentListener {
 public:
  CSilentListener();
  int Port() const { return m_port; }

 private:
  int m_port = 0;
  CFd m_listen;
};

}  // namespace testing_net
