#include "site/TestOrigins.h"

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

}  // namespace testing_origins

// The Debian cpp-httplib library is not built with ThreadSanitizer; what its
// uninstrumented code does inside the test origin is not ours to judge.
extern "C" const char* __tsan_default_suppressions() { return "called_from_lib:libcpp-httplib.so\n"; }
