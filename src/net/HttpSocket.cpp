#include "net/HttpSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/MessageBox.h"

namespace {

constexpr const char* kCaption = "错误";
constexpr const char* kSocketFailed = "socket()函数执行失败!";
constexpr const char* kResolveFailed = "gethostbyname()函数执行失败!";
constexpr const char* kConnectFailed = "connect()函数执行失败!";
constexpr const char* kSendFailed = "send()函数执行失败!";
// The text names the Windows call; it is shown when close() fails.
constexpr const char* kCloseFailed = "closesocket()函数执行失败!";
constexpr const char* kSetOptionFailed = "setsockopt()函数执行失败!";

constexpr int kDefaultPort = 80;
constexpr int kInvalidSocket = -1;
// What a shared socket holds once one of its owners closed it.
constexpr int kClosedSocket = -2;
constexpr const char* kUserAgent = "User-Agent:Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)";
constexpr const char* kCrLf = "\r\n";
constexpr std::string_view kHeaderEnd = "\r\n\r\n";
// The status code stands after "HTTP/1.x " in the status line.
constexpr int kStatusOffset = 9;
constexpr int kStatusDigits = 3;

void ShowFailure(const char* text) { platform::MessageBox(text, kCaption); }

bool IsOpen(int socket) { return socket >= 0; }

int TcpProtocol() {
  protoent entry{};
  protoent* result = nullptr;
  char buffer[1024];
  if (getprotobyname_r("tcp", &entry, buffer, sizeof buffer, &result) == 0 && result) return result->p_proto;
  return 0;  // the stream type's default protocol is TCP anyway
}

// The resolver keeps the last lookup per thread, as the sockets library
// of the original platform does; the object only points at it.
hostent* LookupHost(const char* name) {
  struct Lookup {
    hostent entry{};
    std::vector<char> buffer = std::vector<char>(2048);
  };
  thread_local Lookup lookup;
  for (;;) {
    hostent* result = nullptr;
    int error = 0;
    int rc = gethostbyname_r(name, &lookup.entry, lookup.buffer.data(), lookup.buffer.size(), &result, &error);
    if (rc == ERANGE) {
      lookup.buffer.resize(lookup.buffer.size() * 2);
      continue;
    }
    if (rc != 0 || !result || result->h_addrtype != AF_INET || !result->h_addr_list[0]) return nullptr;
    return result;
  }
}

ssize_t ReceiveOnce(int socket, void* buffer, size_t size) {
  if (!IsOpen(socket)) return -1;
  ssize_t n;
  do n = ::recv(socket, buffer, size, 0);
  while (n < 0 && errno == EINTR);
  return n;
}

// A connection that a signal interrupted goes on being made: waits for it.
bool FinishConnect(int socket) {
  pollfd ready{socket, POLLOUT, 0};
  int n;
  do n = ::poll(&ready, 1, -1);
  while (n < 0 && errno == EINTR);
  int error = 0;
  socklen_t length = sizeof error;
  return n == 1 && ::getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
}

// Sends all of it, on through signals and the partial sends they cause.
bool SendAll(int socket, const char* data, size_t size) {
  for (;;) {
    const ssize_t n = ::send(socket, data, size, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (n == 0 && size > 0)) return false;
    data += n;
    size -= static_cast<size_t>(n);
    if (size == 0) return true;
  }
}

}  // namespace

// One descriptor for an object and all its copies. The first CloseSocket of
// any of them closes it; the others then find it closed and never touch the
// number again, which the system may already have given to another file.
struct CHttpSocket::CSharedSocket {
  explicit CSharedSocket(int fd) : m_fd(fd) {}
  std::atomic<int> m_nRefs{1};
  std::atomic<int> m_fd;

