#include "server/GenericServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <system_error>
#include <thread>
#include <utility>

namespace {

// Every server thread ends with this code.
constexpr unsigned kThreadExitCode = 4660;  // 0x1234
// The run log's texts name the Windows calls whose part the POSIX calls
// here play; the texts are the log's own and stay as they are.
// poll() of a connection's socket and the shutdown event.
constexpr const char* kLogWaitEventsFailed = "WSAWaitForMultipleEvents(...) failure";
// recv() on a connection.
constexpr const char* kLogReceiveFailed = "WSARecv(...) failure";
// send() of a reply's head or sendfile() of its body.
constexpr const char* kLogSendFailed = "WSASend(...) failure";
// Starting a std::thread (pthread_create).
constexpr const char* kLogLaunchThreadFailed = "_beginthreadex(...) failure, for Launch Thread";
constexpr const char* kLogHelperThreadFailed = "_beginthreadex(...) failure, for Helper Thread";
constexpr const char* kLogClientThreadFailed = "_beginthreadex(...) failure";
// Shutdown's joins of the accept and helper threads ran past the deadline.
constexpr const char* kLogShutdownTimedOut = "WaitForMultipleObjects(...) timed out";
// Letting go of a thread that did not end in time (CThreadHandle::Terminate).
constexpr const char* kLogTerminateAcceptFailed =
    "TerminateThread(.ThreadA.) failure, probably it is already terminated";
constexpr const char* kLogTerminateHelperFailed =
    "TerminateThread(.ThreadC.) failure, probably it is already terminated";
constexpr const char* kLogTerminateClientFailed = "TerminateThread(.h.) failure, probably it is already terminated";
// socket() for the listener.
constexpr const char* kLogSocketFailed = "WSASocket(...) failure";
// The eventfd behind the shutdown event.
constexpr const char* kLogCreateEventFailed = "WSACreateEvent(...) failure for ShutdownEvent";
// fcntl(O_NONBLOCK): what the event selection still does here.
constexpr const char* kLogEventSelectFailed = "WSAEventSelect(...) failure";
// poll() of the listener and the shutdown event.
constexpr const char* kLogAcceptWaitFailed = "WaitForMultipleObjects(...) failure";
// An error poll() reports on the listener (read with SO_ERROR).
constexpr const char* kLogNetworkEventsFailed = "WSAEnumNetworkEvents(...) failure";
// accept4().
constexpr const char* kLogAcceptFailed = "WSAAccept(...) failure";
// The reaper's join of a finished connection thread ran past its time.
constexpr const char* kLogReapTimedOut = "WaitForSingleObject(...) timed out";

// One receive reads at most this much; one send hands over at most this much.
constexpr std::size_t kReceiveBufferSize = 100000;
constexpr std::size_t kSendSliceSize = 200000;
// An unfinished request may not grow past this.
constexpr std::size_t kMaxRequestSize = 64 * 1024;
// The helper's reaping pass and Shutdown's poll of the connection count.
constexpr int kHelperPollMs = 100;
constexpr std::chrono::milliseconds kClientCountPoll{100};
// After a failed accept, so a lasting failure (no descriptors left) cannot
// flood the log from a listening socket that stays readable.
constexpr int kAcceptRetryPauseMs = 100;
// errno of a thread that can no longer be let go: it has already ended.
constexpr int kNoSuchThread = ESRCH;
// A connection thread needs little stack: the receive buffer and what a
// request's handling calls (a fetch). Small stacks are cheap to set up and
// the system keeps more of them for reuse. Sanitizers need several times
// the stack.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr std::size_t kClientStackSize = 4 * 1024 * 1024;
#else
constexpr std::size_t kClientStackSize = 512 * 1024;
#endif

// A peer that resets mid-reply makes sendfile raise SIGPIPE, which no flag
// of the call prevents. Blocked in every thread of the server, it never
// reaches the host process (whose default would end it).
void BlockSigpipe() {
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
}

bool SetNonBlocking(int fd) {
  const int flags = ::fcntl(fd, F_GETFL);
  return flags >= 0 && ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) == 0;
}

