#pragma once
// An abstract TCP server on the loopback address: an accept thread, a helper
// thread that reaps finished connection threads, and one thread per
// connection that collects a request until the derived class calls it
// complete, lets the derived class build the reply and sends it back.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <list>
#include <memory>
#include <mutex>
#include <string>

#include "server/Events.h"
#include "server/Socket.h"
#include "server/ThreadHandle.h"
#include "support/Log.h"

class CGenericServer;

// What follows the bytes of a reply: nLength bytes of an open file from its
// start, sent as the connection drains, so that a large file is never held in
// memory.
struct CReplyBody {
  CFileDescriptor file;
  std::uint64_t nLength = 0;
};

// What AddClient hands to a connection thread; the thread frees it when it ends.
struct ClientThreadParam {
  CGenericServer* pServer = nullptr;
  CSocket socket;
  // The connection thread's own reference: the event outlives the accept thread.
  std::shared_ptr<CSocketEvent> shutdownEvent;
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
  // connection's thread starts.
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
  // on with a file (body). By default there is none.
  virtual bool ParseRequestWithBody(std::string strRequest, std::string& strReply, CReplyBody& body, int& bKeepAlive);

  // Owner's thread. Listens on 127.0.0.1 and nPort (0: a free port the
  // system picks; m_nPort says which) unless Listen already does, then
  // starts the accept and helper threads. True when both are up; false at
  // once when the port cannot be had.
  bool Run(int nPort, int nClientTimeout);
  // Owner's thread. True when the service threads ended in time; false when
  // they had to be let go or when the server was not running.
  bool Shutdown();

  // Port listened on (low 16 bits), set by Run.
  int m_nPort = 0;
  // Milliseconds a connection waits for network activity; 0 is no limit.
  int m_nClientTimeout = 0;

  // Connections served at once; one more is accepted and closed at once, so
  // a flood of sockets cannot take a thread each.
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
  std::chrono::milliseconds m_reapTimeout{1000};

 private:
  friend unsigned AcceptThread(CGenericServer* pServer);
  friend unsigned HelperThread(CGenericServer* pServer);
  friend unsigned ClientThread(std::unique_ptr<ClientThreadParam> pParam);

  struct ClientEntry {
    CThreadHandle hThread;
    CThreadHandle::Id uThreadId;
  };

  bool AddClient(CSocket socket, const std::string& strAddress, std::uint16_t nPort);
  void RemoveClient(std::unique_ptr<ClientThreadParam> pParam, CThreadHandle::Id uThreadId);

  // Made by Listen, taken over by the accept thread.
  CSocket m_listener;
  CThreadHandle m_hAcceptThread;
  CThreadHandle::Id m_uAcceptThreadId{};
  CThreadHandle m_hHelperThread;
  CThreadHandle::Id m_uHelperThreadId{};
  // Created by the accept thread before it reports itself up; set by Shutdown.
  std::shared_ptr<CSocketEvent> m_hShutdownEvent;
  CAutoResetEvent m_hStartedEvent;
  std::list<ClientEntry> m_lstClients;
  std::atomic<std::int32_t> m_nClients{0};
  // Connections whose socket is still open: what the cap counts. A thread
  // that has closed its socket is only ending.
  std::atomic<std::int32_t> m_nOpenConnections{0};
  std::list<CThreadHandle> m_lstFinished;
  std::int32_t m_nFinished = 0;
  // Guards m_lstClients and the parameter blocks of starting threads.
  std::mutex m_csClients;
  // Guards m_lstFinished and m_nFinished.
  std::mutex m_csFinished;
  bool m_bRunning = false;
};
