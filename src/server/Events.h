#pragma once
// The two kinds of event the server waits on.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "server/Socket.h"

// Manual-reset event that poll() can wait on next to sockets: an eventfd
// that, once set, stays readable and so wakes every waiter, now or later.
class CSocketEvent {
 public:
  // False when no descriptor could be created (errno tells why).
  bool Create();
  // False when the event could not be set (errno tells why).
  bool Set();
  int Fd() const { return m_fd.Get(); }
  // Waits up to nMilliseconds (-1: no limit). 1 set, 0 time-out, -1 failure.
  int Wait(int nMilliseconds) const;

 private:
  CSocket m_fd;
};

// Auto-reset event for a handshake between two threads.
class CAutoResetEvent {
 public:
  void Set();
  void Reset();
  // True when the event was set within the time; the wait resets it.
  bool Wait(std::chrono::milliseconds timeout);

 private:
  // Guards m_bSet.
  std::mutex m_mutex;
  std::condition_variable m_cv;
  bool m_bSet = false;
};
