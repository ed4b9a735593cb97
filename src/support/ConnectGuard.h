#pragma once
// Where the program's fetches and uploads may connect. The address a
// transfer starts from (the product site, the upload host) is the setting's
// choice, loopback included. Where a redirect sends it next is not: a
// redirect never leads into this machine (a loopback, link-local or
// unspecified address, or one of its own interfaces' addresses) unless it
// stays with the very service it came from, and never from a public address
// into a private network. No transfer ever connects to a server of this
// process. Decided on the address actually connected to, after the name was
// resolved, so that no name can lead around it.
#include <curl/curl.h>
#include <sys/socket.h>

#include <string>

namespace support {

// What an address reaches, as the redirect rule sees it.
enum class EReach { Public, Private, ThisMachine };

// One end a transfer talks to.
struct CEndpoint {
  std::string strAddress;  // numeric, an IPv4-mapped IPv6 address as IPv4
  int nPort = 0;
  bool operator==(const CEndpoint&) const = default;
};

// The endpoint of a socket address; false for a family that is not IP.
bool EndpointOf(const sockaddr* pAddress, CEndpoint& endpoint);
// strText as EndpointOf writes addresses ("[::1]" and "::ffff:127.0.0.1"
// become "::1" and "127.0.0.1"); false when it is no numeric address.
bool CanonicalAddress(const std::string& strText, std::string& strAddress);

// What a numeric address in that form reaches.
EReach ReachOf(const std::string& strAddress);

// True when a redirect from `from` may lead on to `to`.
bool MayRedirect(const CEndpoint& from, const CEndpoint& to);

// While it lives, nPort is the port of a server of this process: nothing
// connects to it on a loopback or unspecified address.
class COwnServerPort {
 public:
  explicit COwnServerPort(int nPort);
  ~COwnServerPort();
  COwnServerPort(const COwnServerPort&) = delete;
  COwnServerPort& operator=(const COwnServerPort&) = delete;

 private:
  int m_nPort;
};

// True when an endpoint is a server of this process.
bool IsOwnServer(const CEndpoint& endpoint);
// True when strUrl (http or https, a missing scheme taken for http) leads
// to a server of this process. Resolves the host only when the port is one.
bool NamesOwnServer(const std::string& strUrl);

// Keeps one easy handle's transfers to the rule above. Lives as long as the
// handle is used.
class CConnectGuard {
 public:
  explicit CConnectGuard(CURL* curl);
  CConnectGuard(const CConnectGuard&) = delete;
  CConnectGuard& operator=(const CConnectGuard&) = delete;

  // Call before each curl_easy_perform: its first request starts afresh.
  void Restart();
  // True when the last perform ended because the guard refused a connection:
  // trying it again would be refused again.
  bool Refused() const { return m_bRefused; }

 private:
  static curl_socket_t OpenSocket(void* pSelf, curlsocktype purpose, curl_sockaddr* pAddress);
  static int BeforeRequest(void* pSelf, char* pszPrimaryIp, char* pszLocalIp, int nPrimaryPort, int nLocalPort);
  bool MayConnect(const CEndpoint& to);

  CURL* m_curl;
  // The endpoint of the last request made, once one was.
  bool m_bRequestMade = false;
  CEndpoint m_last;
  bool m_bRefused = false;
};

}  // namespace support
