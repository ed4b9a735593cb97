// The engine recording on the simulated device, driven through the message loop.
#include <signal.h>
#include <sys/resource.h>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/sim/SimWaveDevice.h"

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;
using Call = CSimWaveDevices::Call;

namespace {

constexpr std::size_t kBuf = 4096;
constexpr std::size_t kHeader = 46;

class EngineRecordTest : public CEngineFixture {
 protected:
  EngineRecordTest() : CEngineFixture(2, 2) {}

  // Starts a one-channel recording into test.wav.
  void StartWav() {
    ASSERT_TRUE(engine.StartRecording(0));
    ASSERT_TRUE(engine.OpenOutputFile(0, "test.wav"));
  }
  // The device captures n buffers of fresh bytes; the engine handles them.
  Bytes Capture(int n) {
    Bytes bytes = Pattern(kBuf * n, ++seed);
    sim.SupplyInput(bytes);
    for (int done = 0; done < n;) {
      int delivered = sim.DeliverInput(n - done);
      if (delivered == 0) break;
      done += delivered;
      loop.RunUntilIdle();
    }
    return bytes;
  }

  std::uint32_t seed = 0;
};

void ExpectOneChannelHeader(const Bytes& file, std::uint32_t dataBytes) {
  ASSERT_EQ(file.size(), kHeader + dataBytes);
  EXPECT_EQ(Tag(file, 0), "RIFF");
  EXPECT_EQ(Le32(file, 4), 38 + dataBytes);
  EXPECT_EQ(Tag(file, 8), "WAVE");
  EXPECT_EQ(Tag(file, 12), "fmt ");
  EXPECT_EQ(Le32(file, 16), 18u);
  EXPECT_EQ(Le16(file, 20), 1);
  EXPECT_EQ(Le16(file, 22), 1);
  EXPECT_EQ(Le32(file, 24), 22050u);
  EXPECT_EQ(Le32(file, 28), 44100u);
  EXPECT_EQ(Le16(file, 32), 2);
  EXPECT_EQ(Le16(file, 34), 16);
  EXPECT_EQ(Le16(file, 36), 0);
  EXPECT_EQ(Tag(file, 38), "data");
  EXPECT_EQ(Le32(file, 42), dataBytes);
}

TEST_F(EngineRecordTest, OneChannelRecordingWritesTheDeliveredBytesInOrderAndClosesAtTheLastBuffer) {
  StartWav();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateRecording);
  EXPECT_EQ(sim.InputInQueue(), 5);  // five buffers of 4096 bytes for one channel
  EXPECT_EQ(sim.LastFormat().nChannels, 1);
  EXPECT_EQ(sim.LastFormat().nAvgBytesPerSec, 44100u);

