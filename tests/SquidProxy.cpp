#include "SquidProxy.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <pwd.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "support/Handles.h"

namespace testing_support {

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

constexpr const char* kSquid = "/usr/sbin/squid";
constexpr const char* kBasicAuthHelper = "/usr/lib/squid/basic_ncsa_auth";
// The user Debian's squid runs as when started by root.
constexpr const char* kSquidUser = "proxy";
// kPassword as `openssl passwd -apr1 -salt qb1 'p@ss:w0rd'` gives it.
constexpr const char* kPasswordHash = "$apr1$qb1$ak7OPl7yMjxQNLHQb9VG50";
constexpr auto kStartLimit = 30s;
constexpr int kLaunchTries = 3;

bool Accepts(int nPort) {
  support::CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(nPort));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return ::connect(fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
}

// The port a listener on 127.0.0.1 is given, closed again for squid to take.
int FreePort() {
  support::CFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t nSize = sizeof address;
  if (::bind(fd.Get(), reinterpret_cast<sockaddr*>(&address), nSize) != 0 ||
      ::getsockname(fd.Get(), reinterpret_cast<sockaddr*>(&address), &nSize) != 0)
    throw std::runtime_error("no free port on 127.0.0.1");
  return ntohs(address.sin_port);
}

void Stop(pid_t pid) {
  // squid and its helpers are one process group.
  ::kill(-pid, SIGTERM);
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
    if (::waitpid(pid, nullptr, WNOHANG) == pid) {
      ::kill(-pid, SIGKILL);
      return;
    }
    std::this_thread::sleep_for(20ms);
  }
  ::kill(-pid, SIGKILL);
  ::waitpid(pid, nullptr, 0);
}

}  // namespace

CSquidProxy::CSquidProxy(bool bLogin) {
  if (::access(kSquid, X_OK) != 0) throw std::runtime_error("squid is not installed (run scripts/setup.sh)");
  if (const char* value = std::getenv("no_proxy")) m_previousNoProxy = value;
  m_bHadNoProxy = std::getenv("no_proxy") != nullptr;
  for (int i = 0; i < kLaunchTries; ++i)
    if (Launch(bLogin)) return;
  throw std::runtime_error("squid did not start: " + ReadWholeFile(fs::path(m_dir.Path()) / "cache.log"));
}

CSquidProxy::~CSquidProxy() {
  if (m_pid > 0) Stop(m_pid);
  ::unsetenv("http_proxy");
  if (m_bHadNoProxy)
    ::setenv("no_proxy", m_previousNoProxy.c_str(), 1);
  else
    ::unsetenv("no_proxy");
}

bool CSquidProxy::Launch(bool bLogin) {
  const fs::path dir = m_dir.Path();
  m_nPort = FreePort();
  std::string config;
  for (const std::string& line : {
           "http_port 127.0.0.1:" + std::to_string(m_nPort),
           "pid_filename " + (dir / "squid.pid").string(),
           "cache_log " + (dir / "cache.log").string(),
           "access_log stdio:" + (dir / "access.log").string(),
           "coredump_dir " + dir.string(),
           std::string("cache deny all"),
           std::string("cache_store_log none"),
           std::string("netdb_filename none"),
           std::string("pinger_enable off"),
           std::string("icp_port 0"),
           std::string("htcp_port 0"),
           std::string("shutdown_lifetime 0 seconds"),
       })
    config += line + "\n";
  if (bLogin) {
    WriteWholeFile(dir / "passwd", std::string(kUser) + ":" + kPasswordHash + "\n");
    config += "auth_param basic program " + std::string(kBasicAuthHelper) + " " + (dir / "passwd").string() + "\n";
    config += "auth_param basic children 1\nauth_param basic realm quillby test proxy\n";
    config += "acl pupils proxy_auth REQUIRED\nhttp_access allow pupils\n";
  } else {
    config += "acl loopback src 127.0.0.1/32\nhttp_access allow loopback\n";
  }
  config += "http_access deny all\n";
  WriteWholeFile(dir / "squid.conf", config);
  // Started by root, squid goes on as its own user: it must reach its files.
  const passwd* user = ::geteuid() == 0 ? ::getpwnam(kSquidUser) : nullptr;
  if (user) {
    (void)!::chown(dir.c_str(), user->pw_uid, user->pw_gid);
    for (const auto& entry : fs::directory_iterator(dir))
      (void)!::chown(entry.path().c_str(), user->pw_uid, user->pw_gid);
  }

  const std::string conf = (dir / "squid.conf").string();
  // A service name of its own: nothing is shared with another squid.
  const std::string name = "quillbytest" + std::to_string(::getpid()) + "x" + std::to_string(m_nPort);
  const std::string log = (dir / "squid.out").string();
  m_pid = ::fork();
  if (m_pid == 0) {
    ::setpgid(0, 0);
    const int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd >= 0) {
      ::dup2(fd, 1);
      ::dup2(fd, 2);
    }
    ::execl(kSquid, kSquid, "-N", "-n", name.c_str(), "-f", conf.c_str(), static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::setpgid(m_pid, m_pid);
  for (auto end = std::chrono::steady_clock::now() + kStartLimit; std::chrono::steady_clock::now() < end;) {
    if (Accepts(m_nPort)) return true;
    if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) break;  // the port was taken meanwhile, say
    std::this_thread::sleep_for(50ms);
  }
  Stop(m_pid);
  m_pid = -1;
  return false;
}

std::string CSquidProxy::Url(const std::string& strLogin) const {
  return "http://" + (strLogin.empty() ? "" : strLogin + "@") + "127.0.0.1:" + std::to_string(m_nPort);
}

void CSquidProxy::Use(const std::string& strLogin) {
  ::setenv("http_proxy", Url(strLogin).c_str(), 1);
  ::unsetenv("no_proxy");
}

std::string CSquidProxy::AccessLog() const { return ReadWholeFile(fs::path(m_dir.Path()) / "access.log"); }

bool CSquidProxy::AccessLogHas(const std::string& fragment) const {
  for (auto end = std::chrono::steady_clock::now() + 5s; std::chrono::steady_clock::now() < end;) {
    if (AccessLog().find(fragment) != std::string::npos) return true;
    std::this_thread::sleep_for(20ms);
  }
  return AccessLog().find(fragment) != std::string::npos;
}

}  // namespace testing_support
