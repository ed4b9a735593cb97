#pragma once
// An abstract TCP server on the loopback address: an accept thread, a helper
// thread that joins connection threads that have ended, and connection
// threads, each serving one connection at a time from its first byte to its
// close: it collects a request until the derived class calls it complete,
// lets the derived class build the reply and sends it back. A thread whose
// connection has ended waits a short while for the next one, then ends.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "server/Events.h"
#include "server/Reply.h"
#include "server/Socket.h"
#include "server/ThreadHandle.h"
#include "support/Log.h"

class CGenericServer;

// One connection, from AddClient to RemoveClient.
struct ClientThreadParam {
  CGenericServer* pServer = nullptr;
  CSocket socket;
};

unsigned AcceptThread(CGenericServer* pServer);
unsigned HelperThread(CGenericServer* pServer);
unsigned ClientThread(std::unique_ptr<ClientThreadParam> pParam);

class CGenericServer : public CLog {
 public:
  CGenericServer();
  // Stops a server that is still running, so no thread outlives the object.
  ~CGenericServer() override;

  // Peer address as "%d.%d.%d.%d" and the port as the socket address carries
  // it (network byte order). Called on the accept thread before the
  // connection goes to a thread.
  virtual int OnClientAccepted(const std::string& strAddress, std::uint16_t nPort) = 0;
  // After a reply has gone out completely, with its length.
  virtual int OnReplySent(std::uint32_t nBytesSent) = 0;
  // After every receive, with all bytes of the request so far.
  virtual bool IsRequestComplete(std::string strRequest) = 0;
  // How far an unfinished request may grow before the connection is dropped.
  virtual std::size_t GetMaxRequestSize(const std::string& strRequest) const;
  // Turns a complete request into the reply; false drops the connection
  // without one. bKeepAlive (0 at first) keeps the connection open when set.
  virtual bool ParseRequest(std::string strRequest, std::string& strReply, int& bKeepAlive) = 0;
  // What the connection thread calls: ParseRequest, where the reply may go
  // on with a file. By default there is none.
  virtual bool ParseRequestWithBody(std::string strRequest, CReply& reply, int& bKeepAlive);

  // Owner's thread. Listens on 127.0.0.1 and nPort (0: a free port the
  // system picks; m_nPort says which) unless Listen already does, then
  // starts the accept and helper threads. True when both are up; false at
  // once when the port cannot be had. A failed Run leaves no thread behind.
  bool Run(int nPort, int nClientTimeout);
  // Owner's thread. Ends and joins every thread the server started; when it
  // returns, none of them touches the server any more. Each wait in the
  // server ends when it is told to stop, and the derived class's request
  // handling is expected to end once m_bStopping is set; then Shutdown
  // returns within m_clientShutdownTimeout. True when the service threads
  // ended within m_shutdownTimeout and the connection threads within theirs;
  // false when one of them had to be waited for longer, or when the server
  // was not running.
  bool Shutdown();

  // Port listened on (low 16 bits), set by Run.
  int m_nPort = 0;
  // Milliseconds a connection waits for network activity; 0 is no limit.
  int m_nClientTimeout = 0;

  // Connections served at once, and connection threads at most; one more
  // connection is accepted and closed at once, so a flood of sockets cannot
  // take a thread each.
  static constexpr std::int32_t kMaxClients = 256;

 protected:
  // Owner's thread, before Run: the listening socket on 127.0.0.1 and nPort
  // (0: any free port), so that the port is this server's before anything
  // else is told of it; m_nPort says which. False when it cannot be had,
  // logged; nError is then errno (EADDRINUSE: some other socket holds it).
  bool Listen(int nPort, int& nError);