  Bytes heard = Capture(7);
  EXPECT_EQ(sim.InputInQueue(), 5);  // every buffer went straight back
  engine.Stop();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);

  // What the device hands back after the stop is dropped.
  sim.SupplyInput(Pattern(kBuf * 5, 99));
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(sim.DeliverInput(1), 1);
    loop.RunUntilIdle();
    EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
    EXPECT_TRUE(sim.IsInOpen());
  }
  ASSERT_EQ(sim.DeliverInput(1), 1);  // the last one closes, without waiting for the timer
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsInOpen());

  Bytes file = ReadAll("test.wav");
  ExpectOneChannelHeader(file, 7 * kBuf);
  EXPECT_EQ(Slice(file, kHeader, 7 * kBuf), heard);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineRecordTest, TheStopTimerClosesAfterOneSecondWhenTheDeviceHoldsItsBuffers) {
  StartWav();
  Bytes heard = Capture(2);
  engine.Stop();
  loop.AdvanceTime(999ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  EXPECT_TRUE(sim.IsInOpen());
  loop.AdvanceTime(1ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsInOpen());
  EXPECT_EQ(sim.HandedBackCount(), 2 + 5);  // the reset gave back all five
  Bytes file = ReadAll("test.wav");
  ExpectOneChannelHeader(file, 2 * kBuf);
  EXPECT_EQ(Slice(file, kHeader, 2 * kBuf), heard);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineRecordTest, StopWhileReadyOrStoppingDoesNothing) {
  engine.Stop();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(loop.MillisecondsToNextTimer().has_value());

  StartWav();
  engine.Stop();
  loop.AdvanceTime(500ms);
  engine.Stop();  // must not re-arm the timer
  loop.AdvanceTime(500ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineRecordTest, AnEarlyCloseDisarmsTheTimerSoTheNextRecordingRunsOn) {
  StartWav();
  engine.Stop();
  sim.SupplyInput(Pattern(kBuf * 5));
  sim.DeliverInput(5);
  loop.RunUntilIdle();
  ASSERT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  StartWav();
  loop.AdvanceTime(1500ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateRecording);
  EXPECT_TRUE(sim.IsInOpen());
}

TEST_F(EngineRecordTest, StartRecordingTwiceAndOpeningATargetTwiceChangeNothing) {
  StartWav();
  Bytes first = Capture(1);
  EXPECT_TRUE(engine.StartRecording(0));
  EXPECT_TRUE(engine.OpenOutputFile(0, "test.wav"));
  EXPECT_EQ(sim.CallCount(Call::InOpen), 1);
  EXPECT_EQ(sim.QueuedCount(), 5 + 1);
  Bytes second = Capture(1);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  first.insert(first.end(), second.begin(), second.end());
  EXPECT_EQ(Slice(ReadAll("test.wav"), kHeader, 2 * kBuf), first);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineRecordTest, AnOlderFileIsReplacedNotAppendedTo) {
  WriteAll("test.wav", Pattern(100000));
  StartWav();
  Bytes heard = Capture(1);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  Bytes file = ReadAll("test.wav");
  ExpectOneChannelHeader(file, kBuf);
  EXPECT_EQ(Slice(file, kHeader, kBuf), heard);
}

TEST_F(EngineRecordTest, AShortWavWriteStopsTheRecordingAndShowsOneMessage) {
  // Room for the header, two buffers and 100 bytes of a third.
  const rlim_t limit = kHeader + 2 * kBuf + 100;
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small{limit, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  StartWav();
  Bytes heard = Capture(5);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  sim.SupplyInput(Pattern(kBuf * 5));
  sim.DeliverInput(5);
  loop.AdvanceTime(1000ms);

  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsInOpen());
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Write file failed"});
  Bytes file = ReadAll("test.wav");
  ExpectOneChannelHeader(file, 2 * kBuf + 100);
  EXPECT_EQ(Slice(file, kHeader, 2 * kBuf + 100), Slice(heard, 0, 2 * kBuf + 100));
}

TEST_F(EngineRecordTest, ChannelMode2WritesTheLeftAndRightChannelsAsTwoOneChannelFiles) {
  ASSERT_TRUE(engine.StartRecording(2));
  ASSERT_TRUE(engine.OpenOutputFile(0, "Test_Left.WAV"));  // names are lower-cased
  ASSERT_TRUE(engine.OpenOutputFile(1, "test_right.wav"));
  EXPECT_EQ(sim.InputInQueue(), 6);
  EXPECT_EQ(sim.LastFormat().nChannels, 2);
  EXPECT_EQ(sim.LastFormat().nBlockAlign, 4);

  Bytes heard = Capture(2);
  engine.Stop();
  loop.AdvanceTime(1000ms);

  Bytes left, right;
  for (std::size_t i = 0; i < heard.size(); i += 4) {
    left.insert(left.end(), heard.begin() + i, heard.begin() + i + 2);
    right.insert(right.end(), heard.begin() + i + 2, heard.begin() + i + 4);
  }
  Bytes l = ReadAll("test_left.wav"), r = ReadAll("test_right.wav");
  ExpectOneChannelHeader(l, kBuf);
  ExpectOneChannelHeader(r, kBuf);
  EXPECT_EQ(Slice(l, kHeader, kBuf), left);
  EXPECT_EQ(Slice(r, kHeader, kBuf), right);
}

TEST_F(EngineRecordTest, ChannelMode1WritesOneTwoChannelFile) {
  ASSERT_TRUE(engine.StartRecording(1));
  ASSERT_TRUE(engine.OpenOutputFile(0, "test.wav"));
  Bytes heard = Capture(1);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  Bytes file = ReadAll("test.wav");
  ASSERT_EQ(file.size(), kHeader + kBuf);
  EXPECT_EQ(Le16(file, 22), 2);
  EXPECT_EQ(Le32(file, 28), 88200u);
  EXPECT_EQ(Le16(file, 32), 4);
  EXPECT_EQ(Slice(file, kHeader, kBuf), heard);
}

TEST_F(EngineRecordTest, AnMp3TargetReportsTheMissingLibraryAndTheWavRecordingGoesOn) {
  engine.SetEncoderLibraryPath((std::filesystem::path(dir.Path()) / "no-such-dir" / "lame_enc.so").string());
  StartWav();
  EXPECT_FALSE(engine.OpenOutputFile(0, "TEST.MP3"));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Error loading lame_enc.DLL"});
  // Only ".mp3" first found at the very end makes an MP3 target.
  EXPECT_TRUE(engine.OpenOutputFile(1, "take.mp3.wav"));
  EXPECT_FALSE(engine.OpenOutputFile(2, "test.wav"));
  Bytes heard = Capture(1);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(Slice(ReadAll("test.wav"), kHeader, kBuf), heard);
  EXPECT_EQ(ReadAll("take.mp3.wav").size(), kHeader + kBuf);
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(EngineRecordTest, AFailedStartReleasesTheDeviceAndTheNextRecordingWorks) {
  sim.FailCall(Call::InStart, MMSYSERR_ERROR);
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"WAVEIN:1:Unspecified error. waveInStart() failed"});
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsInOpen());
  EXPECT_EQ(sim.HandedBackCount(), 5);
  EXPECT_EQ(boxes.Texts().size(), 1u);  // the handed-back buffers raise nothing

  StartWav();
  Bytes heard = Capture(1);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(Slice(ReadAll("test.wav"), kHeader, kBuf), heard);
}

