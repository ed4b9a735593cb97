// CPU time the level display takes per buffer (4096 bytes of one-channel
// 16-bit samples drawn in both panels), on the engine's zero-size window and
// on a 400 × 200 one. Goal: next to nothing at zero size; at 400 × 200 well
// under the 93 ms one buffer lasts.
#include <time.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "audio/LevelDisplay.h"

namespace {

constexpr std::size_t kBufferBytes = 4096;
constexpr double kBufferMs = 1000.0 * kBufferBytes / 44100.0;

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void Measure(const char* label, const audio::RECT& rc, int buffers, const std::vector<std::uint8_t>& pcm) {
  audio::CLevelDisplay display;
  display.Create(rc);
  display.SetDeviceName("Built-in Microphone");
  display.DrawLevel(kBufferBytes, 16, pcm.data(), pcm.data());  // fonts found once, not counted
  double start = CpuSeconds();
  for (int i = 0; i < buffers; ++i) display.DrawLevel(kBufferBytes, 16, pcm.data(), pcm.data());
  double perBuffer = (CpuSeconds() - start) / buffers;
  std::printf("%-10s %10.3f us per buffer  (%.4f %% of a %.1f ms buffer, %d buffers)\n", label, perBuffer * 1e6,
              100.0 * perBuffer * 1e3 / kBufferMs, kBufferMs, buffers);
}

}  // namespace

int main() {
  std::vector<std::int16_t> samples(kBufferBytes / 2);
  for (std::size_t i = 0; i < samples.size(); ++i)
    samples[i] = static_cast<std::int16_t>(12000 * std::sin(static_cast<double>(i) / 7.0));
  std::vector<std::uint8_t> pcm(kBufferBytes);
  std::memcpy(pcm.data(), samples.data(), pcm.size());

  Measure("0 x 0", audio::RECT{0, 0, 0, 0}, 1000000, pcm);
  Measure("400 x 200", audio::RECT{0, 0, 400, 200}, 2000, pcm);
  return 0;
}
