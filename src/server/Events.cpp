#include "server/Events.h"

#include <poll.h>
#include <sys/eventfd.h>

#include <cerrno>
#include <cstdint>

bool CSocketEvent::Create() {
  m_fd = CSocket(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
  return m_fd.IsValid();
}

bool CSocketEvent::Set() {
  const std::uint64_t one = 1;
  // A counter already at its limit is as set as it gets.
  return ::write(m_fd.Get(), &one, sizeof(one)) == sizeof(one) || errno == EAGAIN;
}

int CSocketEvent::Wait(int nMilliseconds) const {
  pollfd pfd{m_fd.Get(), POLLIN, 0};
  for (;;) {
    const int n = ::poll(&pfd, 1, nMilliseconds);
    if (n > 0) return (pfd.revents & POLLIN) ? 1 : -1;
    if (n == 0) return 0;
    if (errno != EINTR) return -1;
  }
}

void CAutoResetEvent::Set() {
  {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bSet = true;
  }
  m_cv.notify_one();
}

void CAutoResetEvent::Reset() {
  std::lock_guard<std::mutex> lock(m_mutex);
  m_bSet = false;
}

bool CAutoResetEvent::Wait(std::chrono::milliseconds timeout) {
  std::unique_lock<std::mutex> lock(m_mutex);
  if (!m_cv.wait_for(lock, timeout, [this] { return m_bSet; })) return false;
  m_bSet = false;
  return true;
}
