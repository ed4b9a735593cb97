// The engine playing "test.wav" on the simulated device, and reading WAV
// files of every chunk layout.
#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/sim/SimWaveDevice.h"

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;
using Call = CSimWaveDevices::Call;

namespace {

constexpr std::size_t kBuf = 4096;

class EnginePlayTest : public CEngineFixture {
 protected:
  static void WriteTestWav(const Bytes& samples) {
    WriteAll("test.wav", CWavBuilder().Fmt(1, 22050, 16).Chunk("data", samples).Build());
  }
  // Plays buffer after buffer until the engine is Ready again.
  void PlayToTheEnd() {
    for (int guard = 0; guard < 1000 && engine.GetState() != CAudioPlayRec::kStateReady; ++guard) {
      sim.CompleteOutput(1);
      loop.RunUntilIdle();
    }
  }
};

TEST_F(EnginePlayTest, AFileShorterThanTheBufferSetQueuesOnlyTheBuffersThatGotData) {
  Bytes samples = Pattern(3 * kBuf + 100);
  WriteTestWav(samples);
  ASSERT_TRUE(engine.Play());
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStatePlaying);
  EXPECT_EQ(sim.WrittenCount(), 4);  // three full buffers and one of 100 bytes
  PlayToTheEnd();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_EQ(sim.Played(), samples);  // the last buffer carries only its own bytes
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EnginePlayTest, PlaybackRunsToTheEndAndClosesWhenTheLastBufferReturns) {
  // A first, longer playback leaves old bytes in every buffer.
  WriteTestWav(Pattern(7 * kBuf, 5));
  ASSERT_TRUE(engine.Play());
  PlayToTheEnd();
  Bytes samples = Pattern(11 * kBuf + 2, 6);
  WriteTestWav(samples);
  std::size_t before = sim.Played().size();
  ASSERT_TRUE(engine.Play());
  while (sim.WrittenCount() < 7 + 12) {
    ASSERT_EQ(sim.CompleteOutput(1), 1);
    loop.RunUntilIdle();
    EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStatePlaying);
  }
  // Everything is queued. The first buffer back with nothing left to read ends
  // the playback, but the four still queued are heard before the device closes.
  ASSERT_EQ(sim.CompleteOutput(1), 1);
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  ASSERT_EQ(sim.CompleteOutput(3), 3);
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  EXPECT_TRUE(sim.IsOutOpen());
  ASSERT_EQ(sim.CompleteOutput(1), 1);
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_EQ(sim.CallCount(Call::OutReset), 0);
  EXPECT_EQ(Bytes(sim.Played().begin() + static_cast<std::ptrdiff_t>(before), sim.Played().end()), samples);
  EXPECT_FALSE(loop.MillisecondsToNextTimer().has_value());  // the early close disarmed timer 2
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EnginePlayTest, StopDuringPlaybackResetsTheDeviceAndClosesIt) {
  WriteTestWav(Pattern(20 * kBuf));
  ASSERT_TRUE(engine.Play());
  sim.CompleteOutput(2);
  loop.RunUntilIdle();
  engine.Stop();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_EQ(sim.CallCount(Call::OutReset), 1);
  EXPECT_EQ(sim.Played().size(), 2 * kBuf);
  ASSERT_TRUE(engine.Play());  // the file was given back
}

TEST_F(EnginePlayTest, TheStopTimerClosesPlaybackWhenBuffersDoNotComeBack) {
  WriteTestWav(Pattern(20 * kBuf));
  ASSERT_TRUE(engine.Play());
  sim.FailCall(Call::OutReset, MMSYSERR_ERROR);
  engine.Stop();
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateStopping);
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  // The close takes the buffers back itself before it closes.
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"WAVEIN:1:Unspecified error. waveOutReset() failed"});
}