TEST_F(EngineRecordTest, WaveErrorsNameTheCallAndTheCode) {
  sim.FailCall(Call::InOpen, MMSYSERR_ALLOCATED);
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  // A buffer that cannot be queued again is lost; capture goes on with the rest.
  sim.FailCall(Call::InAddBuffer, WAVERR_UNPREPARED, 6);
  StartWav();
  Capture(2);
  EXPECT_EQ(sim.InputInQueue(), 4);
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"WAVEIN:4:The device is already in use. waveInOpen()",
                                                     "WAVEIN:22:The buffer header is not prepared. "
                                                     "waveInAddBuffer() failed"}));
}

TEST_F(EngineRecordTest, ADeviceThatFailsToCloseStillLeavesTheEngineReady) {
  StartWav();
  Capture(1);
  sim.FailCall(Call::InClose, MMSYSERR_ERROR);
  engine.Stop();
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"WAVEIN:1:Unspecified error. waveInClose() failed"});
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_EQ(ReadAll("test.wav").size(), kHeader + kBuf);  // the file was finished before the close
  StartWav();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateRecording);
}

TEST_F(EngineRecordTest, AFailedCloseIsReportedWithInputTextsAndTheReturnedBuffersAreNotQueuedAgain) {
  // Output texts that differ, so the wrong ones would show.
  class CTexts : public CSimWaveDevices {
   public:
    using CSimWaveDevices::CSimWaveDevices;
    std::string GetOutErrorText(MMRESULT code) override { return "output: " + WaveErrorText(code); }
  } texts{1, 1};
  CAudioPlayRec own(texts);
  ASSERT_TRUE(own.Initialize(0, 0, nullptr));
  ASSERT_TRUE(own.StartRecording(0));
  ASSERT_TRUE(own.OpenOutputFile(0, "test.wav"));
  texts.FailCall(Call::InClose, MMSYSERR_ERROR);
  own.Stop();
  own.OnTimer(1);  // the reset's buffers are still on their way back
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"WAVEIN:1:Unspecified error. waveInClose() failed"});
  EXPECT_FALSE(own.StartRecording(0));
  loop.RunUntilIdle();
  EXPECT_EQ(own.GetState(), CAudioPlayRec::kStateReady);
  boxes.Clear();
  EXPECT_TRUE(RecordsOneBuffer(own, texts, 4));
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineRecordTest, TheOwnersHookSeesEveryMultimediaNotification) {
  static std::vector<UINT> seen;
  seen.clear();
  engine.SetNotifyHook([](UINT msg, platform::CMsgTarget*) { seen.push_back(msg); }, nullptr);
  StartWav();
  Capture(1);
  platform::PostMessage(engine.GetSafeHwnd(), 0x3C9, 0, 0);
  platform::PostMessage(engine.GetSafeHwnd(), 0x3CA, 0, 0);  // outside the range
  platform::PostMessage(engine.GetSafeHwnd(), 0x3BA, 0, 0);
  loop.RunUntilIdle();
  EXPECT_EQ(seen, (std::vector<UINT>{MM_WIM_DATA, 0x3C9}));
}

class EngineInitTest : public ::testing::Test {
 protected:
  CBoxRecorder boxes;
  CSimWaveDevices sim{2, 1, "USB Mic"};
  CAudioPlayRec engine{sim};
};

TEST_F(EngineInitTest, TheWaveMapperPassesTheDeviceCheck) {
  EXPECT_TRUE(engine.Initialize(WAVE_MAPPER, 0, nullptr));
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_EQ(engine.GetDeviceName(), "USB Mic");
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineInitTest, AnIdOutOfEitherRangeIsRefused) {
  EXPECT_FALSE(engine.Initialize(2, 0, nullptr));  // equal to the input count
  EXPECT_FALSE(engine.Initialize(1, 0, nullptr));  // an input, but no such output
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Error audio device", "Error audio device"}));
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateUninitialised);
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_FALSE(engine.Play());
  ASSERT_FALSE(boxes.Texts().empty());
  EXPECT_EQ(boxes.Texts().back(), "Class status error");
  EXPECT_EQ(sim.CallCount(Call::InOpen), 0);
}

}  // namespace
