// The level display rendered into its surface: geometry, labels, name, frame
// and traces checked on the pixels.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "audio/LevelDisplay.h"

using namespace audio;

// Fontconfig keeps its configuration and font caches for the life of the
// process, by design; the leak checker is told so, and only about them.
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

constexpr COLORREF kWhite = RGB(255, 255, 255);
constexpr COLORREF kBlack = RGB(0, 0, 0);
constexpr COLORREF kLabel = RGB(255, 255, 0);
constexpr COLORREF kName = RGB(128, 255, 255);
constexpr COLORREF kFrame = RGB(128, 64, 0);
constexpr RECT kClient{0, 0, 200, 100};
constexpr DWORD kBufferBytes = 4096;

std::vector<std::uint8_t> Pcm16(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return bytes;
}

// Half the buffer at one sample, half at the other.
std::vector<std::uint8_t> Halves16(std::int16_t first, std::int16_t second) {
  std::vector<std::int16_t> s(kBufferBytes / 2, first);
  std::fill(s.begin() + static_cast<std::ptrdiff_t>(s.size() / 2), s.end(), second);
  return Pcm16(s);
}

class LevelDisplayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    display.Create(kClient);
    // Black traces show on white panels.
    display.SetBackgroundColor(kWhite);
  }

  // Fills the whole surface, so that what the display leaves alone can be told apart.
  void Paint(COLORREF colour) {
    CDisplayDC dc = display.GetDC();
    cairo_set_source_rgb(dc.get(), GetRValue(colour) / 255.0, GetGValue(colour) / 255.0, GetBValue(colour) / 255.0);
    cairo_paint(dc.get());
  }

  int CountColour(COLORREF colour, const RECT& rc) {
    int n = 0;
    for (int y = rc.top; y < rc.bottom; ++y)
      for (int x = rc.left; x < rc.right; ++x) n += display.GetPixel(x, y) == colour ? 1 : 0;
    return n;
  }

  CLevelDisplay display;
};

TEST_F(LevelDisplayTest, GeometryOfTheTwoHundredByHundredWindow) {
  EXPECT_EQ(display.GetPanelRect(CLevelDisplay::Upper), (RECT{0, 0, 200, 49}));
  EXPECT_EQ(display.GetPanelRect(CLevelDisplay::Lower), (RECT{0, 51, 200, 100}));
  EXPECT_EQ(DeflateRect(display.GetClientRect(), 4), (RECT{4, 4, 196, 96}));

  Paint(RGB(0, 0, 255));
  CDisplayDC dc = display.GetDC();
  display.OnEraseBkgnd(dc);
  // Panels filled, the row between them untouched, the divider at y = 50.
  EXPECT_EQ(display.GetPixel(100, 48), kWhite);
  EXPECT_EQ(display.GetPixel(100, 49), RGB(0, 0, 255));
  EXPECT_EQ(display.GetPixel(100, 50), kBlack);
  EXPECT_EQ(display.GetPixel(100, 51), kWhite);
  EXPECT_EQ(display.GetPixel(1, 50), kBlack);
  EXPECT_EQ(display.GetPixel(198, 50), kBlack);
  // The frame on the client rectangle's edges.
  for (auto [x, y] : {std::pair{100, 0}, {0, 25}, {199, 25}, {100, 99}, {0, 75}, {199, 75}})
    EXPECT_EQ(display.GetPixel(x, y), kFrame) << x << "," << y;
}

TEST_F(LevelDisplayTest, LabelsTopLeftInTheirPanels) {
  display.Invalidate();
  // "Left" near the top-left of the upper panel, "Right" of the lower one.
  EXPECT_GT(CountColour(kLabel, RECT{2, 2, 80, 47}), 10);
  EXPECT_GT(CountColour(kLabel, RECT{2, 53, 80, 98}), 10);
  // Nothing of them beyond the panels shrunk by 2, nor right of the words.
  EXPECT_EQ(CountColour(kLabel, RECT{0, 0, 200, 2}), 0);
  EXPECT_EQ(CountColour(kLabel, RECT{0, 47, 200, 53}), 0);
  EXPECT_EQ(CountColour(kLabel, RECT{100, 0, 200, 100}), 0);
}

TEST_F(LevelDisplayTest, DeviceNameRightAndBottomInItsRectangle) {
  display.SetDeviceName("Microphone");
  display.Invalidate();
  EXPECT_GT(CountColour(kName, RECT{120, 80, 196, 96}), 10);
  EXPECT_EQ(CountColour(kName, RECT{0, 0, 200, 60}), 0);
  EXPECT_EQ(CountColour(kName, RECT{196, 0, 200, 100}), 0);

  // Too long for the window: cut at the rectangle, not drawn past it.
  display.SetDeviceName("A capture device with a name far wider than the window");
  display.Invalidate();
  EXPECT_GT(CountColour(kName, RECT{4, 80, 30, 96}), 0);
  EXPECT_EQ(CountColour(kName, RECT{0, 0, 4, 100}), 0);
  EXPECT_EQ(CountColour(kName, RECT{196, 0, 200, 100}), 0);
  EXPECT_EQ(CountColour(kName, RECT{0, 96, 200, 100}), 0);
}