std::string FormatAddress(const in_addr& address) {
  const auto* pBytes = reinterpret_cast<const unsigned char*>(&address.s_addr);
  char szAddress[16];
  std::snprintf(szAddress, sizeof(szAddress), "%d.%d.%d.%d", pBytes[0], pBytes[1], pBytes[2], pBytes[3]);
  return szAddress;
}

// One connection's life on its own thread: wait for the socket or the
// shutdown event, collect the request, send the reply, maybe again.
class CConnection {
 public:
  CConnection(CGenericServer& server, int fdSocket, int fdShutdown)
      : m_server(server), m_fdSocket(fdSocket), m_fdShutdown(fdShutdown) {}

  // Returns when the connection is to end.
  void Serve();

 private:
  enum class Step { WaitAgain, GoOn, End };
  enum class Sent { Complete, WouldBlock, Failed };

  Step OnReceived();
  Sent SendReply();
  // One slice of the file that follows the reply's bytes; false on failure.
  bool SendBodySlice(std::size_t nBodyOffset, std::size_t& nSent);

  CGenericServer& m_server;
  const int m_fdSocket;
  const int m_fdShutdown;
  // On the thread's stack, and not cleared: only what recv writes is read.
  char m_buffer[kReceiveBufferSize];
  std::string m_strRequest;
  std::string m_strReply;
  CReplyBody m_body;
  std::size_t m_nSent = 0;
  int m_bKeepAlive = 0;
  bool m_bPendingWrite = false;
};

void CConnection::Serve() {
  const int nTimeout = m_server.m_nClientTimeout > 0 ? m_server.m_nClientTimeout : -1;
  // The request has usually arrived with the connection: the first pass
  // reads without waiting (a receive that finds nothing waits as usual).
  bool bFirstPass = true;
  for (;;) {
    short revents = POLLIN;
    if (!std::exchange(bFirstPass, false)) {
      // While a reply is still going out, new bytes stay in the socket: they
      // belong to the next request, and reading them now would let them be
      // parsed together with the one being answered.
      pollfd fds[2] = {{m_fdSocket, static_cast<short>(m_bPendingWrite ? POLLOUT : POLLIN), 0},
                       {m_fdShutdown, POLLIN, 0}};
      const int nReady = ::poll(fds, 2, nTimeout);
      if (nReady < 0) {
        if (errno == EINTR) continue;
        m_server.WriteLog(kLogWaitEventsFailed, "ClientThread", errno);
        return;
      }
      if (nReady == 0 || fds[1].revents != 0) return;  // time-out or shutdown: nothing to log
      revents = fds[0].revents;
    }
    if (revents & POLLNVAL) {
      m_server.WriteLog(kLogWaitEventsFailed, "ClientThread", EBADF);
      return;
    }
    // A reset or hang-up is the peer's close, as is an orderly end of data.
    bool bClose = (revents & (POLLHUP | POLLERR)) != 0;

    if (revents & POLLIN) {
      const ssize_t nReceived = ::recv(m_fdSocket, m_buffer, sizeof(m_buffer), 0);
      if (nReceived > 0) {
        m_strRequest.append(m_buffer, static_cast<std::size_t>(nReceived));
        const Step step = OnReceived();
        if (step == Step::End) return;
        if (step == Step::WaitAgain) continue;
      } else if (nReceived == 0) {
        bClose = true;
      } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && !bClose) {
        m_server.WriteLog(kLogReceiveFailed, "ClientThread", errno);
      }
    }

    if ((revents & POLLOUT) && m_bPendingWrite) {
      const Sent sent = SendReply();
      if (sent == Sent::Failed) return;
      if (sent == Sent::WouldBlock) continue;
      m_server.OnReplySent(static_cast<std::uint32_t>(m_nSent));
      if (!m_bKeepAlive) return;
      m_bPendingWrite = false;
      m_strRequest.clear();
    }

    if (bClose) return;
  }
}