TEST_F(EnginePlayTest, TimerTwoAfterTheEndOfTheFileClosesWithoutAMessageWhileBuffersAreStillQueued) {
  WriteTestWav(Pattern(7 * kBuf));
  ASSERT_TRUE(engine.Play());
  while (engine.GetState() == CAudioPlayRec::kStatePlaying) {
    ASSERT_EQ(sim.CompleteOutput(1), 1);
    loop.RunUntilIdle();
  }
  ASSERT_GT(sim.OutputInQueue(), 0);  // the last buffers have not come back yet
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_TRUE(boxes.Texts().empty());
  ASSERT_TRUE(engine.Play());
}

TEST_F(EnginePlayTest, ClosingTheProgramWhilePlayingClosesTheDeviceWithoutAMessage) {
  WriteTestWav(Pattern(20 * kBuf));
  {
    CAudioPlayRec closing(sim);
    ASSERT_TRUE(closing.Initialize(0, 0, nullptr));
    ASSERT_TRUE(closing.Play());
    sim.CompleteOutput(1);
    loop.RunUntilIdle();
  }
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_EQ(sim.CallCount(Call::OutReset), 1);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EnginePlayTest, ARecordingStartedBeforeThePlaybacksCloseNoticeIsRefusedAndTheNextOneRuns) {
  WriteTestWav(Pattern(3 * kBuf));
  ASSERT_TRUE(engine.Play());
  while (sim.IsOutOpen()) {
    ASSERT_EQ(sim.CompleteOutput(1), 1);
    loop.DispatchPending();  // not the close notice posted by the last buffer's handling
  }
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Class status error"});
  loop.RunUntilIdle();
  ASSERT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);

  EXPECT_TRUE(RecordsOneBuffer(engine, sim, 9));
  EXPECT_TRUE(engine.StartRecording(0));
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(EnginePlayTest, AnEmptyDataChunkFailsAndGivesTheFileAndDeviceBack) {
  WriteTestWav({});
  EXPECT_FALSE(engine.Play());
  loop.RunUntilIdle();
  EXPECT_FALSE(engine.Play());
  EXPECT_EQ(boxes.Texts(),
            (std::vector<std::string>{"Read sound data from file failed", "Read sound data from file failed"}));
  loop.RunUntilIdle();
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  // Slot 0 is free for the next recording's target.
  ASSERT_TRUE(engine.StartRecording(0));
  EXPECT_TRUE(engine.OpenOutputFile(0, "test.wav"));
}

TEST_F(EnginePlayTest, AFailedOpenOrPrepareReleasesThePlayback) {
  WriteTestWav(Pattern(10 * kBuf));
  sim.FailCall(Call::OutOpen, MMSYSERR_BADDEVICEID);
  EXPECT_FALSE(engine.Play());
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  sim.FailCall(Call::OutPrepare, MMSYSERR_NOMEM, 3);
  EXPECT_FALSE(engine.Play());
  loop.RunUntilIdle();
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"WAVEIN:2:The device ID is out of range. waveOutOpen() failed",
                                                     "WAVEIN:7:Unable to allocate or lock memory. "
                                                     "waveOutPrepareHeader() failed"}));
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_FALSE(sim.IsOutOpen());
  EXPECT_EQ(sim.HandedBackCount(), 2);  // the two buffers already written came back
  ASSERT_TRUE(engine.Play());
  PlayToTheEnd();
  EXPECT_EQ(boxes.Texts().size(), 2u);
}

TEST_F(EnginePlayTest, PlayWhileBusyIsAStatusError) {
  WriteTestWav(Pattern(10 * kBuf));
  ASSERT_TRUE(engine.Play());
  EXPECT_FALSE(engine.Play());
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_EQ(boxes.Texts(), (std::vector<std::string>{"Class status error", "Class status error"}));
}

// ---- Reading WAV files of other layouts ----

class WaveReadTest : public EnginePlayTest {
 protected:
  // Plays test.wav to its end and returns what the device played.
  Bytes PlayFile(const Bytes& file) {
    WriteAll("test.wav", file);
    if (!engine.Play()) return {};
    std::size_t before = sim.Played().size();
    PlayToTheEnd();
    return Bytes(sim.Played().begin() + static_cast<std::ptrdiff_t>(before), sim.Played().end());
  }
};

