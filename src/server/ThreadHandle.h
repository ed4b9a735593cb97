#pragma once
// A thread with a handle in the Windows manner: waitable with a time limit,
// and closing the handle leaves the thread running. POSIX cannot terminate
// a thread, so "terminate" lets it go on without us.
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

  struct Options {
    // 0: the system's default.
    std::size_t nStackSize = 0;
    // A detached thread gives its stack back the moment it ends, instead of
    // when somebody joins it; waits then see the end of its work.
    bool bDetached = false;
  };

  CThreadHandle() = default;
  // Starts fn on a new thread; throws std::system_error when it cannot.
  explicit CThreadHandle(std::function<void()> fn) : CThreadHandle(std::move(fn), Options()) {}
  CThreadHandle(std::function<void()> fn, Options options);
  CThreadHandle(CThreadHandle&& other) noexcept;
  CThreadHandle& operator=(CThreadHandle&& other) noexcept;
  CThreadHandle(const CThreadHandle&) = delete;
  CThreadHandle& operator=(const CThreadHandle&) = delete;
  ~CThreadHandle() { Close(); }

  Id GetId() const { return m_id; }
  static Id CurrentId() { return ::pthread_self(); }
  static bool SameThread(Id a, Id b) { return ::pthread_equal(a, b) != 0; }

  // True once the thread has ended (a joinable one is then joined); false at
  // the deadline.
  bool WaitUntil(Clock::time_point deadline);
  bool Wait(std::chrono::milliseconds timeout) { return WaitUntil(Clock::now() + timeout); }
  // Lets the thread go on without us. False when there is no thread to let go
  // (it has ended, or was never started).
  bool Terminate();
  // Forgets the thread; a running one goes on.
  void Close();

 private:
  struct State {
    std::function<void()> fn;
    std::mutex mutex;
    std::condition_variable cv;
    bool bEnded = false;
  };
  static void* Start(void* pState);

  std::shared_ptr<State> m_state;
  Id m_id{};
  // Joinable and not yet joined or let go.
  bool m_bJoinable = false;
};
