#include "audio/volume/VolumeEventWatch.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

#include "platform/MessageLoop.h"

namespace audio::mixer {

CMixerEventWatch::CMixerEventWatch(std::vector<pollfd> fds, platform::HWND hwnd, platform::UINT message)
    : m_fds(std::move(fds)), m_hwnd(hwnd), m_message(message) {
  m_stopFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  if (m_stopFd < 0) return;
  m_fds.push_back(pollfd{m_stopFd, POLLIN, 0});
  m_thread = std::thread([this] { Run(); });
}

CMixerEventWatch::~CMixerEventWatch() {
  {
    std::lock_guard lock(m_lock);
    m_bQuit = true;
  }
  m_cv.notify_all();
  if (m_stopFd >= 0) {
    std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(m_stopFd, &one, sizeof one);
  }
  if (m_thread.joinable()) m_thread.join();
  if (m_stopFd >= 0) ::close(m_stopFd);
}

void CMixerEventWatch::Rearm() {
  {
    std::lock_guard lock(m_lock);
    m_bArmed = true;
  }
  m_cv.notify_all();
}

void CMixerEventWatch::Run() {
  for (;;) {
    {
      std::unique_lock lock(m_lock);
      m_cv.wait(lock, [this] { return m_bQuit || m_bArmed; });
      if (m_bQuit) return;
    }
    for (auto& fd : m_fds) fd.revents = 0;
    int n = ::poll(m_fds.data(), m_fds.size(), -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || m_fds.back().revents != 0) return;  // failed, or asked to stop
    bool events = false;
    for (std::size_t i = 0; i + 1 < m_fds.size(); ++i) events = events || m_fds[i].revents != 0;
    if (!events) continue;
    {
      std::lock_guard lock(m_lock);
      m_bArmed = false;
    }
    // A dead window means the mixer is being closed; wait for the stop.
    platform::PostMessage(m_hwnd, m_message, 0, 0);
  }
}

}  // namespace audio::mixer
