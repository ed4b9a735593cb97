// What the engine's window shows of the buffers it records and plays, read
// from the pixels of its level display, on the simulated device.
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/sim/SimWaveDevice.h"

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kBuf = 4096;
constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kName = RGB(128, 255, 255);

// On the 200 × 100 window the upper panel is (0, 0, 200, 49), the lower one
// (0, 51, 200, 100). A 16-bit sample of 8192 lies 6 below a panel's middle
// (8192 × 49 / 65535), one of −8192 6 above it.
constexpr int kUpperAt8192 = 30;
constexpr int kUpperAtMinus8192 = 18;
constexpr int kLowerAt8192 = 81;
constexpr int kLowerAtMinus8192 = 69;

Bytes Pcm16(const std::vector<std::int16_t>& samples) {
  Bytes bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// One buffer of one-channel samples: 8192 in its first half, −8192 in its second.
Bytes HalvesBuffer() {
  std::vector<std::int16_t> s(kBuf / 2, 8192);
  std::fill(s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2), s.end(), -8192);
  return Pcm16(s);
}

// One buffer of two-channel frames: left 8192, right −8192.
Bytes StereoBuffer() {
  std::vector<std::int16_t> s(kBuf / 2);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = i % 2 == 0 ? 8192 : -8192;
  return Pcm16(s);
}

class EngineDisplayTest : public CEngineFixture {
 protected:
  // A short name stays in the window's lower right corner.
  EngineDisplayTest() : CEngineFixture(2, 2, "Mic") {}
  void SetUp() override {
    loop.RunUntilIdle();
    engine.SetWindowSize(200, 100);
    ASSERT_TRUE(engine.Initialize(0, 0, nullptr));
    // The default pen is black: on white panels the traces show.
    engine.SetBackgroundColor(kWhite);
  }

  void Capture(const Bytes& bytes) {
    sim.SupplyInput(bytes);
    ASSERT_EQ(sim.DeliverInput(1), 1);
    loop.RunUntilIdle();
  }

  // Black pixels of row y between x0 and x1 (exclusive), the frame columns left out.
  int BlackInRow(int y, int x0 = 1, int x1 = 199) const {
    int n = 0;
    for (int x = x0; x < x1; ++x) n += engine.GetDisplay().GetPixel(x, y) == kBlack ? 1 : 0;
    return n;
  }
  // A trace along row y over x0 … x1; another row crosses it at one pixel at most.
  bool TraceAlong(int y, int x0, int x1) const { return BlackInRow(y, x0, x1) >= x1 - x0 - 2; }
  bool Clear(int y, int x0 = 1, int x1 = 199) const { return BlackInRow(y, x0, x1) == 0; }
};