CConnection::Step CConnection::OnReceived() {
  if (!m_server.IsRequestComplete(m_strRequest)) {
    if (m_strRequest.size() > m_server.GetMaxRequestSize(m_strRequest)) {
      m_server.WriteLog("Request grew past 65536 bytes without an end, connection closed", "ClientThread",
                        static_cast<int>(m_strRequest.size()));
      return Step::End;
    }
    return Step::WaitAgain;
  }
  m_body = CReplyBody();
  if (!m_server.ParseRequestWithBody(m_strRequest, m_strReply, m_body, m_bKeepAlive)) return Step::End;

  m_nSent = 0;
  const Sent sent = SendReply();
  if (sent == Sent::Failed) return Step::End;
  if (sent == Sent::WouldBlock) {
    m_bPendingWrite = true;
    return Step::WaitAgain;
  }
  m_server.OnReplySent(static_cast<std::uint32_t>(m_nSent));
  if (!m_bKeepAlive) return Step::End;
  m_strRequest.clear();
  return Step::GoOn;
}

CConnection::Sent CConnection::SendReply() {
  const std::size_t nTotal = m_strReply.size() + static_cast<std::size_t>(m_body.nLength);
  while (m_nSent < nTotal) {
    std::size_t nSent = 0;
    if (m_nSent < m_strReply.size()) {
      const std::size_t nSlice = std::min(m_strReply.size() - m_nSent, kSendSliceSize);
      // MSG_NOSIGNAL: a peer that has gone is a failed send, not a SIGPIPE.
      // MSG_MORE: the header waits for the file's first bytes, so that a
      // small reply leaves in one segment.
      const int nFlags = MSG_NOSIGNAL | (m_body.nLength > 0 ? MSG_MORE : 0);
      errno = 0;
      const ssize_t n = ::send(m_fdSocket, m_strReply.data() + m_nSent, nSlice, nFlags);
      if (n > 0) nSent = static_cast<std::size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) {
        m_server.WriteLog(kLogSendFailed, "ClientThread, Primary Send", errno);
        return Sent::Failed;
      }
    } else if (!SendBodySlice(m_nSent - m_strReply.size(), nSent)) {
      return Sent::Failed;
    }
    if (nSent == 0) {
      if (errno == EINTR) continue;
      return Sent::WouldBlock;  // the offset stays for the next writable pass
    }
    m_nSent += nSent;
  }
  return Sent::Complete;
}

bool CConnection::SendBodySlice(std::size_t nBodyOffset, std::size_t& nSent) {
  const std::size_t nSlice = std::min(static_cast<std::size_t>(m_body.nLength) - nBodyOffset, kSendSliceSize);
  off_t nFileOffset = static_cast<off_t>(nBodyOffset);
  errno = 0;
  const ssize_t n = ::sendfile(m_fdSocket, m_body.file.Get(), &nFileOffset, nSlice);
  if (n > 0) {
    nSent = static_cast<std::size_t>(n);
    return true;
  }
  // The file ended before its length: what was announced cannot be sent.
  if (n == 0) return false;
  if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) return true;
  m_server.WriteLog(kLogSendFailed, "ClientThread, Primary Send", errno);
  return false;
}

}  // namespace

CGenericServer::CGenericServer() = default;

bool CGenericServer::ParseRequestWithBody(std::string strRequest, std::string& strReply, CReplyBody&, int& bKeepAlive) {
  return ParseRequest(std::move(strRequest), strReply, bKeepAlive);
}

std::size_t CGenericServer::GetMaxRequestSize(const std::string&) const { return kMaxRequestSize; }

CGenericServer::~CGenericServer() {
  // Connection threads call into this object; none may outlive it.
  if (m_bRunning) Shutdown();
}

