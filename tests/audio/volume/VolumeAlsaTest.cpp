// The mixer functions on this machine's real ALSA configuration, and the
// thread that watches a mixer's descriptors, on a real event descriptor.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

#include "audio/AudioTestSupport.h"
#include "audio/volume/VolumeAlsaMixer.h"
#include "audio/volume/VolumeEventWatch.h"
#include "audio/volume/VolumeIn.h"
#include "platform/MessageLoop.h"
#include "support/Handles.h"
#include "support/PulseServer.h"

using namespace audio;
using namespace audio::mixer;
using namespace std::chrono_literals;

namespace {

using audiotest::PumpUntil;

TEST(AlsaMixer, MachineWithoutACardGivesWaveMapper) {
  soundtest::CNoSoundServer noServer;
  if (soundtest::CNoSoundServer::MachineHasACard()) GTEST_SKIP() << "this machine has a sound card";
  CAlsaMixerSystem alsa;
  EXPECT_EQ(alsa.GetNumMixerDevs(), 0u);

  EXPECT_EQ(FindRecordingDevice(alsa), WAVE_MAPPER);
  EXPECT_EQ(alsa.GetNumWaveInDevs(), CAlsaMixerSystem::ListCapturePcms().size());

  CVolumeInXXX volume(0, alsa);
  EXPECT_FALSE(volume.IsAvailable());
  EXPECT_EQ(volume.GetVolume(), kVolumeAbsent);
  EXPECT_EQ(volume.GetSteps(), kVolumeAbsent);
  volume.SetVolume(0);
  volume.SelectInput();
  EXPECT_EQ(g_pVolumeIn, nullptr);

  std::unique_ptr<IMixer> mixer;
  EXPECT_NE(alsa.OpenMixer(mixer, 0, 0), MMSYSERR_NOERROR);
  EXPECT_EQ(mixer, nullptr);
}

TEST(AlsaMixer, WithoutSoundNoDeviceCanBeProbed) {
  soundtest::CNoSoundServer noServer;
  if (soundtest::CNoSoundServer::MachineHasACard()) GTEST_SKIP() << "this machine has a sound card";
  CAlsaMixerSystem alsa;
  EXPECT_TRUE(CAlsaMixerSystem::ListCapturePcms().empty());
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = 1;
  wfx.nSamplesPerSec = 22050;
  wfx.nAvgBytesPerSec = 44100;
  wfx.nBlockAlign = 2;
  wfx.wBitsPerSample = 16;
  std::unique_ptr<IWaveInProbe> probe;
  EXPECT_EQ(alsa.OpenWaveIn(probe, 0, wfx), MMSYSERR_BADDEVICEID);
  EXPECT_NE(alsa.OpenWaveIn(probe, WAVE_MAPPER, wfx), MMSYSERR_NOERROR);  // "default" leads nowhere
  EXPECT_EQ(probe, nullptr);
}

// Counts what the watch posts to it.
class CCounter : public platform::CMsgTarget {
 public:
  static constexpr platform::UINT kMessage = platform::WM_USER + 7;
  CCounter() { CreateTarget(); }
  void OnMessage(platform::UINT message, platform::WPARAM, platform::LPARAM) override {
    if (message == kMessage) ++count;
  }
  int count = 0;
};

class EventFd {
 public:
  EventFd() : fd(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}
  void Signal() {
    std::uint64_t one = 1;
    ASSERT_EQ(::write(fd.Get(), &one, sizeof one), static_cast<ssize_t>(sizeof one));
  }
  void Drain() {
    std::uint64_t value;
    while (::read(fd.Get(), &value, sizeof value) > 0) {
    }
  }
  support::CFd fd;
};

TEST(MixerEventWatch, PostsOncePerEventsAndWaitsToBeRearmed) {
  CCounter target;
  EventFd events;
  ASSERT_GE(events.fd.Get(), 0);
  CMixerEventWatch watch({pollfd{events.fd.Get(), POLLIN, 0}}, target.GetSafeHwnd(), CCounter::kMessage);
  ASSERT_TRUE(watch.IsRunning());

  events.Signal();
  ASSERT_TRUE(PumpUntil([&] { return target.count == 1; }, 5000ms));
  // Still readable, but not handled yet: no second message.
  PumpUntil([] { return false; }, 50ms);
  EXPECT_EQ(target.count, 1);

  events.Drain();
  watch.Rearm();
  PumpUntil([] { return false; }, 30ms);
  EXPECT_EQ(target.count, 1);  // nothing new to announce

  events.Signal();
  ASSERT_TRUE(PumpUntil([&] { return target.count == 2; }, 5000ms));
}

TEST(MixerEventWatch, StopsWhileWaitingAndAfterItsWindowIsGone) {
  EventFd events;
  CCounter bystander;
  {
    CCounter target;
    CMixerEventWatch idle({pollfd{events.fd.Get(), POLLIN, 0}}, target.GetSafeHwnd(), CCounter::kMessage);
    EXPECT_TRUE(idle.IsRunning());
  }  // blocked in poll: the destructor ends it
  HWND gone = 0;
  {
    CCounter target;
    gone = target.GetSafeHwnd();
  }
  {
    CMixerEventWatch orphan({pollfd{events.fd.Get(), POLLIN, 0}}, gone, CCounter::kMessage);
    events.Signal();
    std::this_thread::sleep_for(20ms);
  }  // posted into nothing, never rearmed: still stops
  platform::CMessageLoop::Get().RunUntilIdle();
  EXPECT_EQ(bystander.count, 0);
}

}  // namespace
