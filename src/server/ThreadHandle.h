#pragma once
// A thread with a handle in the Windows manner: waitable with a time limit,
// and closing the handle leaves the thread running. POSIX cannot terminate
// a thread, so "terminate" detaches it.
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>

class CThreadHandle {
 public:
  using Clock = std::chrono::steady_clock;

  CThreadHandle() = default;
  // Starts fn on a new thread; throws std::system_error when it cannot.
  explicit CThreadHandle(std::function<void()> fn);
  CThreadHandle(CThreadHandle&& other) noexcept = default;
  CThreadHandle& operator=(CThreadHandle&& other) noexcept;
  CThreadHandle(const CThreadHandle&) = delete;
  CThreadHandle& operator=(const CThreadHandle&) = delete;
  ~CThreadHandle() { Close(); }

  std::thread::id GetId() const { return m_id; }
  // True once the thread has ended (it is then joined); false at the deadline.
  bool WaitUntil(Clock::time_point deadline);
  bool Wait(std::chrono::milliseconds timeout) { return WaitUntil(Clock::now() + timeout); }
  // Lets the thread go on without us. False when there is no thread to let go
  // (it has ended and been joined, or was never started).
  bool Terminate();
  // Forgets the thread; a running one goes on.
  void Close();

 private:
  struct State {
    std::mutex mutex;
    std::condition_variable cv;
    bool bEnded = false;
  };

  std::shared_ptr<State> m_state;
  std::thread m_thread;
  std::thread::id m_id;
};
