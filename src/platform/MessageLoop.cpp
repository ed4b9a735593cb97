#include "platform/MessageLoop.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <system_error>

namespace platform {

CMsgTarget::~CMsgTarget() { DestroyTarget(); }

bool CMsgTarget::CreateTarget() {
  if (m_hWnd == 0) m_hWnd = CMessageLoop::Get().Register(this);
  return true;
}

void CMsgTarget::DestroyTarget() {
  if (m_hWnd != 0) {
    CMessageLoop::Get().Unregister(m_hWnd);
    m_hWnd = 0;
  }
}

bool CMsgTarget::PreTranslateMessage(MSG&) { return false; }
void CMsgTarget::OnMessage(UINT, WPARAM, LPARAM) {}
void CMsgTarget::OnTimer(UINT_PTR) {}

CMessageLoop& CMessageLoop::Get() {
  static CMessageLoop loop;
  return loop;
}

CMessageLoop::CMessageLoop() {
  m_wakeFd = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_wakeFd < 0) throw std::system_error(errno, std::generic_category(), "eventfd");
}

CMessageLoop::~CMessageLoop() { ::close(m_wakeFd); }

CMessageLoop::Clock::time_point CMessageLoop::Now() const { return Clock::now() + m_offset; }

HWND CMessageLoop::Register(CMsgTarget* target) {
  AssertUiThread();
  std::lock_guard lock(m_lock);
  HWND hwnd = m_nextHwnd++;
  m_targets[hwnd] = target;
  return hwnd;
}

void CMessageLoop::Unregister(HWND hwnd) {
  // Dropped tasks are destroyed outside the lock: what they hold may go with them.
  std::deque<Queued> dropped;
  std::lock_guard lock(m_lock);
  m_targets.erase(hwnd);
  for (auto it = m_queue.begin(); it != m_queue.end();) {
    if (it->msg.hwnd != hwnd) {
      ++it;
      continue;
    }
    dropped.push_back(std::move(*it));
    it = m_queue.erase(it);
  }
  std::erase_if(m_timers, [hwnd](const auto& t) { return t.first.first == hwnd; });
}

bool CMessageLoop::PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return Post(Queued{MSG{hwnd, message, wParam, lParam}, nullptr});
}

bool CMessageLoop::PostTask(HWND hwnd, std::function<void()> task) {
  return Post(Queued{MSG{hwnd, 0, 0, 0}, std::move(task)});
}

bool CMessageLoop::Post(Queued item) {
  // Wakes the loop before the lock goes: a worker that posts as its last act
  // is then done with the loop once the UI thread has taken the message, even
  // if the program ends right after.
  std::lock_guard lock(m_lock);
  if (!m_targets.contains(item.msg.hwnd)) return false;
  m_queue.push_back(std::move(item));
  Wake();
  m_cv.notify_all();
  return true;
}

void CMessageLoop::Wake() {
  std::uint64_t one = 1;
  [[maybe_unused]] auto n = ::write(m_wakeFd, &one, sizeof one);
}

UINT_PTR CMessageLoop::SetTimer(HWND hwnd, UINT_PTR nIDEvent, UINT uElapse) {
  AssertUiThread();
  std::lock_guard lock(m_lock);
  if (!m_targets.contains(hwnd)) return 0;
  m_timers[{hwnd, nIDEvent}] = Timer{uElapse, Now() + std::chrono::milliseconds(uElapse)};
  m_cv.notify_all();
  // A GUI loop pumping us must learn of the new deadline.
  Wake();
  return nIDEvent;
}

bool CMessageLoop::KillTimer(HWND hwnd, UINT_PTR nIDEvent) {
  AssertUiThread();
  std::lock_guard lock(m_lock);
  return m_timers.erase({hwnd, nIDEvent}) > 0;
}

bool CMessageLoop::PopMessage(Queued& item) {
  std::lock_guard lock(m_lock);
  if (m_queue.empty()) return false;
  item = std::move(m_queue.front());
  m_queue.pop_front();
  return true;
}