TEST_F(WaveReadTest, ChunksBetweenFmtAndDataAreSkippedAndChunksAfterDataArePlayed) {
  Bytes samples = Pattern(5000);
  Bytes list = Pattern(9, 3);
  Bytes played = PlayFile(CWavBuilder()
                              .Fmt(1, 22050, 16)
                              .Chunk("fact", Pattern(4))
                              .Chunk("LIST", list)
                              .Chunk("data", samples)
                              .Chunk("LIST", list)
                              .Build());
  Bytes expected = samples;
  for (char c : std::string("LIST")) expected.push_back(static_cast<std::uint8_t>(c));
  expected.insert(expected.end(), {9, 0, 0, 0});
  expected.insert(expected.end(), list.begin(), list.end());
  expected.push_back(0);  // pad byte of the odd chunk
  EXPECT_EQ(played, expected);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(WaveReadTest, A16ByteFmtIsAcceptedAndALongerOneIsReadNoFurtherThanTheRecord) {
  Bytes samples = Pattern(3000);
  EXPECT_EQ(PlayFile(CWavBuilder().Fmt(1, 22050, 16, 16).Chunk("data", samples).Build()), samples);
  EXPECT_EQ(sim.LastFormat().nChannels, 1);
  // A 40-byte extensible-sized fmt: the extra bytes are skipped, not read into the format.
  EXPECT_EQ(PlayFile(CWavBuilder().Fmt(2, 11025, 16, 40).Chunk("data", samples).Build()), samples);
  EXPECT_EQ(sim.LastFormat().nChannels, 2);
  EXPECT_EQ(sim.LastFormat().nSamplesPerSec, 11025u);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(WaveReadTest, AnEightBitFilePlaysAndThenRefusesAnMp3Target) {
  Bytes samples = Pattern(2000);
  EXPECT_EQ(PlayFile(CWavBuilder().Fmt(1, 22050, 8).Chunk("data", samples).Build()), samples);
  EXPECT_EQ(sim.LastFormat().wBitsPerSample, 8);
  EXPECT_FALSE(engine.OpenOutputFile(0, "test.mp3"));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Cannot record 8 bits mp3"});
}

TEST_F(WaveReadTest, BrokenFilesAreRefusedWithTheirMessage) {
  struct Case {
    Bytes file;
    const char* text;
  };
  std::vector<Case> cases = {
      {CWavBuilder().Chunk("data", Pattern(100)).Fmt(1, 22050, 16).Build(), "error reading data chunk"},
      {CWavBuilder().Fmt(1, 22050, 16).Build(), "error reading data chunk"},
      {CWavBuilder().Chunk("data", Pattern(100)).Build(), "Error descending in wave file"},
      {CWavBuilder().Fmt(1, 22050, 16).Chunk("data", Pattern(100)).Build("AVI "), "Error descending into file"},
      {Pattern(30), "Error descending into file"},
      {Bytes{}, "Error descending into file"},
  };
  for (const Case& c : cases) {
    boxes.Clear();
    WriteAll("test.wav", c.file);
    EXPECT_FALSE(engine.Play());
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>{c.text});
    EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  }
  boxes.Clear();
  std::remove("test.wav");
  EXPECT_FALSE(engine.Play());
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Open wave file failed"});
  EXPECT_EQ(sim.CallCount(Call::OutOpen), 0);
}

TEST_F(WaveReadTest, PlayWhileSlotZeroHoldsAFileFailsSilently) {
  WriteAll("test.wav", CWavBuilder().Fmt(1, 22050, 16).Chunk("data", Pattern(100)).Build());
  ASSERT_TRUE(engine.OpenOutputFile(0, "other.wav"));
  EXPECT_FALSE(engine.Play());
  EXPECT_TRUE(boxes.Texts().empty());
}

}  // namespace
