#include "server/ThreadHandle.h"

CThreadHandle::CThreadHandle(std::function<void()> fn) : m_state(std::make_shared<State>()) {
  m_thread = std::thread([state = m_state, fn = std::move(fn)] {
    fn();
    std::lock_guard<std::mutex> lock(state->mutex);
    state->bEnded = true;
    state->cv.notify_all();
  });
  m_id = m_thread.get_id();
}

CThreadHandle& CThreadHandle::operator=(CThreadHandle&& other) noexcept {
  if (this != &other) {
    Close();
    m_state = std::move(other.m_state);
    m_thread = std::move(other.m_thread);
    m_id = other.m_id;
  }
  return *this;
}

bool CThreadHandle::WaitUntil(Clock::time_point deadline) {
  if (!m_thread.joinable()) return true;
  {
    std::unique_lock<std::mutex> lock(m_state->mutex);
    if (!m_state->cv.wait_until(lock, deadline, [this] { return m_state->bEnded; })) return false;
  }
  m_thread.join();
  return true;
}

bool CThreadHandle::Terminate() {
  if (!m_thread.joinable()) return false;
  m_thread.detach();
  return true;
}

void CThreadHandle::Close() {
  if (m_thread.joinable()) m_thread.detach();
  m_state.reset();
}
