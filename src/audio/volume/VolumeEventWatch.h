#pragma once
// Watches a mixer's poll descriptors on a thread of its own and tells the UI
// thread when they have something, by a message posted to a window. The
// descriptors stay readable until the UI thread has handled the events, so
// the watch posts once and then waits for Rearm() before it looks again.
#include <poll.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/WinTypes.h"

namespace audio::mixer {

class CMixerEventWatch {
 public:
  CMixerEventWatch(std::vector<pollfd> fds, platform::HWND hwnd, platform::UINT message);
  // Stops and joins the thread; the descriptors are not closed.
  ~CMixerEventWatch();
  CMixerEventWatch(const CMixerEventWatch&) = delete;
  CMixerEventWatch& operator=(const CMixerEventWatch&) = delete;

  // False when the thread or its wake descriptor could not be made.
  bool IsRunning() const { return m_thread.joinable(); }
  // UI thread, after handling the events the message announced.
  void Rearm();

 private:
  void Run();

  std::vector<pollfd> m_fds;
  const platform::HWND m_hwnd;
  const platform::UINT m_message;
  int m_stopFd = -1;
  // Guards m_bArmed and m_bQuit.
  std::mutex m_lock;
  std::condition_variable m_cv;
  bool m_bArmed = true;
  bool m_bQuit = false;
  std::thread m_thread;
};

}  // namespace audio::mixer
