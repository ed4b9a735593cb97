#include "support/ConnectGuard.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netdb.h>
#include <netinet/in.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace support {

namespace {

struct CUrlFree {
  void operator()(CURLU* pUrl) const { curl_url_cleanup(pUrl); }
  void operator()(char* psz) const { curl_free(psz); }
};

// The ports of this process's servers; guarded by OwnPortsLock().
std::vector<int>& OwnPorts() {
  static std::vector<int> ports;
  return ports;
}
std::mutex& OwnPortsLock() {
  static std::mutex lock;
  return lock;
}

bool IsOwnPort(int nPort) {
  std::lock_guard lock(OwnPortsLock());
  return std::find(OwnPorts().begin(), OwnPorts().end(), nPort) != OwnPorts().end();
}

// The bytes of a numeric address: 4 for IPv4, 16 for IPv6.
std::vector<unsigned char> BytesOf(const std::string& strAddress) {
  unsigned char bytes[16];
  if (::inet_pton(AF_INET, strAddress.c_str(), bytes) == 1) return {bytes, bytes + 4};
  if (::inet_pton(AF_INET6, strAddress.c_str(), bytes) == 1) return {bytes, bytes + 16};
  return {};
}

// Loopback and unspecified addresses: what reaches a server listening here.
bool IsLoopbackOrUnspecified(const std::vector<unsigned char>& b) {
  if (b.size() == 4) return b[0] == 127 || b[0] == 0;
  static const unsigned char kLoopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  return b.size() == 16 && (std::all_of(b.begin(), b.end(), [](unsigned char c) { return c == 0; }) ||
                            std::equal(b.begin(), b.end(), kLoopback6));
}

bool IsLinkLocal(const std::vector<unsigned char>& b) {
  if (b.size() == 4) return b[0] == 169 && b[1] == 254;
  return b.size() == 16 && b[0] == 0xfe && (b[1] & 0xc0) == 0x80;
}

// RFC 1918, the carriers' shared range, and IPv6 unique and site-local addresses.
bool IsPrivate(const std::vector<unsigned char>& b) {
  if (b.size() == 4)
    return b[0] == 10 || (b[0] == 172 && (b[1] & 0xf0) == 16) || (b[0] == 192 && b[1] == 168) ||
           (b[0] == 100 && (b[1] & 0xc0) == 64);
  return b.size() == 16 && ((b[0] & 0xfe) == 0xfc || (b[0] == 0xfe && (b[1] & 0xc0) == 0xc0));
}

// An address of one of this machine's interfaces.
bool IsInterfaceAddress(const std::string& strAddress) {
  ifaddrs* pList = nullptr;
  if (::getifaddrs(&pList) != 0) return false;
  bool bFound = false;
  for (const ifaddrs* p = pList; p != nullptr && !bFound; p = p->ifa_next) {
    CEndpoint endpoint;
    bFound = p->ifa_addr != nullptr && EndpointOf(p->ifa_addr, endpoint) && endpoint.strAddress == strAddress;
  }
  ::freeifaddrs(pList);
  return bFound;
}

// Host and port of an http or https URL (a missing scheme is http's).
bool HostAndPort(const std::string& strUrl, std::string& strHost, int& nPort) {
  const std::unique_ptr<CURLU, CUrlFree> url(curl_url());
  char* pszHost = nullptr;
  char* pszPort = nullptr;
  if (!url || curl_url_set(url.get(), CURLUPART_URL, strUrl.c_str(), CURLU_GUESS_SCHEME) != CURLUE_OK ||
      curl_url_get(url.get(), CURLUPART_HOST, &pszHost, 0) != CURLUE_OK)
    return false;
  const std::unique_ptr<char, CUrlFree> host(pszHost);
  if (curl_url_get(url.get(), CURLUPART_PORT, &pszPort, CURLU_DEFAULT_PORT) != CURLUE_OK) return false;
  const std::unique_ptr<char, CUrlFree> port(pszPort);
  strHost = host.get();
  nPort = std::atoi(port.get());
  return true;
}

// The address of the request being made when its URL names one.
bool NamedEndpoint(CURL* curl, CEndpoint& endpoint) {
  const char* pszUrl = nullptr;
  std::string strHost;
  return curl_easy_getinfo(curl, CURLINFO_EFFECTIVE_URL, &pszUrl) == CURLE_OK && pszUrl != nullptr &&
         HostAndPort(pszUrl, strHost, endpoint.nPort) && CanonicalAddress(strHost, endpoint.strAddress);
}

}  // namespace

bool EndpointOf(const sockaddr* pAddress, CEndpoint& endpoint) {
  char szText[INET6_ADDRSTRLEN];
  if (pAddress->sa_family == AF_INET) {
    const auto* p4 = reinterpret_cast<const sockaddr_in*>(pAddress);
    endpoint.nPort = ntohs(p4->sin_port);
    endpoint.strAddress = ::inet_ntop(AF_INET, &p4->sin_addr, szText, sizeof szText);
    return true;
  }
  if (pAddress->sa_family != AF_INET6) return false;
  const auto* p6 = reinterpret_cast<const sockaddr_in6*>(pAddress);
  endpoint.nPort = ntohs(p6->sin6_port);
  // An IPv4-mapped address connects over IPv4: it is that IPv4 address.
  if (IN6_IS_ADDR_V4MAPPED(&p6->sin6_addr))
    endpoint.strAddress = ::inet_ntop(AF_INET, p6->sin6_addr.s6_addr + 12, szText, sizeof szText);
  else
    endpoint.strAddress = ::inet_ntop(AF_INET6, &p6->sin6_addr, szText, sizeof szText);
  return true;
}