TEST_F(EngineDisplayTest, TheProgramsWindowIsHiddenAtZeroSizeAndRecordsAllTheSame) {
  CAudioPlayRec hidden{sim};
  ASSERT_TRUE(hidden.Initialize(0, 0, nullptr));
  EXPECT_TRUE(hidden.GetDisplay().IsCreated());
  EXPECT_EQ(hidden.GetDisplay().GetClientRect(), RECT{});
  EXPECT_EQ(hidden.GetDisplay().GetPixel(0, 0), CLR_INVALID);
  EXPECT_EQ(hidden.GetDeviceName(), "Mic");

  ASSERT_TRUE(hidden.StartRecording(0));
  ASSERT_TRUE(hidden.OpenOutputFile(0, "test.wav"));
  Capture(HalvesBuffer());
  EXPECT_EQ(sim.InputInQueue(), 5);  // handled and queued again
  hidden.Stop();
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(ReadAll("test.wav").size(), 46 + kBuf);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineDisplayTest, ACapturedOneChannelBufferIsDrawnInBothPanelsAndStopErasesIt) {
  EXPECT_EQ(engine.GetDisplay().GetClientRect(), (RECT{0, 0, 200, 100}));
  EXPECT_EQ(engine.GetDisplay().GetDeviceName(), "Mic");
  ASSERT_TRUE(Clear(kUpperAt8192));
  ASSERT_TRUE(engine.StartRecording(0));
  ASSERT_TRUE(engine.OpenOutputFile(0, "test.wav"));

  Capture(HalvesBuffer());
  // The samples in order: the first half of the trace at 8192, the second at −8192.
  EXPECT_TRUE(TraceAlong(kUpperAt8192, 1, 99));
  EXPECT_TRUE(Clear(kUpperAt8192, 101, 199));
  EXPECT_TRUE(TraceAlong(kUpperAtMinus8192, 101, 199));
  EXPECT_TRUE(Clear(kUpperAtMinus8192, 1, 99));
  // The same trace below.
  EXPECT_TRUE(TraceAlong(kLowerAt8192, 1, 99));
  EXPECT_TRUE(TraceAlong(kLowerAtMinus8192, 101, 199));
  EXPECT_TRUE(Clear(kLowerAtMinus8192, 1, 99));
  // The device name in the lower right corner.
  int name = 0;
  for (int y = 51; y < 96; ++y)
    for (int x = 150; x < 196; ++x) name += engine.GetDisplay().GetPixel(x, y) == kName ? 1 : 0;
  EXPECT_GT(name, 10);

  engine.Stop();
  EXPECT_TRUE(Clear(kUpperAt8192));
  EXPECT_TRUE(Clear(kUpperAtMinus8192));
  EXPECT_TRUE(Clear(kLowerAt8192, 1, 99));
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineDisplayTest, ASplitRecordingShowsOnlyTheChannelsThatGoToAFile) {
  ASSERT_TRUE(engine.StartRecording(2));
  ASSERT_TRUE(engine.OpenOutputFile(0, "test_left.wav"));

  // Left above, from the first sample of every frame; no right file, no lower trace.
  Capture(StereoBuffer());
  EXPECT_TRUE(TraceAlong(kUpperAt8192, 1, 199));
  EXPECT_TRUE(Clear(kUpperAtMinus8192));
  EXPECT_TRUE(Clear(kLowerAtMinus8192));
  EXPECT_TRUE(Clear(kLowerAt8192, 1, 150));

  ASSERT_TRUE(engine.OpenOutputFile(1, "test_right.wav"));
  Capture(StereoBuffer());
  EXPECT_TRUE(TraceAlong(kUpperAt8192, 1, 199));
  EXPECT_TRUE(TraceAlong(kLowerAtMinus8192, 1, 199));
  EXPECT_TRUE(Clear(kLowerAt8192, 1, 150));

  engine.Stop();
  loop.AdvanceTime(1000ms);
  EXPECT_EQ(ReadAll("test_right.wav").size(), 46 + kBuf / 2);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineDisplayTest, ASplitRecordingWithoutAFileDrawsNoTrace) {
  ASSERT_TRUE(engine.StartRecording(2));
  Capture(StereoBuffer());
  EXPECT_TRUE(Clear(kUpperAt8192));
  EXPECT_TRUE(Clear(kLowerAtMinus8192));
  engine.Stop();
  loop.AdvanceTime(1000ms);
}

TEST_F(EngineDisplayTest, PlaybackShowsEachBufferAsItIsQueued) {
  // 8-bit samples, one point each: 128 in the first half, 200 in the second.
  // In the upper panel (h = 49) they lie at 128 × 49 / 255 = 24 and 200 × 49 / 255 = 38.
  Bytes samples(kBuf, 128);
  std::fill(samples.begin() + kBuf / 2, samples.end(), 200);
  WriteAll("test.wav", CWavBuilder().Fmt(1, 22050, 8).Chunk("data", samples).Build());
  ASSERT_TRUE(engine.Play());
  EXPECT_TRUE(TraceAlong(24, 1, 99));
  EXPECT_TRUE(TraceAlong(38, 101, 199));
  EXPECT_TRUE(Clear(38, 1, 99));
  EXPECT_TRUE(TraceAlong(51 + 24, 1, 99));
  EXPECT_TRUE(TraceAlong(51 + 38, 101, 150));

  for (int guard = 0; guard < 100 && engine.GetState() != CAudioPlayRec::kStateReady; ++guard) {
    sim.CompleteOutput(1);
    loop.RunUntilIdle();
  }
  EXPECT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  // The end of the file stops the playback, which erases the traces.
  EXPECT_TRUE(Clear(24));
  EXPECT_TRUE(boxes.Texts().empty());
}

}  // namespace
