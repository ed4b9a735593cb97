// Recording and playback through a private PulseAudio server, reached the
// program's way: ALSA's device list, the device FindRecordingDevice picks,
// the engine in the message loop, a known signal in the microphone.
#include <alsa/asoundlib.h>

#include <regex>

#include "audio/Mp3Decode.h"
#include "audio/SoundServerRig.h"

using namespace audio;
using namespace soundtest;
using namespace std::chrono_literals;

namespace {

constexpr double kEdge = 0.1;  // seconds a recording may miss at either end

class SoundServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(rig.server.IsRunning()) << rig.server.Log();
    ASSERT_TRUE(rig.IsReady()) << "device " << rig.DeviceId();
  }

  // What a recording must hold: the interval, whole, within kEdge at each end.
  static void ExpectWhole(const RecordingResult& r) {
    ASSERT_TRUE(r.ran);
    EXPECT_TRUE(r.placement.whole) << "worst piece: correlation " << r.placement.worstScore << ", "
                                   << r.placement.worstSlip << " samples off"
                                   << (r.tapOverran ? ", the reference capture overran" : "");
    EXPECT_LE(r.missingStart, kEdge);
    EXPECT_LE(r.missingEnd, kEdge);
    EXPECT_GE(r.Captured(), r.interval - 2 * kEdge);
    // Nothing from before RecStart, however long the device waited ready.
    EXPECT_GE(r.missingStart, -kEdge);
    EXPECT_LE(r.Captured(), r.interval + kEdge);
  }

  // The volume pactl reports for the microphone, in its own units.
  long SourceVolume() {
    std::smatch m;
    std::string out = rig.server.Pactl("get-source-volume mic");
    return std::regex_search(out, m, std::regex(R"(:\s*(\d+)\s*/)")) ? std::stol(m[1]) : -1;
  }

  CSoundServerRig rig;
};

TEST_F(SoundServerTest, ARecordingHoldsTheWholeIntervalAndTheMp3IsAsLong) {
  RecordingResult r = rig.Record(4000ms);
  ExpectWhole(r);
  EXPECT_TRUE(rig.boxes.Texts().empty());
  Decoded mp3 = Decode("test.mp3");
  EXPECT_EQ(mp3.rate, 22050);
  EXPECT_EQ(mp3.channels, 1);
  // The PCM still waiting for the encoder at the end, at most one 576-sample frame, is not encoded.
  EXPECT_LE(mp3.samples.size(), r.wav.size());
  EXPECT_GE(mp3.samples.size() + 576, r.wav.size());
}

TEST_F(SoundServerTest, AUiThreadBusyForASecondLosesNothing) {
  // Longer than the engine's five buffers last: the device keeps what it captures meanwhile.
  ExpectWhole(rig.Record(3000ms, 7, 1000ms));
  EXPECT_TRUE(rig.boxes.Texts().empty());
}

TEST_F(SoundServerTest, PlaybackCarriesTestWavToTheSpeakerFromStartToEnd) {
  WriteWav("test.wav", ToneSequence(3, 11));
  PlaybackResult p = rig.Play();
  ASSERT_TRUE(p.ran);
  EXPECT_TRUE(p.placement.whole) << "worst piece: correlation " << p.placement.worstScore << ", "
                                 << p.placement.worstSlip << " samples off"
                                 << (p.tapOverran ? ", the speaker's capture overran" : "");
  EXPECT_LE(p.firstSample, kEdge);
  EXPECT_TRUE(rig.boxes.Texts().empty());
}

TEST_F(SoundServerTest, TheDevicesAndTheMixerAreTheServersDefault) {
  for (bool capture : {true, false})
    EXPECT_EQ(CAlsaWaveDevices::ListPcmNames(capture), std::vector<std::string>{"default"});
  EXPECT_EQ(rig.DeviceId(), 0u);
  EXPECT_EQ(rig.engine.GetDeviceName(), "Playback/recording through the PulseAudio sound server");

  // The server's control offers both simple controls.
  snd_mixer_t* raw = nullptr;
  ASSERT_EQ(snd_mixer_open(&raw, 0), 0);
  std::unique_ptr<snd_mixer_t, int (*)(snd_mixer_t*)> mixer(raw, snd_mixer_close);
  ASSERT_EQ(snd_mixer_attach(raw, "default"), 0);
  ASSERT_EQ(snd_mixer_selem_register(raw, nullptr, nullptr), 0);
  ASSERT_EQ(snd_mixer_load(raw), 0);
  std::vector<std::string> controls;
  for (auto* e = snd_mixer_first_elem(raw); e; e = snd_mixer_elem_next(e))
    controls.push_back(snd_mixer_selem_get_name(e));
  EXPECT_EQ(controls, (std::vector<std::string>{"Master", "Capture"}));

  static DWORD s_seen = kVolumeAbsent;
  CVolumeInXXX volume(rig.DeviceId());
  ASSERT_TRUE(volume.IsAvailable());
  ASSERT_EQ(volume.GetMinimum(), 0u);
  ASSERT_GT(volume.GetMaximum(), 100u);
  volume.SetVolume(volume.GetMaximum() / 2);
  EXPECT_EQ(SourceVolume(), static_cast<long>(volume.GetMaximum() / 2));

  volume.SetChangeCallback([](DWORD value, DWORD) { s_seen = value; }, 0);
  rig.server.Pactl("set-source-volume mic 30%");
  long set = SourceVolume();
  ASSERT_GT(set, 0);
  EXPECT_TRUE(audiotest::PumpUntil([&] { return s_seen == static_cast<DWORD>(set); }));
  EXPECT_EQ(volume.GetVolume(), static_cast<DWORD>(set));
}

