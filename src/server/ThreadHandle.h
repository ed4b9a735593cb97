#pragma once
// A thread with a handle in the Windows manner: waitable with a time limit.
// A thread is never let go: the handle joins it, at the latest when it goes,
// so nothing the thread uses can be destroyed under it.
#include <pthread.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <memory>
#include <mutex>

class CThreadHandle {
 public:
  using Clock = std::chrono::steady_clock;
  using Id = pthread_t;

  CThreadHandle() = default;
  // Starts fn on a new thread with nStackSize bytes of stack (0: the
  // system's default); throws std::system_error when it cannot.
  explicit CThreadHandle(std::function<void()> fn, std::size_t nStackSize = 0);
  CThreadHandle(CThreadHandle&& other) noexcept;
  // Joins the thread held before.
  CThreadHandle& operator=(CThreadHandle&& other) noexcept;
  CThreadHandle(const CThreadHandle&) = delete;
  CThreadHandle& operator=(const CThreadHandle&) = delete;
  ~CThreadHandle() { Join(); }

  Id GetId() const { return m_id; }
  static Id CurrentId() { return ::pthread_self(); }
  static bool SameThread(Id a, Id b) { return ::pthread_equal(a, b) != 0; }

  // True once the thread has ended and is joined (or there was none); false
  // at the deadline, the thread still held.
  bool WaitUntil(Clock::time_point deadline);
  bool Wait(std::chrono::milliseconds timeout) { return WaitUntil(Clock::now() + timeout); }
  // Waits for the thread to end, however long it takes.
  void Join();

 private:
  struct State {
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable cv;
    bool bEnded = false;
  };
  static void* Start(void* pState);

  // Null when no thread is held.
  std::shared_ptr<State> m_state;
  Id m_id{};
};