  static CSharedSocket* Acquire(CSharedSocket* socket) {
    if (socket) socket->m_nRefs.fetch_add(1, std::memory_order_relaxed);
    return socket;
  }
  // The descriptor to use now; never open once an owner closed it.
  static int Fd(const CSharedSocket* socket) { return socket ? socket->m_fd.load() : kClosedSocket; }
  // The last owner closes a descriptor that no CloseSocket closed.
  static void Release(CSharedSocket* socket) {
    if (!socket || socket->m_nRefs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
    if (const int fd = socket->m_fd.load(); IsOpen(fd)) ::close(fd);
    delete socket;
  }
};

CHttpSocket::CHttpSocket()
    : m_nServerPort(kDefaultPort),
      m_bIsConnected(0),
      m_hSocket(nullptr),
      m_pHostEntry(nullptr),
      m_nLinePos(0),
      m_bHeaderRead(0),
      m_nHeaderLength(-1) {
  std::memset(m_szRequest, 0, sizeof m_szRequest);
  std::memset(m_szResponse, 0, sizeof m_szResponse);
  std::memset(m_szIp, 0, sizeof m_szIp);
}

CHttpSocket::CHttpSocket(const CHttpSocket& other) : CHttpSocket() { *this = other; }

CHttpSocket& CHttpSocket::operator=(const CHttpSocket& other) {
  CSharedSocket* previous = m_hSocket;
  m_hSocket = CSharedSocket::Acquire(other.m_hSocket);
  CSharedSocket::Release(previous);
  std::memmove(m_szRequest, other.m_szRequest, sizeof m_szRequest);
  std::memmove(m_szResponse, other.m_szResponse, sizeof m_szResponse);
  std::memmove(m_szIp, other.m_szIp, sizeof m_szIp);
  m_nServerPort = other.m_nServerPort;
  m_bIsConnected = other.m_bIsConnected;
  m_pHostEntry = other.m_pHostEntry;
  m_nLinePos = other.m_nLinePos;
  m_bHeaderRead = other.m_bHeaderRead;
  m_nHeaderLength = other.m_nHeaderLength;
  return *this;
}

CHttpSocket::~CHttpSocket() {
  CloseSocket();
  CSharedSocket::Release(m_hSocket);
}

int CHttpSocket::Socket() {
  if (m_bIsConnected) return 0;
  // A socket made earlier and never connected stays with the copies that
  // share it; this object lets go of it.
  CSharedSocket::Release(m_hSocket);
  m_hSocket = new CSharedSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, TcpProtocol()));
  if (m_hSocket->m_fd == kInvalidSocket) {
    ShowFailure(kSocketFailed);
    return 0;
  }
  return 1;
}

int CHttpSocket::Connect(char* szHostName, int nPort) {
  if (!szHostName) return 0;
  if (m_bIsConnected) CloseSocket();
  m_nServerPort = nPort;

  m_pHostEntry = LookupHost(szHostName);
  if (!m_pHostEntry) {
    ShowFailure(kResolveFailed);
    return 0;
  }
  const auto* a = reinterpret_cast<const unsigned char*>(m_pHostEntry->h_addr_list[0]);
  std::snprintf(m_szIp, sizeof m_szIp, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);

  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(m_nServerPort));
  std::memcpy(&address.sin_addr, a, sizeof address.sin_addr);
  // Without a socket of its own the object must not connect descriptor 0.
  const int fd = CSharedSocket::Fd(m_hSocket);
  if (!IsOpen(fd) || (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
                      !(errno == EINTR && FinishConnect(fd)))) {
    ShowFailure(kConnectFailed);
    return 0;
  }
  m_bIsConnected = 1;
  return 1;
}

const char* CHttpSocket::FormatRequestHeader(char* pServer, char* pObject, long& Length, char* pCookie, char* pReferer,
                                             long nFrom, long nTo, int /*nServerType*/) {
  std::memset(m_szRequest, 0, sizeof m_szRequest);
  Length = 0;
  if (!pServer || !pObject) return m_szRequest;

  std::string header;
  header.append("GET ").append(pObject).append(" HTTP/1.1").append(kCrLf);
  header.append("Host:").append(pServer).append(kCrLf);
  if (pReferer) header.append("Referer:").append(pReferer).append(kCrLf);
  header.append("Accept:*/*").append(kCrLf);
  header.append(kUserAgent).append(kCrLf);
  header.append("Connection:Keep-Alive").append(kCrLf);
  if (pCookie) header.append("Set Cookie:0").append(pCookie).append(kCrLf);
  if (nFrom > 0) {
    header.append("Range: bytes=").append(std::to_string(nFrom)).append("-");
    if (nTo > nFrom) header.append(std::to_string(nTo));
    header.append(kCrLf);
  }
  header.append(kCrLf);

  // A request that does not fit the buffer with its zero is refused whole.
  if (header.size() >= sizeof m_szRequest) return m_szRequest;
  std::memcpy(m_szRequest, header.data(), header.size());
  Length = static_cast<long>(header.size());
  return m_szRequest;
}

int CHttpSocket::SendRequest(const char* pRequestHeader, long Length) {
  if (!m_bIsConnected) return 0;
  const char* text = pRequestHeader ? pRequestHeader : m_szRequest;
  size_t size = static_cast<size_t>(std::max(Length, 0L));
  if (Length == 0) {
    size = strnlen(m_szRequest, sizeof m_szRequest);
    // The formatted length, but never past the end of a caller's own text.
    if (text != m_szRequest) size = strnlen(text, size);
  }
  if (Length < 0 || !SendAll(CSharedSocket::Fd(m_hSocket), text, size)) {
    ShowFailure(kSendFailed);
    return 0;
  }
  int headerLength = 0;
  GetResponseHeader(headerLength);
  return 1;
}

