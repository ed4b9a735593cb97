// Recording and playback on a real sound server: a private PulseAudio server
// with null sinks, a tone sequence in its microphone, the engine on ALSA's
// device list as the program picks it. Ten recordings of 4 s (or as many as
// the first argument says): how much of the RecStart→RecStop interval test.wav
// holds, how late its first sample is, the CPU per buffer; then one playback:
// PlayLuYin to the first sample at the speaker.
// Goals: at least 0.975 of the interval in every run, first sample within 100 ms,
// the RecStart call itself (the movie waits for it) within 50 ms median.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "audio/SoundServerRig.h"

namespace {

struct Spread {
  double min, median, max;
};

Spread Of(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return Spread{v.front(), v[v.size() / 2], v.back()};
}

void Print(const char* what, const Spread& s, double scale, const char* unit) {
  std::printf("%-34s min %8.3f  median %8.3f  max %8.3f %s\n", what, s.min * scale, s.median * scale, s.max * scale,
              unit);
}

}  // namespace

int main(int argc, char** argv) {
  int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
  constexpr auto kLength = std::chrono::milliseconds(4000);

  soundtest::CSoundServerRig rig;
  if (!rig.server.IsRunning()) {
    std::fprintf(stderr, "the PulseAudio server did not start\n");
    return 1;
  }
  if (!rig.IsReady()) {
    std::fprintf(stderr, "the engine did not initialise on device %u\n", rig.DeviceId());
    return 1;
  }
  std::string pcm;
  rig.devices.GetPcmName(true, rig.DeviceId(), pcm);
  std::printf("recording device %d (%s), %d recordings of %.1f s\n", static_cast<int>(rig.DeviceId()),
              rig.DeviceId() == audio::WAVE_MAPPER ? "default" : pcm.c_str(), runs, kLength.count() / 1000.0);

  std::vector<double> share, start, end, cpu, perBuffer, load, call;
  bool allWhole = true;
  for (int i = 0; i < runs; ++i) {
    auto r = rig.Record(kLength, static_cast<std::uint32_t>(i + 1));
    if (!r.ran) {
      std::fprintf(stderr, "run %d: the recording did not run\n", i + 1);
      return 1;
    }
    share.push_back(r.Captured() / r.interval);
    call.push_back(r.recStart);
    start.push_back(r.missingStart);
    end.push_back(r.missingEnd);
    cpu.push_back(r.cpuPerBuffer);
    load.push_back(r.cpuSeconds / r.interval);
    perBuffer.push_back(r.buffers > 0 ? 2.0 * static_cast<double>(r.wav.size()) / r.buffers : 0);
    allWhole = allWhole && r.placement.whole;
    std::printf(
        "run %2d: RecStart call %5.1f ms, interval %.3f s, captured %.3f s (%.4f), missing at start %4.0f ms, "
        "at end %4.0f ms, %d buffers, %s\n",
        i + 1, 1000 * r.recStart, r.interval, r.Captured(), share.back(), 1000 * r.missingStart, 1000 * r.missingEnd,
        r.buffers, r.placement.whole ? "no gap" : "GAP OR REPEAT");
  }
  std::printf("\n");
  Print("RecStart call (movie waits)", Of(call), 1000, "ms");
  Print("captured / interval", Of(share), 1, "");
  Print("RecStart -> first captured sample", Of(start), 1000, "ms");
  Print("last captured sample -> RecStop", Of(end), 1000, "ms");
  Print("CPU per buffer", Of(cpu), 1000, "ms");
  Print("bytes per buffer", Of(perBuffer), 1, "");
  Print("CPU while recording", Of(load), 100, "%");

  auto p = rig.Play();
  if (!p.ran) {
    std::fprintf(stderr, "the playback did not run\n");
    return 1;
  }
  std::printf("%-34s %8.0f ms (%s)\n", "PlayLuYin -> first sample heard", 1000 * p.firstSample,
              p.placement.whole ? "played whole" : "NOT WHOLE");

  bool met = Of(share).min >= 0.975 && Of(start).max <= 0.1 && p.firstSample <= 0.1 && allWhole && p.placement.whole &&
             Of(call).median <= 0.05;
  std::printf("goals (>= 0.975 captured every run, first sample <= 100 ms, whole, RecStart call median <= 50 ms): %s\n",
              met ? "met" : "NOT MET");
  for (const auto& box : rig.boxes.Texts()) std::printf("message box: %s\n", box.c_str());
  return 0;
}