TEST_F(LevelDisplayTest, ExtremeSamplesLieOnThePanelEdges) {
  auto loud = Halves16(32767, 32767);
  display.DrawLevel(kBufferBytes, 16, loud.data(), loud.data());
  // Upper panel (h = 49): 24 + 24 = 48. Lower panel: 75 + 24 = 99, over the frame.
  EXPECT_EQ(display.GetPixel(100, 48), kBlack);
  EXPECT_EQ(display.GetPixel(100, 47), kWhite);
  EXPECT_EQ(display.GetPixel(100, 99), kBlack);
  EXPECT_EQ(display.GetPixel(100, 98), kWhite);

  auto low = Halves16(-32768, -32768);
  display.DrawLevel(kBufferBytes, 16, low.data(), low.data());
  // 24 − 24 = 0, over the frame; the last buffer's trace is gone.
  EXPECT_EQ(display.GetPixel(100, 0), kBlack);
  EXPECT_EQ(display.GetPixel(100, 1), kWhite);
  EXPECT_EQ(display.GetPixel(100, 48), kWhite);
  EXPECT_EQ(display.GetPixel(100, 51), kBlack);
  EXPECT_EQ(display.GetPixel(100, 52), kWhite);
  EXPECT_EQ(display.GetPixel(100, 99), kFrame);
}

TEST_F(LevelDisplayTest, OneChannelBufferDrawsTheSameTraceInBothPanels) {
  std::vector<std::int16_t> s(kBufferBytes / 2);
  for (std::size_t i = 0; i < s.size(); ++i) s[i] = static_cast<std::int16_t>(20000 * std::sin(i / 90.0));
  auto pcm = Pcm16(s);
  display.DrawLevel(kBufferBytes, 16, pcm.data(), pcm.data());

  int traced = 0;
  for (int x = 60; x < 195; ++x)
    for (int y = 1; y < 48; ++y) {
      // The lower panel is the upper one moved down by 51 rows.
      ASSERT_EQ(display.GetPixel(x, y), display.GetPixel(x, y + 51)) << x << "," << y;
      traced += display.GetPixel(x, y) == kBlack ? 1 : 0;
    }
  EXPECT_GT(traced, 100);
}

TEST_F(LevelDisplayTest, OnePointPerSampleAcrossTheWidth) {
  // 4096 bytes of 16-bit samples: 2048 points, so the second half starts at x = 100.
  auto pcm = Halves16(0, 32767);
  display.DrawLevel(kBufferBytes, 16, pcm.data(), nullptr);
  EXPECT_EQ(display.GetPixel(60, 24), kBlack);
  EXPECT_EQ(display.GetPixel(60, 48), kWhite);
  EXPECT_EQ(display.GetPixel(150, 48), kBlack);
  EXPECT_EQ(display.GetPixel(198, 48), kBlack);
  EXPECT_EQ(display.GetPixel(150, 24), kWhite);
  // No lower trace asked for: the frame stays.
  EXPECT_EQ(display.GetPixel(150, 75), kWhite);
  EXPECT_EQ(display.GetPixel(150, 99), kFrame);

  // 4096 bytes of 8-bit samples: 4096 points; 128 → 24, 250 → 48.
  std::vector<std::uint8_t> pcm8(kBufferBytes, 128);
  std::fill(pcm8.begin() + kBufferBytes / 2, pcm8.end(), 250);
  display.DrawLevel(kBufferBytes, 8, nullptr, pcm8.data());
  EXPECT_EQ(display.GetPixel(60, 75), kBlack);
  EXPECT_EQ(display.GetPixel(150, 99), kBlack);
  EXPECT_EQ(display.GetPixel(150, 75), kWhite);
  EXPECT_EQ(display.GetPixel(150, 48), kWhite);
}

TEST_F(LevelDisplayTest, EmptyBufferDrawsOnlyTheBackground) {
  std::vector<std::uint8_t> none(1, 0xFF);
  display.DrawLevel(0, 16, none.data(), none.data());
  display.DrawLevel(1, 16, none.data(), none.data());  // half a sample is no point
  EXPECT_EQ(CountColour(kBlack, RECT{1, 1, 199, 49}), 0);
  EXPECT_EQ(display.GetPixel(100, 50), kBlack);
}

TEST_F(LevelDisplayTest, BackgroundColourRepaintsAtOnce) {
  display.SetBackgroundColor(RGB(0, 0, 0));
  EXPECT_EQ(display.GetBackgroundColor(), RGB(0, 0, 0));
  EXPECT_EQ(display.GetPixel(150, 24), kBlack);
  display.SetBackgroundColor(RGB(10, 20, 30));
  EXPECT_EQ(display.GetPixel(150, 24), RGB(10, 20, 30));
  EXPECT_EQ(display.GetPixel(150, 75), RGB(10, 20, 30));
}

TEST(LevelDisplayZeroSize, DrawsNothingAndHasNoSurface) {
  CLevelDisplay display;
  EXPECT_EQ(display.GetBackgroundColor(), RGB(0, 0, 0));
  display.Create(RECT{0, 0, 0, 0});
  EXPECT_TRUE(display.IsCreated());
  EXPECT_EQ(display.GetPanelRect(CLevelDisplay::Upper), (RECT{0, 0, 0, -1}));
  EXPECT_EQ(display.GetPanelRect(CLevelDisplay::Lower), (RECT{0, 1, 0, 0}));
  EXPECT_FALSE(display.GetDC());
  auto pcm = Halves16(0, 32767);
  display.SetDeviceName("Microphone");
  display.DrawLevel(kBufferBytes, 16, pcm.data(), pcm.data());
  display.Invalidate();
  EXPECT_EQ(display.GetPixel(0, 0), CLR_INVALID);
}

}  // namespace