long CHttpSocket::Receive(char* pBuffer, long nMaxLength) {
  if (!m_bIsConnected) return 0;
  ssize_t n = ReceiveOnce(CSharedSocket::Fd(m_hSocket), pBuffer, static_cast<size_t>(std::max(nMaxLength, 0L)));
  if (n <= 0) CloseSocket();
  return static_cast<long>(n);
}

int CHttpSocket::CloseSocket() {
  if (m_hSocket) {
    // Taken out first, so that no copy can close the number again.
    const int fd = m_hSocket->m_fd.exchange(kClosedSocket);
    // The invalid value a failed Socket left: closing it fails, and keeps failing.
    if (fd == kInvalidSocket) m_hSocket->m_fd = kInvalidSocket;
    if (fd != kClosedSocket && ::close(fd) != 0) {
      ShowFailure(kCloseFailed);
      return 0;
    }
    CSharedSocket::Release(m_hSocket);
  }
  m_hSocket = nullptr;
  m_bIsConnected = 0;
  return 1;
}

int CHttpSocket::GetRequestHeader(char* pHeader, int nMaxLength) const {
  int length = static_cast<int>(strnlen(m_szRequest, sizeof m_szRequest));
  int count = std::clamp(nMaxLength, 0, length);
  if (count > 0) std::memcpy(pHeader, m_szRequest, static_cast<size_t>(count));
  return count;
}

int CHttpSocket::SetTimeout(int nTime, int nType) {
  timeval value{};
  value.tv_sec = nTime / 1000;
  value.tv_usec = (nTime % 1000) * 1000;
  int option = nType == 0 ? SO_RCVTIMEO : SO_SNDTIMEO;
  const int fd = CSharedSocket::Fd(m_hSocket);
  if (!IsOpen(fd) || ::setsockopt(fd, SOL_SOCKET, option, &value, sizeof value) != 0) {
    ShowFailure(kSetOptionFailed);
    return 0;
  }
  return 1;
}

const char* CHttpSocket::GetResponseHeader(int& Length) {
  if (!m_bHeaderRead) {
    // One byte at a time, so that everything after the blank line stays
    // in the socket for Receive.
    int count = 0;
    while (count < static_cast<int>(sizeof m_szResponse)) {
      char byte;
      if (ReceiveOnce(CSharedSocket::Fd(m_hSocket), &byte, 1) <= 0) break;
      m_szResponse[count++] = byte;
      if (count >= 4 && std::string_view(m_szResponse + count - 4, 4) == kHeaderEnd) break;
    }
    m_nHeaderLength = count;
    m_bHeaderRead = 1;
  }
  Length = m_nHeaderLength;
  return m_szResponse;
}

int CHttpSocket::GetResponseLine(char* pLine, int nMaxLength) {
  if (m_nLinePos >= m_nHeaderLength) {
    m_nLinePos = 0;
    return -1;
  }
  if (!pLine || nMaxLength < 1) return 0;
  int count = 0;
  char byte;
  do {
    byte = m_szResponse[m_nLinePos++];
    pLine[count++] = byte;
  } while (byte != '\n' && m_nLinePos < m_nHeaderLength && count < nMaxLength);
  return count;
}

int CHttpSocket::GetField(const char* szFieldName, char* szValue, int nMaxLength) {
  if (!m_bHeaderRead || !szFieldName) return -1;
  // Search only the header bytes received, up to a zero among them.
  std::string_view header(m_szResponse, strnlen(m_szResponse, static_cast<size_t>(m_nHeaderLength)));
  size_t found = header.find(szFieldName);
  if (found == std::string_view::npos || !szValue || nMaxLength < 1) return -1;

  size_t start = found + std::strlen(szFieldName) + 2;  // past ": "
  size_t end = start <= header.size() ? header.find(kCrLf, start) : std::string_view::npos;
  if (end == std::string_view::npos) {
    szValue[0] = '\0';
    return -1;
  }
  size_t count = std::min(end - start, static_cast<size_t>(nMaxLength) - 1);
  std::memcpy(szValue, header.data() + start, count);
  szValue[count] = '\0';
  return static_cast<int>(count);
}

int CHttpSocket::GetServerState() {
  if (!m_bHeaderRead) return -1;
  char code[kStatusDigits + 1] = {};
  for (int i = 0; i < kStatusDigits && kStatusOffset + i < m_nHeaderLength; ++i)
    code[i] = m_szResponse[kStatusOffset + i];
  return std::atoi(code);
}