std::optional<MSG> CMessageLoop::NextDueTimer() {
  std::lock_guard lock(m_lock);
  auto now = Now();
  auto best = m_timers.end();
  for (auto it = m_timers.begin(); it != m_timers.end(); ++it)
    if (it->second.due <= now && (best == m_timers.end() || it->second.due < best->second.due)) best = it;
  if (best == m_timers.end()) return std::nullopt;
  best->second.due = now + std::chrono::milliseconds(best->second.elapse);
  return MSG{best->first.first, WM_TIMER, best->first.second, 0};
}

bool CMessageLoop::Dispatch(Queued item) {
  MSG& msg = item.msg;
  CMsgTarget* target = nullptr;
  {
    std::lock_guard lock(m_lock);
    auto it = m_targets.find(msg.hwnd);
    if (it == m_targets.end()) return false;
    target = it->second;
  }
  if (item.task) {
    item.task();
    return true;
  }
  // Windows are created and destroyed on this thread, so target stays valid here.
  if (target->PreTranslateMessage(msg)) return true;
  if (msg.message == WM_TIMER)
    target->OnTimer(msg.wParam);
  else
    target->OnMessage(msg.message, msg.wParam, msg.lParam);
  return true;
}

void CMessageLoop::DrainWake() {
  std::uint64_t value;
  while (::read(m_wakeFd, &value, sizeof value) > 0) {
  }
}

int CMessageLoop::DispatchPending() {
  DrainWake();
  std::size_t queued;
  {
    std::lock_guard lock(m_lock);
    queued = m_queue.size();
  }
  int count = 0;
  Queued item;
  for (std::size_t i = 0; i < queued && PopMessage(item); ++i) count += Dispatch(std::move(item)) ? 1 : 0;
  // Each timer fires at most once per pass, as a periodic WM_TIMER does.
  std::size_t timers;
  {
    std::lock_guard lock(m_lock);
    timers = m_timers.size();
  }
  for (std::size_t i = 0; i < timers; ++i) {
    auto t = NextDueTimer();
    if (!t) break;
    count += Dispatch(Queued{*t, nullptr}) ? 1 : 0;
  }
  return count;
}

int CMessageLoop::RunUntilIdle() {
  int total = 0;
  for (int n; (n = DispatchPending()) > 0;) total += n;
  return total;
}

int CMessageLoop::AdvanceTime(std::chrono::milliseconds by) {
  {
    std::lock_guard lock(m_lock);
    m_offset += by;
  }
  return RunUntilIdle();
}

bool CMessageLoop::AdvanceToNextTimer() {
  auto wait = MillisecondsToNextTimer();
  if (!wait) return false;
  AdvanceTime(std::chrono::milliseconds(*wait));
  return true;
}

std::optional<int> CMessageLoop::MillisecondsToNextTimer() const {
  std::lock_guard lock(m_lock);
  if (m_timers.empty()) return std::nullopt;
  auto next = m_timers.begin()->second.due;
  for (const auto& [key, timer] : m_timers) next = std::min(next, timer.due);
  auto ms = std::chrono::ceil<std::chrono::milliseconds>(next - Now()).count();
  return ms < 0 ? 0 : static_cast<int>(ms);
}

void CMessageLoop::Run() {
  {
    std::lock_guard lock(m_lock);
    m_quit = false;
  }
  for (;;) {
    RunUntilIdle();
    auto wait = MillisecondsToNextTimer();
    std::unique_lock lock(m_lock);
    if (m_quit) return;
    auto ready = [this] { return m_quit || !m_queue.empty(); };
    if (wait)
      m_cv.wait_for(lock, std::chrono::milliseconds(*wait), ready);
    else
      m_cv.wait(lock, ready);
    if (m_quit) return;
  }
}

void CMessageLoop::Quit() {
  {
    std::lock_guard lock(m_lock);
    m_quit = true;
  }
  m_cv.notify_all();
}

}  // namespace platform