bool CanonicalAddress(const std::string& strText, std::string& strAddress) {
  std::string strBare = strText;
  if (strBare.size() > 2 && strBare.front() == '[' && strBare.back() == ']')
    strBare = strBare.substr(1, strBare.size() - 2);
  sockaddr_in6 address6{};
  address6.sin6_family = AF_INET6;
  sockaddr_in address4{};
  address4.sin_family = AF_INET;
  CEndpoint endpoint;
  if (::inet_pton(AF_INET, strBare.c_str(), &address4.sin_addr) == 1)
    EndpointOf(reinterpret_cast<const sockaddr*>(&address4), endpoint);
  else if (::inet_pton(AF_INET6, strBare.c_str(), &address6.sin6_addr) == 1)
    EndpointOf(reinterpret_cast<const sockaddr*>(&address6), endpoint);
  else
    return false;
  strAddress = endpoint.strAddress;
  return true;
}

EReach ReachOf(const std::string& strAddress) {
  const std::vector<unsigned char> bytes = BytesOf(strAddress);
  if (IsLoopbackOrUnspecified(bytes) || IsLinkLocal(bytes)) return EReach::ThisMachine;
  if (IsInterfaceAddress(strAddress)) return EReach::ThisMachine;
  return IsPrivate(bytes) ? EReach::Private : EReach::Public;
}

bool MayRedirect(const CEndpoint& from, const CEndpoint& to) {
  // The service the transfer is already talking to.
  if (to == from) return true;
  const EReach reach = ReachOf(to.strAddress);
  if (reach == EReach::ThisMachine) return false;
  return reach != EReach::Private || ReachOf(from.strAddress) != EReach::Public;
}

COwnServerPort::COwnServerPort(int nPort) : m_nPort(nPort) {
  std::lock_guard lock(OwnPortsLock());
  OwnPorts().push_back(nPort);
}

COwnServerPort::~COwnServerPort() {
  std::lock_guard lock(OwnPortsLock());
  std::vector<int>& ports = OwnPorts();
  ports.erase(std::find(ports.begin(), ports.end(), m_nPort));
}

bool IsOwnServer(const CEndpoint& endpoint) {
  return IsOwnPort(endpoint.nPort) && IsLoopbackOrUnspecified(BytesOf(endpoint.strAddress));
}

bool NamesOwnServer(const std::string& strUrl) {
  CEndpoint endpoint;
  std::string strHost;
  if (!HostAndPort(strUrl, strHost, endpoint.nPort) || !IsOwnPort(endpoint.nPort)) return false;
  if (CanonicalAddress(strHost, endpoint.strAddress)) return IsOwnServer(endpoint);
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* pList = nullptr;
  if (::getaddrinfo(strHost.c_str(), nullptr, &hints, &pList) != 0) return false;
  bool bOwn = false;
  for (const addrinfo* p = pList; p != nullptr && !bOwn; p = p->ai_next) {
    CEndpoint resolved;
    bOwn = EndpointOf(p->ai_addr, resolved) && IsLoopbackOrUnspecified(BytesOf(resolved.strAddress));
  }
  ::freeaddrinfo(pList);
  return bOwn;
}

CConnectGuard::CConnectGuard(CURL* curl) : m_curl(curl) {
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETFUNCTION, &CConnectGuard::OpenSocket);
  curl_easy_setopt(curl, CURLOPT_OPENSOCKETDATA, this);
  curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &CConnectGuard::BeforeRequest);
  curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
}

void CConnectGuard::Restart() {
  m_bRequestMade = false;
  m_bRefused = false;
}

bool CConnectGuard::MayConnect(const CEndpoint& to) {
  if (IsOwnServer(to)) return false;
  // The first request goes where the setting says.
  return !m_bRequestMade || MayRedirect(m_last, to);
}

curl_socket_t CConnectGuard::OpenSocket(void* pSelf, curlsocktype purpose, curl_sockaddr* pAddress) {
  auto* self = static_cast<CConnectGuard*>(pSelf);
  CEndpoint to;
  if (purpose == CURLSOCKTYPE_IPCXN && EndpointOf(&pAddress->addr, to) && !self->MayConnect(to)) {
    self->m_bRefused = true;
    return CURL_SOCKET_BAD;
  }
  return ::socket(pAddress->family, pAddress->socktype | SOCK_CLOEXEC, pAddress->protocol);
}

int CConnectGuard::BeforeRequest(void* pSelf, char* pszPrimaryIp, char*, int nPrimaryPort, int) {
  auto* self = static_cast<CConnectGuard*>(pSelf);
  CEndpoint connected;
  connected.nPort = nPrimaryPort;
  if (!CanonicalAddress(pszPrimaryIp, connected.strAddress)) connected.strAddress = pszPrimaryIp;
  // Through a proxy the connection is the proxy's, whatever the URL names:
  // a redirect to an address named in the URL is held to the rule as well.
  CEndpoint named;
  if (self->m_bRequestMade && NamedEndpoint(self->m_curl, named) && !(named == connected) && !self->MayConnect(named)) {
    self->m_bRefused = true;
    return CURL_PREREQFUNC_ABORT;
  }
  self->m_bRequestMade = true;
  self->m_last = connected;
  return CURL_PREREQFUNC_OK;
}

}  // namespace support
