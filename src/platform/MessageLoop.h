#pragma once
// The UI thread's message loop: posting to a window from any thread,
// per-window timers, and dispatch through the window's PreTranslateMessage
// before its handlers. Runs on its own (tests, headless) or is pumped by a
// GUI toolkit through WakeFd() and MillisecondsToNextTimer().
#include <cassert>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/WinTypes.h"

namespace platform {

struct MSG {
  HWND hwnd = 0;
  UINT message = 0;
  WPARAM wParam = 0;
  LPARAM lParam = 0;
};

// A window in the framework's sense: something messages and timers reach.
// It has a handle only between Create() and Destroy() (or its destructor).
class CMsgTarget {
 public:
  CMsgTarget() = default;
  CMsgTarget(const CMsgTarget&) = delete;
  CMsgTarget& operator=(const CMsgTarget&) = delete;
  virtual ~CMsgTarget();

  bool CreateTarget();
  // Drops the window's queued messages and timers.
  void DestroyTarget();
  HWND GetSafeHwnd() const { return m_hWnd; }

  // Sees every message to this window before it is dispatched; true consumes it.
  virtual bool PreTranslateMessage(MSG& msg);
  // The message map: WM_TIMER goes to OnTimer, everything else here.
  virtual void OnMessage(UINT message, WPARAM wParam, LPARAM lParam);
  virtual void OnTimer(UINT_PTR nIDEvent);

 private:
  HWND m_hWnd = 0;
};

class CMessageLoop {
 public:
  using Clock = std::chrono::steady_clock;

  static CMessageLoop& Get();

  // Any thread. FALSE when hwnd is not a live window.
  bool PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
  // Any thread: task runs on the UI thread, in turn with the window's
  // messages; a window destroyed first drops it unrun. FALSE when hwnd is
  // not a live window.
  bool PostTask(HWND hwnd, std::function<void()> task);
  // UI thread. Periodic until killed; setting an existing id re-arms it.
  UINT_PTR SetTimer(HWND hwnd, UINT_PTR nIDEvent, UINT uElapse);
  bool KillTimer(HWND hwnd, UINT_PTR nIDEvent);

  // Dispatches the messages queued now and the timers due now, once each.
  // Returns how many were dispatched.
  int DispatchPending();
  // Dispatches until no message is queued and no timer is due.
  int RunUntilIdle();
  // Moves the loop's clock forward (tests) and dispatches what became due.
  int AdvanceTime(std::chrono::milliseconds by);
  // Advances to the next timer's due time and dispatches; false if no timer.
  bool AdvanceToNextTimer();

  // Blocking standalone loop until Quit() (from any thread).
  void Run();
  void Quit();

  // Readable while messages are waiting or a timer was set; for a GUI
  // toolkit's socket notifier, which then calls DispatchPending and re-reads
  // MillisecondsToNextTimer.
  int WakeFd() const { return m_wakeFd; }
  // Time until the next timer is due (0 when overdue), none without timers.
  std::optional<int> MillisecondsToNextTimer() const;

  Clock::time_point Now() const;

  // The UI thread is the one that created the loop (its first user).
  bool IsUiThread() const { return std::this_thread::get_id() == m_uiThread; }

  // Registry of windows; used by CMsgTarget. Register on the UI thread.
  HWND Register(CMsgTarget* target);
  void Unregister(HWND hwnd);

 private:
  CMessageLoop();
  ~CMessageLoop();

  struct Timer {
    UINT elapse;
    Clock::time_point due;
  };

  // A posted message, or a task for the window.
  struct Queued {
    MSG msg;
    std::function<void()> task;
  };

  bool Dispatch(Queued item);
  bool PopMessage(Queued& item);
  bool Post(Queued item);
  void DrainWake();
  void Wake();
  std::optional<MSG> NextDueTimer();

  const std::thread::id m_uiThread = std::this_thread::get_id();
  // m_lock guards the queue, the windows, the timers, m_nextHwnd, m_offset
  // and m_quit; m_cv waits on it.
  mutable std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<Queued> m_queue;
  std::unordered_map<HWND, CMsgTarget*> m_targets;
  std::map<std::pair<HWND, UINT_PTR>, Timer> m_timers;
  HWND m_nextHwnd = 1;
  Clock::duration m_offset{};
  bool m_quit = false;
  int m_wakeFd = -1;
};

// Stops a debug build where a UI-thread-only function is called from
// another thread; nothing in a release build.
inline void AssertUiThread() { assert(CMessageLoop::Get().IsUiThread() && "called off the UI thread"); }

// The framework's free functions, on the one loop.
inline bool PostMessage(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
  return CMessageLoop::Get().PostMessage(hwnd, message, wParam, lParam);
}
inline bool PostTask(HWND hwnd, std::function<void()> task) {
  return CMessageLoop::Get().PostTask(hwnd, std::move(task));
}
inline UINT_PTR SetTimer(HWND hwnd, UINT_PTR id, UINT ms) { return CMessageLoop::Get().SetTimer(hwnd, id, ms); }
inline bool KillTimer(HWND hwnd, UINT_PTR id) { return CMessageLoop::Get().KillTimer(hwnd, id); }

}  // namespace platform
