// CPU time the engine spends per captured 4096-byte buffer when the
// recording also has an MP3 target (the real encoder library, loaded the
// program's way: next to the executable), as a share of the 93 ms one buffer
// lasts. The same capture with a WAV target alone gives the encoding's part.
// Goal: encoding under 2 % of real time per buffer.
#include <time.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <vector>

#include "audio/AudioPlayRec.h"
#include "audio/sim/SimWaveDevice.h"

namespace {

constexpr int kBuffers = 3000;  // about 4.6 minutes of speech-rate capture
constexpr std::size_t kBufferBytes = 4096;
constexpr double kBufferMs = 1000.0 * kBufferBytes / 44100.0;  // ~92.9 ms

double CpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// A voice-like signal: two tones and a little noise, so the encoder has work.
std::vector<std::uint8_t> Signal(std::size_t samples) {
  std::vector<std::uint8_t> pcm;
  pcm.reserve(2 * samples);
  unsigned noise = 12345;
  for (std::size_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / 22050.0;
    noise = noise * 1664525u + 1013904223u;
    const double v = 6000 * std::sin(2 * std::numbers::pi * 220 * t) +
                     3000 * std::sin(2 * std::numbers::pi * 1330 * t) +
                     static_cast<double>(static_cast<int>(noise >> 20) - 2048);
    const auto s = static_cast<std::int16_t>(v);
    pcm.push_back(static_cast<std::uint8_t>(s & 0xFF));
    pcm.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(s) >> 8) & 0xFF));
  }
  return pcm;
}

// CPU milliseconds per buffer of one recording; negative when it did not run.
double RecordMs(const std::vector<std::uint8_t>& pcm, bool withMp3) {
  auto& loop = platform::CMessageLoop::Get();
  audio::CSimWaveDevices sim;
  audio::CAudioPlayRec engine(sim);
  if (!engine.Initialize(0, 0, nullptr) || !engine.StartRecording(0) || !engine.OpenOutputFile(0, "test.wav") ||
      (withMp3 && !engine.OpenOutputFile(0, "test.mp3")))
    return -1;
  const double start = CpuSeconds();
  for (int i = 0; i < kBuffers; ++i) {
    sim.SupplyInput(std::span(pcm).subspan(i * kBufferBytes, kBufferBytes));
    sim.DeliverInput(1);
    loop.RunUntilIdle();
  }
  engine.Stop();
  loop.AdvanceTime(std::chrono::milliseconds(1000));  // the finish and tag count too
  return (CpuSeconds() - start) * 1000.0 / kBuffers;
}

}  // namespace

int main() {
  namespace fs = std::filesystem;
  std::string tmpl = (fs::temp_directory_path() / "tessel-bench-XXXXXX").string();
  if (::mkdtemp(tmpl.data()) == nullptr) return 1;
  fs::path previous = fs::current_path();
  fs::current_path(tmpl);

  const auto pcm = Signal(kBuffers * kBufferBytes / 2);
  int result = 0;
  const double wavMs = RecordMs(pcm, false);
  const double bothMs = RecordMs(pcm, true);
  if (wavMs < 0 || bothMs < 0 || !fs::exists("test.mp3")) {
    std::fprintf(stderr, "the recording did not run (is lame_enc.so next to the executable?)\n");
    result = 1;
  } else {
    const double encodeMs = bothMs - wavMs;
    std::printf("buffers: %d of %.1f ms; test.mp3: %ju bytes\n", kBuffers, kBufferMs,
                static_cast<std::uintmax_t>(fs::file_size("test.mp3")));
    std::printf("CPU per buffer: WAV only %.4f ms, WAV + MP3 %.4f ms\n", wavMs, bothMs);
    std::printf("encoding per buffer: %.4f ms = %.3f %% of real time (goal < 2 %%)\n", encodeMs,
                100.0 * encodeMs / kBufferMs);
  }
  fs::current_path(previous);
  fs::remove_all(tmpl);
  return result;
}