// Counts what a device posts to it.
class CHandedBack : public platform::CMsgTarget {
 public:
  CHandedBack() { CreateTarget(); }
  void OnMessage(UINT message, platform::WPARAM, platform::LPARAM lParam) override {
    if (message == MM_WIM_DATA) back.push_back(reinterpret_cast<WAVEHDR*>(lParam));
  }
  std::vector<WAVEHDR*> back;
};

TEST_F(SoundServerTest, InputBuffersComeBackPartlyFilledWhenTheServerHasNoMoreAndAtTheReset) {
  CHandedBack target;
  std::unique_ptr<IWaveIn> in;
  WAVEFORMATEX wfx{WAVE_FORMAT_PCM, 1, kRate, 2 * kRate, 2, 16, 0};
  ASSERT_EQ(rig.devices.OpenIn(in, WAVE_MAPPER, wfx, target.GetSafeHwnd()), MMSYSERR_NOERROR);
  constexpr DWORD kSecond = 2 * kRate;
  std::vector<std::vector<char>> data(2, std::vector<char>(kSecond));
  std::vector<WAVEHDR> hdr(2, WAVEHDR{});
  for (int i = 0; i < 2; ++i) {
    hdr[i].lpData = data[i].data();
    hdr[i].dwBufferLength = kSecond;
    ASSERT_EQ(in->PrepareHeader(&hdr[i]), MMSYSERR_NOERROR);
    ASSERT_EQ(in->AddBuffer(&hdr[i]), MMSYSERR_NOERROR);
  }
  ASSERT_EQ(in->Start(), MMSYSERR_NOERROR);
  // A quarter of a second suffices once the server has given all it has.
  ASSERT_TRUE(audiotest::PumpUntil([&] { return !target.back.empty(); }, 2000ms));
  EXPECT_EQ(target.back.front(), &hdr[0]);
  EXPECT_GE(hdr[0].dwBytesRecorded, kSecond / 4);
  EXPECT_LT(hdr[0].dwBytesRecorded, kSecond);
  std::this_thread::sleep_for(100ms);
  ASSERT_EQ(in->Reset(), MMSYSERR_NOERROR);
  ASSERT_TRUE(audiotest::PumpUntil([&] { return target.back.size() == 2; }, 2000ms));
  EXPECT_GT(hdr[1].dwBytesRecorded, 0u);  // what was captured up to the reset
  EXPECT_EQ(hdr[1].dwBytesRecorded % 2, 0u);
  for (auto& h : hdr) EXPECT_EQ(in->UnprepareHeader(&h), MMSYSERR_NOERROR);
  EXPECT_EQ(in->Close(), MMSYSERR_NOERROR);
}

TEST_F(SoundServerTest, TheServerStoppingEndsTheRecordingOnceAndTheNextRecordingWorks) {
  {
    CSoundServerRig::CFeed feed("signal.wav", 4, 3);
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(rig.engine.StartRecording(0));
    ASSERT_TRUE(rig.engine.OpenOutputFile(0, "test.wav"));
    ASSERT_TRUE(rig.engine.OpenOutputFile(0, "test.mp3"));
    audiotest::PumpUntil([] { return false; }, 1500ms);
    rig.server.Stop();
    ASSERT_TRUE(audiotest::PumpUntil([&] { return rig.engine.GetState() == CAudioPlayRec::kStateReady; }, 5000ms));
  }
  EXPECT_EQ(rig.boxes.Texts(),
            std::vector<std::string>{"WAVEIN:6:No device driver is present. waveInAddBuffer() failed"});
  Samples kept = ReadWav("test.wav");  // empty unless its sizes match the file
  EXPECT_GT(SecondsOf(kept.size()), 1.0);
  EXPECT_GT(Decode("test.mp3").samples.size(), kRate);

  ASSERT_TRUE(rig.server.Start()) << rig.server.Log();
  rig.boxes.Clear();
  ExpectWhole(rig.Record(2000ms, 5));
  EXPECT_TRUE(rig.boxes.Texts().empty());
}

}  // namespace
