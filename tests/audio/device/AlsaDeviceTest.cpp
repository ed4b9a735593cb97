// The ALSA backend on its "null" PCM, which captures nothing audible and
// swallows playback, so the real backend and its worker threads run without a sound card.
#include <alsa/asoundlib.h>
#include <poll.h>

#include <chrono>
#include <functional>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/device/AlsaWaveDevice.h"
#include "support/PulseServer.h"

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;

namespace {

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

// What ALSA lists on a desktop with one card and PulseAudio running.
const std::vector<PcmHint> kDesktop = {
    {"null", "Discard all samples (playback) or generate zero samples (capture)", ""},
    {"default", "Playback/recording through the PulseAudio sound server", ""},
    {"samplerate", "Rate Converter Plugin Using Samplerate Library", ""},
    {"pulse", "PulseAudio Sound Server", ""},
    {"upmix", "Plugin for channel upmix (4,6,8)", ""},
    {"hw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog", ""},
    {"plughw:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog", ""},
    {"sysdefault:CARD=PCH", "HDA Intel PCH, ALC3246 Analog", ""},
    {"front:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog", "Output"},
    {"dmix:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog", "Output"},
    {"dsnoop:CARD=PCH,DEV=0", "HDA Intel PCH, ALC3246 Analog", "Input"},
    {"hdmi:CARD=PCH,DEV=0", "HDA Intel PCH, HDMI 0", "Output"},
};

std::vector<std::string> Names(const std::vector<PcmHint>& list) {
  std::vector<std::string> names;
  for (const auto& pcm : list) names.push_back(pcm.name);
  return names;
}

TEST(AlsaDeviceTest, WithASoundServerTheOnlyDeviceIsItsDefaultOtherwiseTheCardsPcms) {
  for (bool capture : {true, false}) {
    auto list = ChooseWaveDevices(kDesktop, capture, true);
    ASSERT_EQ(Names(list), std::vector<std::string>{"default"});
    EXPECT_EQ(list[0].description, "Playback/recording through the PulseAudio sound server");
  }
  // Without the server the same card: what works both ways first, so an index means one PCM in both directions.
  std::vector<PcmHint> plain(kDesktop.begin() + 2, kDesktop.end());
  plain.erase(plain.begin() + 1);  // the plugin's pulse PCM goes with its server
  EXPECT_EQ(Names(ChooseWaveDevices(plain, true, false)),
            (std::vector<std::string>{"hw:CARD=PCH,DEV=0", "plughw:CARD=PCH,DEV=0", "sysdefault:CARD=PCH",
                                      "dsnoop:CARD=PCH,DEV=0"}));
  EXPECT_EQ(Names(ChooseWaveDevices(plain, false, false)),
            (std::vector<std::string>{"hw:CARD=PCH,DEV=0", "plughw:CARD=PCH,DEV=0", "sysdefault:CARD=PCH",
                                      "front:CARD=PCH,DEV=0", "dmix:CARD=PCH,DEV=0", "hdmi:CARD=PCH,DEV=0"}));
  // Neither: "null" and the plugins are no sound devices.
  std::vector<PcmHint> none = {kDesktop[0], kDesktop[2], kDesktop[3], kDesktop[4]};
  EXPECT_TRUE(ChooseWaveDevices(none, true, false).empty());
}

TEST(AlsaDeviceTest, WithoutAServerOrACardThereIsNoDeviceAndRecStartSaysWhy) {
  soundtest::CNoSoundServer noServer;
  if (soundtest::CNoSoundServer::MachineHasACard()) GTEST_SKIP() << "this machine has a sound card";
  CScratchDir dir;
  CBoxRecorder boxes;
  CAlsaWaveDevices devices;
  EXPECT_FALSE(DefaultIsSoundServer());
  EXPECT_FALSE(devices.HasInputDevice());
  EXPECT_FALSE(devices.HasOutputDevice());
  std::string name;
  EXPECT_EQ(devices.GetInDevName(0, name), MMSYSERR_BADDEVICEID);

  CAudioPlayRec engine(devices);
  ASSERT_TRUE(engine.Initialize(WAVE_MAPPER, 0, nullptr));
  EXPECT_FALSE(engine.StartRecording(0));
  ASSERT_EQ(boxes.Texts().size(), 1u);
  EXPECT_EQ(boxes.Texts()[0], "WAVEIN:fffffffe:No such file or directory waveInOpen()");
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
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

}  // namespace