// The accept thread's socket, made before the thread starts so that a port
// that cannot be had is known at once. Its log lines keep the accept
// thread's context word, as the run log always had them.
bool CGenericServer::Listen(int nPort, int& nError) {
  m_listener = CSocket(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  if (!m_listener.IsValid()) {
    nError = errno;
    WriteLog(kLogSocketFailed, "AcceptThread", nError);
    return false;
  }
  // Winsock binds a port whose old connections linger in TIME_WAIT; this
  // does the same here and still refuses a port another socket listens on.
  const int nReuse = 1;
  ::setsockopt(m_listener.Get(), SOL_SOCKET, SO_REUSEADDR, &nReuse, sizeof(nReuse));

  // Loopback only: the server is for the movie on this machine.
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(nPort));
  // A socket that is bound but not listening yet is not in the TCP table:
  // the port is this server's only once bind and listen have both worked.
  const char* pszFailed = nullptr;
  if (::bind(m_listener.Get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0)
    pszFailed = "bind(...) failure";
  else if (::listen(m_listener.Get(), SOMAXCONN) != 0)
    pszFailed = "listen(...) failure";
  if (pszFailed != nullptr) {
    nError = errno;
    WriteLog(pszFailed, "AcceptThread", nError);
    m_listener.Close();
    return false;
  }
  // Port 0 asks the system for any free port: m_nPort says which it gave.
  socklen_t nAddressLength = sizeof(address);
  if (nPort == 0 && ::getsockname(m_listener.Get(), reinterpret_cast<sockaddr*>(&address), &nAddressLength) == 0)
    nPort = ntohs(address.sin_port);
  m_nPort = nPort;
  nError = 0;
  return true;
}

bool CGenericServer::Run(int nPort, int nClientTimeout) {
  if (m_bRunning) {
    WriteLog(kLogLaunchThreadFailed, "Run", errno);
    return false;
  }
  int nError = 0;
  if (!m_listener.IsValid() && !Listen(nPort, nError)) return false;
  m_nClientTimeout = nClientTimeout;
  m_bStopping = false;
  m_hStartedEvent.Reset();

  try {
    m_hAcceptThread = CThreadHandle([this] { AcceptThread(this); });
  } catch (const std::system_error& e) {
    WriteLog(kLogLaunchThreadFailed, "Run", e.code().value());
    m_listener.Close();
    return false;
  }
  m_uAcceptThreadId = m_hAcceptThread.GetId();
  // The accept thread is left to itself when it does not answer.
  if (!m_hStartedEvent.Wait(m_startTimeout)) {
    WriteLog("Unable to get response from Accept Thread withing specified Timeout ->", "Run",
             static_cast<int>(m_startTimeout.count()));
    return false;
  }

  m_hStartedEvent.Reset();
  try {
    m_hHelperThread = CThreadHandle([this] { HelperThread(this); });
  } catch (const std::system_error& e) {
    WriteLog(kLogHelperThreadFailed, "Run", e.code().value());
    return false;
  }
  m_uHelperThreadId = m_hHelperThread.GetId();
  if (!m_hStartedEvent.Wait(m_startTimeout)) {
    WriteLog("Unable to get response from Helper Thread within specified Timeout ->", "Run",
             static_cast<int>(m_startTimeout.count()));
    return false;
  }

  m_bRunning = true;
  return true;
}

bool CGenericServer::Shutdown() {
  if (!m_bRunning) return false;
  m_bStopping = true;
  m_hShutdownEvent->Set();

  bool bResult = true;
  const auto deadline = CThreadHandle::Clock::now() + m_shutdownTimeout;
  const bool bAcceptEnded = m_hAcceptThread.WaitUntil(deadline);
  const bool bHelperEnded = m_hHelperThread.WaitUntil(deadline);
  if (!bAcceptEnded || !bHelperEnded) {
    WriteLog(kLogShutdownTimedOut, "Shutdown", 0);
    if (!m_hAcceptThread.Terminate()) WriteLog(kLogTerminateAcceptFailed, "Shutdown", kNoSuchThread);
    if (!m_hHelperThread.Terminate()) WriteLog(kLogTerminateHelperFailed, "Shutdown", kNoSuchThread);
    bResult = false;
  }
  m_hAcceptThread.Close();
  m_hHelperThread.Close();

  // Connection threads end at their next wait now that the event is set.
  while (m_nClients.load(std::memory_order_acquire) != 0) std::this_thread::sleep_for(kClientCountPoll);

  m_hShutdownEvent.reset();
  m_bRunning = false;
  return bResult;
}

bool CGenericServer::AddClient(CSocket socket, const std::string& strAddress, std::uint16_t nPort) {
  OnClientAccepted(strAddress, nPort);

  // Held while the thread starts, so its entry is listed before it can look.
  std::lock_guard<std::mutex> lock(m_csClients);
  auto pParam = std::make_unique<ClientThreadParam>();
  pParam->pServer = this;
  pParam->socket = std::move(socket);
  pParam->shutdownEvent = m_hShutdownEvent;
  try {
    CThreadHandle hThread([pRaw = pParam.get()] { ClientThread(std::unique_ptr<ClientThreadParam>(pRaw)); },
                          {.nStackSize = kClientStackSize, .bDetached = true});
    pParam.release();  // the thread owns it now
    const CThreadHandle::Id uThreadId = hThread.GetId();
    m_lstClients.push_back(ClientEntry{std::move(hThread), uThreadId});
    m_nClients.fetch_add(1, std::memory_order_relaxed);
    m_nOpenConnections.fetch_add(1, std::memory_order_relaxed);
  } catch (const std::system_error& e) {
    // The socket is closed with the unused parameter block.
    WriteLog(kLogClientThreadFailed, "AddClient", e.code().value());
    return false;
  }
  return true;
}

void CGenericServer::RemoveClient(std::unique_ptr<ClientThreadParam> pParam, CThreadHandle::Id uThreadId) {
  pParam->socket.Close();
  m_nOpenConnections.fetch_sub(1, std::memory_order_relaxed);

  CThreadHandle hFinished;
  bool bFound = false;
  {
    std::lock_guard<std::mutex> lock(m_csClients);
    pParam.reset();
    auto it = std::find_if(m_lstClients.begin(), m_lstClients.end(), [uThreadId](const ClientEntry& entry) {
      return CThreadHandle::SameThread(entry.uThreadId, uThreadId);
    });
    if (it != m_lstClients.end()) {
      hFinished = std::move(it->hThread);
      m_lstClients.erase(it);
      bFound = true;
    }
  }
  if (!bFound) {
    WriteLog("Thread not found in the list", "ClientThread", 0);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(m_csFinished);
    m_lstFinished.push_back(std::move(hFinished));
    ++m_nFinished;
  }
  // The very last access to the server: Shutdown may return once it reads 0.
  m_nClients.fetch_sub(1, std::memory_order_release);
}

unsigned AcceptThread(CGenericServer* pServer) {
  CGenericServer& server = *pServer;
  BlockSigpipe();
  // WSAStartup and its version check have no counterpart here; the socket
  // was made and bound by Listen.
  const CSocket listener = std::move(server.m_listener);
  auto shutdownEvent = std::make_shared<CSocketEvent>();
  if (!shutdownEvent->Create()) {
    server.WriteLog(kLogCreateEventFailed, "AcceptThread", errno);
    return kThreadExitCode;
  }
  // poll() watches the listening socket itself, so there is no accept event
  // to create; what the event selection still does is make it non-blocking.
  if (!SetNonBlocking(listener.Get())) {
    server.WriteLog(kLogEventSelectFailed, "AcceptThread", errno);
    return kThreadExitCode;
  }
  server.m_hShutdownEvent = shutdownEvent;
  server.m_hStartedEvent.Set();

  bool bRefusing = false;
  for (;;) {
    pollfd fds[2] = {{shutdownEvent->Fd(), POLLIN, 0}, {listener.Get(), POLLIN, 0}};
    if (::poll(fds, 2, -1) < 0) {
      if (errno == EINTR) continue;
      server.WriteLog(kLogAcceptWaitFailed, "AcceptThread", errno);
      break;
    }
    if (fds[0].revents != 0) break;
    if (fds[1].revents & (POLLERR | POLLNVAL)) {
      int nError = 0;
      socklen_t nLength = sizeof(nError);
      ::getsockopt(listener.Get(), SOL_SOCKET, SO_ERROR, &nError, &nLength);
      server.WriteLog(kLogNetworkEventsFailed, "AcceptThread", nError);
      break;
    }
    if (!(fds[1].revents & POLLIN)) continue;

    // Every connection that is waiting, before the next wait.
    for (;;) {
      sockaddr_in peer{};
      socklen_t nPeerLength = sizeof(peer);
      CSocket client(::accept4(listener.Get(), reinterpret_cast<sockaddr*>(&peer), &nPeerLength, SOCK_CLOEXEC));
      if (!client.IsValid()) {
        // Nothing more waiting, or a connection that went away before it was taken.
        if (errno == EAGAIN || errno == EWOULDBLOCK) break;
        if (errno == EINTR || errno == ECONNABORTED) continue;
        server.WriteLog(kLogAcceptFailed, "AcceptThread", errno);
        if (shutdownEvent->Wait(kAcceptRetryPauseMs) != 0) return kThreadExitCode;
        break;
      }
      if (server.m_nOpenConnections.load(std::memory_order_relaxed) >= CGenericServer::kMaxClients) {
        // Closed unserved; one line for each burst of them.
        if (!bRefusing)
          server.WriteLog("Too many connections, refused until some end ->", "AcceptThread",
                          CGenericServer::kMaxClients);
        bRefusing = true;
        continue;
      }
      bRefusing = false;
      if (!server.AddClient(std::move(client), FormatAddress(peer.sin_addr), peer.sin_port))
        server.WriteLog("AddClient(...) failure", "AcceptThread", 0);
    }
  }
  return kThreadExitCode;
}

unsigned HelperThread(CGenericServer* pServer) {
  CGenericServer& server = *pServer;
  BlockSigpipe();
  const std::shared_ptr<CSocketEvent> shutdownEvent = server.m_hShutdownEvent;
  server.m_hStartedEvent.Set();

  while (shutdownEvent->Wait(kHelperPollMs) == 0) {
    // Taken out of the list and waited for outside the lock, so that the
    // connection threads that end meanwhile need not wait for the helper.
    std::list<CThreadHandle> lstFinished;
    {
      std::lock_guard<std::mutex> lock(server.m_csFinished);
      lstFinished.swap(server.m_lstFinished);
      server.m_nFinished = 0;
    }
    for (CThreadHandle& hThread : lstFinished) {
      if (!hThread.Wait(server.m_reapTimeout)) {
        server.WriteLog(kLogReapTimedOut, "HelperThread", 0);
        if (!hThread.Terminate()) server.WriteLog(kLogTerminateClientFailed, "HelperThread", kNoSuchThread);
      }
    }
  }
  return kThreadExitCode;
}

unsigned ClientThread(std::unique_ptr<ClientThreadParam> pParam) {
  CGenericServer& server = *pParam->pServer;
  // Threads started by the accept thread have it blocked already; said here
  // all the same, where the replies are sent.
  BlockSigpipe();
  const int fdSocket = pParam->socket.Get();
  // The event selection made the socket non-blocking.
  if (!SetNonBlocking(fdSocket)) {
    server.WriteLog(kLogEventSelectFailed, "ClientThread", errno);
  } else {
    try {
      CConnection(server, fdSocket, pParam->shutdownEvent->Fd()).Serve();
    } catch (...) {
      // The derived class's request handling failed: this connection ends, the server goes on.
      server.WriteLog("Exception in request handling, connection closed", "ClientThread", 0);
    }
  }
  server.RemoveClient(std::move(pParam), CThreadHandle::CurrentId());
  return kThreadExitCode;
}
