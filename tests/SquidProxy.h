#pragma once
// A real web proxy for the tests: Debian's squid, started on 127.0.0.1 for
// as long as this lives, with a configuration of its own in a fresh
// directory; as root it runs as squid's own user, else as the caller. With
// a login it lets through only clients that give kUser and kPassword
// (Basic, checked by squid's basic_ncsa_auth against a password file
// written here), as a school's proxy does.
#include <sys/types.h>

#include <string>

#include "TempDir.h"

namespace testing_support {

class CSquidProxy {
 public:
  static constexpr const char* kUser = "pupil";
  // With the characters a URL must escape: "p%40ss%3Aw0rd" in one.
  static constexpr const char* kPassword = "p@ss:w0rd";
  static constexpr const char* kLoginInUrl = "pupil:p%40ss%3Aw0rd";

  // Throws std::runtime_error when squid does not start.
  explicit CSquidProxy(bool bLogin);
  CSquidProxy(const CSquidProxy&) = delete;
  CSquidProxy& operator=(const CSquidProxy&) = delete;
  // Stops squid and puts the proxy settings back as they were.
  ~CSquidProxy();

  int Port() const { return m_nPort; }
  // "http://127.0.0.1:<port>", with "user:password@" when given.
  std::string Url(const std::string& strLogin = "") const;
  // Sends every client of this process through the proxy: http_proxy set
  // to Url(strLogin), no_proxy cleared.
  void Use(const std::string& strLogin = "");
  // squid's access log: one line per request it handled, written when the
  // request is done with, which may be after the client has gone on.
  std::string AccessLog() const;
  // Waits a few seconds at most for fragment to appear in the access log.
  bool AccessLogHas(const std::string& fragment) const;

 private:
  bool Launch(bool bLogin);

  CTempDir m_dir;
  int m_nPort = 0;
  pid_t m_pid = -1;
  std::string m_previousNoProxy;
  bool m_bHadNoProxy = false;
};

}  // namespace testing_support
