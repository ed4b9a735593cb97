// The ALSA backend on its "null" PCM, which captures nothing audible and
// swallows playback, so the real backend and its worker threads run without a sound card.
#include <poll.h>

#include <chrono>
#include <functional>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"

#ifdef TESSEL_HAVE_ALSA
#include <alsa/asoundlib.h>

#include "audio/AlsaWaveDevice.h"
#endif

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;

namespace {

#ifdef TESSEL_HAVE_ALSA

constexpr const char* kNullPcm = "null";

// Counts what a device posts to it.
class CCounter : public platform::CMsgTarget {
 public:
  CCounter() { CreateTarget(); }
  void OnMessage(UINT message, platform::WPARAM, platform::LPARAM lParam) override {
    if (message == MM_WIM_DATA || message == MM_WOM_DONE) done.push_back(reinterpret_cast<WAVEHDR*>(lParam));
    if (message == MM_WIM_CLOSE || message == MM_WOM_CLOSE) ++closes;
  }
  std::vector<WAVEHDR*> done;
  int closes = 0;
};

WAVEFORMATEX OneChannel() {
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = 1;
  wfx.nSamplesPerSec = 22050;
  wfx.wBitsPerSample = 16;
  wfx.nBlockAlign = 2;
  wfx.nAvgBytesPerSec = 44100;
  return wfx;
}

TEST(AlsaDeviceTest, TheNullPcmIsListedBothWaysWithItsDescription) {
  CAlsaWaveDevices devices;
  auto find = [&devices](bool capture, UINT count) -> int {
    for (UINT i = 0; i < count; ++i) {
      std::string name;
      if (devices.GetPcmName(capture, i, name) == MMSYSERR_NOERROR && name == kNullPcm) return static_cast<int>(i);
    }
    return -1;
  };
  int in = find(true, devices.GetNumInDevs());
  int out = find(false, devices.GetNumOutDevs());
  ASSERT_GE(in, 0);
  ASSERT_GE(out, 0);
  std::string product;
  ASSERT_EQ(devices.GetInDevName(static_cast<UINT>(in), product), MMSYSERR_NOERROR);
  EXPECT_EQ(product, "Discard all samples (playback) or generate zero samples (capture)");
  EXPECT_TRUE(devices.HasInputDevice());
  EXPECT_TRUE(devices.HasOutputDevice());
  EXPECT_EQ(devices.GetInDevName(devices.GetNumInDevs(), product), MMSYSERR_BADDEVICEID);
}

TEST(AlsaDeviceTest, OpenChecksTheIdTheFormatAndReportsAlsaErrorsWithAlsaTexts) {
  CAlsaWaveDevices devices({kNullPcm, "no-such-pcm-here"});
  CCounter target;
  std::unique_ptr<IWaveIn> in;
  EXPECT_EQ(devices.OpenIn(in, 2, OneChannel(), target.GetSafeHwnd()), MMSYSERR_BADDEVICEID);
  WAVEFORMATEX odd = OneChannel();
  odd.wBitsPerSample = 12;
  EXPECT_EQ(devices.OpenIn(in, 0, odd, target.GetSafeHwnd()), WAVERR_BADFORMAT);
  MMRESULT r = devices.OpenIn(in, 1, OneChannel(), target.GetSafeHwnd());
  ASSERT_LT(static_cast<int>(r), 0);
  EXPECT_EQ(devices.GetInErrorText(r), snd_strerror(static_cast<int>(r)));
  EXPECT_EQ(in, nullptr);
}

TEST(AlsaDeviceTest, InputFillsQueuedBuffersAndResetHandsEveryOneBack) {
  CAlsaWaveDevices devices({kNullPcm});
  CCounter target;
  std::unique_ptr<IWaveIn> in;
  ASSERT_EQ(devices.OpenIn(in, 0, OneChannel(), target.GetSafeHwnd()), MMSYSERR_NOERROR);
  std::vector<std::vector<char>> data(3, std::vector<char>(4096, 'x'));
  std::vector<WAVEHDR> hdr(3, WAVEHDR{});
  for (int i = 0; i < 3; ++i) {
    hdr[i].lpData = data[i].data();
    hdr[i].dwBufferLength = 4096;
    EXPECT_EQ(in->AddBuffer(&hdr[i]), WAVERR_UNPREPARED);
    ASSERT_EQ(in->PrepareHeader(&hdr[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(in->AddBuffer(&hdr[i]), MMSYSERR_NOERROR);
  }
  EXPECT_EQ(in->UnprepareHeader(&hdr[0]), WAVERR_STILLPLAYING);
  EXPECT_EQ(in->Close(), WAVERR_STILLPLAYING);
  ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return !target.done.empty(); }));
  EXPECT_EQ(target.done.front(), &hdr[0]);  // in the order queued
  EXPECT_EQ(hdr[0].dwBytesRecorded, 4096u);
  ASSERT_EQ(in->Reset(), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return target.done.size() == 3; }));
  for (auto& h : hdr) EXPECT_EQ(in->UnprepareHeader(&h), MMSYSERR_NOERROR);
  ASSERT_EQ(in->Close(), MMSYSERR_NOERROR);
  ASSERT_TRUE(PumpUntil([&] { return target.closes == 1; }));
  EXPECT_EQ(in->Start(), MMSYSERR_INVALHANDLE);
}

TEST(AlsaDeviceTest, TheEngineRecordsFromAndPlaysToTheNullPcm) {
  CScratchDir dir;
  CBoxRecorder boxes;
  CAlsaWaveDevices devices({kNullPcm});
  CAudioPlayRec engine(devices);
  ASSERT_TRUE(engine.Initialize(0, 0, nullptr));
  ASSERT_TRUE(engine.StartRecording(0));
  ASSERT_TRUE(engine.OpenOutputFile(0, "test.wav"));
  constexpr std::size_t kFew = 46 + 3 * 4096;
  ASSERT_TRUE(PumpUntil([] { return std::filesystem::file_size("test.wav") >= kFew; }));
  engine.Stop();
  ASSERT_TRUE(PumpUntil([&] { return engine.GetState() == CAudioPlayRec::kStateReady; }));

  Bytes file = ReadAll("test.wav");
  ASSERT_GE(file.size(), kFew);
  std::uint32_t n = Le32(file, 42);
  EXPECT_EQ(file.size(), 46 + n);
  EXPECT_EQ(n % 4096, 0u);
  EXPECT_EQ(Le32(file, 4), 38 + n);

  ASSERT_TRUE(engine.Play());
  ASSERT_TRUE(PumpUntil([&] { return engine.GetState() == CAudioPlayRec::kStateReady; }));
  EXPECT_TRUE(boxes.Texts().empty());
}

#else

TEST(AlsaDeviceTest, NullPcm) { GTEST_SKIP() << "libasound is not installed: the ALSA backend was not built"; }

#endif

}  // namespace