  // True from the start of Shutdown: work that may take long (a fetch) ends
  // when it sees it.
  std::atomic<bool> m_bStopping{false};
  // Waits of the server, as the program uses them; tests may shorten them.
  std::chrono::milliseconds m_startTimeout{30000};
  std::chrono::milliseconds m_shutdownTimeout{1000};
  // A fetch sees the stop within about a second; a handler waiting for the
  // window is released when the window closes first.
  std::chrono::milliseconds m_clientShutdownTimeout{5000};
  std::chrono::milliseconds m_reapTimeout{1000};
  // How long a connection thread waits for its next connection.
  std::chrono::milliseconds m_clientIdleTimeout{2000};

 private:
  friend unsigned AcceptThread(CGenericServer* pServer);
  friend unsigned HelperThread(CGenericServer* pServer);
  friend unsigned ClientThread(std::unique_ptr<ClientThreadParam> pParam);

  struct ClientEntry {
    CThreadHandle hThread;
    CThreadHandle::Id uThreadId;
  };
  // A connection thread's place while it waits for its next connection:
  // AddClient or Shutdown takes it from m_vecIdle, sets pNext (or not) and
  // wakes it, all under m_csClients. It lives as long as the thread.
  struct IdleThread {
    std::condition_variable wake;
    bool bWoken = false;
    std::unique_ptr<ClientThreadParam> pNext;
  };

  bool AddClient(CSocket socket, const std::string& strAddress, std::uint16_t nPort);
  // Ends the connection of pParam. Returns the thread's next connection, or
  // none once the thread is to end: its entry has then gone to the finished
  // list, and the thread only returns.
  std::unique_ptr<ClientThreadParam> RemoveClient(std::unique_ptr<ClientThreadParam> pParam, IdleThread& idle,
                                                  CThreadHandle::Id uThreadId);
  // The next connection for a thread whose connection has ended: one that
  // waits already, or one handed over within m_clientIdleTimeout; none at
  // the stop or when none came.
  std::unique_ptr<ClientThreadParam> TakeNextClient(IdleThread& idle);
  // Under m_csClients, with idle taken from m_vecIdle.
  static void Wake(IdleThread& idle);
  // Sets the stop, wakes every waiting thread and joins the service threads;
  // false when they took longer than m_shutdownTimeout.
  bool StopServiceThreads(CThreadHandle::Clock::time_point deadline);
  // Joins every connection thread; false when one took past the deadline.
  bool JoinClientThreads(CThreadHandle::Clock::time_point deadline);

  // Made by Listen, taken over by the accept thread.
  CSocket m_listener;
  CThreadHandle m_hAcceptThread;
  CThreadHandle::Id m_uAcceptThreadId{};
  CThreadHandle m_hHelperThread;
  CThreadHandle::Id m_uHelperThreadId{};
  // Made by Run, set by Shutdown; every server thread waits on it.
  CSocketEvent m_hShutdownEvent;
  CAutoResetEvent m_hStartedEvent;
  // One entry per connection thread that has started and not yet ended.
  std::list<ClientEntry> m_lstClients;
  std::int32_t m_nClients = 0;
  // Connection threads waiting for a connection, the last one to wait first.
  std::vector<IdleThread*> m_vecIdle;
  // Connections that came while every one of kMaxClients threads was still
  // ending its last one: the first of them to finish takes the oldest.
  std::deque<std::unique_ptr<ClientThreadParam>> m_queWaiting;
  // Connections whose socket is still open: what the cap counts.
  std::atomic<std::int32_t> m_nOpenConnections{0};
  // Shutdown waits on it for m_nClients to reach 0.
  std::condition_variable m_clientsEnded;
  // Threads that have ended their work and wait to be joined.
  std::list<CThreadHandle> m_lstFinished;
  std::int32_t m_nFinished = 0;
  // Guards m_lstClients, m_nClients, m_vecIdle and m_queWaiting, and the
  // idle threads' next connections until they are woken.
  std::mutex m_csClients;
  // Guards m_lstFinished and m_nFinished.
  std::mutex m_csFinished;
  bool m_bRunning = false;
};
