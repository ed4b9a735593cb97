#pragma once
// The engine on this machine's sound devices with a private PulseAudio server
// behind them, as the program uses it: a known signal plays into the
// microphone, the engine records it between RecStart and RecStop, plays it
// back, and timed captures of the microphone and of the speaker's monitor
// show what was heard when.
#include <time.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/device/AlsaWaveDevice.h"
#include "audio/volume/VolumeIn.h"
#include "support/PulseServer.h"
#include "support/SoundCheck.h"

namespace soundtest {

inline double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

struct RecordingResult {
  bool ran = false;         // the engine started, stopped and came back to Ready
  double interval = 0;      // RecStart to RecStop, seconds
  double recStart = 0;      // how long the RecStart call took, seconds
  Samples wav;              // what test.wav holds
  Placement placement;      // of test.wav in the microphone's reference capture
  double missingStart = 0;  // seconds between RecStart and the first sample recorded
  double missingEnd = 0;    // seconds between the last sample recorded and RecStop
  int buffers = 0;          // MM_WIM_DATA handled
  double cpuSeconds = 0;    // of the process from RecStart to Ready, the reference capture left out
  double cpuPerBuffer = 0;  // the same per buffer handled
  bool tapOverran = false;  // the reference capture lost samples itself
  double Captured() const { return SecondsOf(wav.size()); }
};

struct PlaybackResult {
  bool ran = false;
  Placement placement;     // of test.wav in the speaker's monitor
  double firstSample = 0;  // seconds from PlayLuYin to test.wav's first sample at the speaker
  bool tapOverran = false;
};

class CSoundServerRig {
 public:
  CSoundServerRig() {
    if (!server.IsRunning()) return;
    m_id = audio::FindRecordingDevice();
    engine.SetEncoderLibraryPath(TESSEL_LAME_ENC);
    m_bReady = engine.Initialize(m_id, 0, nullptr);
    engine.SetNotifyHook(&CSoundServerRig::Count, nullptr);
  }
  bool IsReady() const { return m_bReady; }
  audio::UINT DeviceId() const { return m_id; }

  // Plays a fresh stretch of the tone sequence into the microphone for as
  // long as the object lives.
  class CFeed {
   public:
    CFeed(const std::string& path, double seconds, std::uint32_t seed) {
      WriteWav(path, ToneSequence(seconds, seed));
      m_player = std::make_unique<CChildProcess>(std::vector<std::string>{"paplay", "-d", "micsrc", path});
    }
    bool IsStarted() const { return m_player->IsStarted(); }

   private:
    std::unique_ptr<CChildProcess> m_player;
  };

  // RecStart, `length` later RecStop, as the command bridge does them, with
  // the tone sequence in the microphone all the while; half-way through, the
  // UI thread may be `busy` elsewhere (the movie, the web engine).
  RecordingResult Record(std::chrono::milliseconds length, std::uint32_t seed = 1,
                         std::chrono::milliseconds busy = std::chrono::milliseconds(0)) {
    RecordingResult r;
    CFeed feed("signal.wav", std::chrono::duration<double>(length).count() + 4, seed);
    CSourceTap reference("mic");
    if (!feed.IsStarted() || !reference.IsRunning()) return r;
    // Until the signal flows.
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    s_nBuffers = 0;
    double cpu = ProcessCpuSeconds() - reference.CpuSeconds();
    Clock::time_point start = Clock::now();
    if (!engine.StartRecording(0) || !engine.OpenOutputFile(0, "test.wav") || !engine.OpenOutputFile(0, "test.mp3"))
      return r;
    r.recStart = std::chrono::duration<double>(Clock::now() - start).count();
    audiotest::PumpUntil([&] { return Clock::now() >= start + length / 2; }, length);
    std::this_thread::sleep_for(busy);
    audiotest::PumpUntil([&] { return Clock::now() >= start + length; }, length);
    // RecStop comes after what the device posted before it.
    Clock::time_point stop = Clock::now();
    platform::CMessageLoop::Get().DispatchPending();
    int buffers = s_nBuffers;
    engine.Stop();
    r.ran = audiotest::PumpUntil([&] { return engine.GetState() == audio::CAudioPlayRec::kStateReady; },
                                 std::chrono::seconds(5));
    cpu = ProcessCpuSeconds() - reference.CpuSeconds() - cpu;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    reference.Stop();
    r.tapOverran = reference.Overran();
    r.interval = std::chrono::duration<double>(stop - start).count();
    r.wav = ReadWav("test.wav");
    r.buffers = buffers;
    r.cpuSeconds = cpu;
    r.cpuPerBuffer = s_nBuffers > 0 ? cpu / s_nBuffers : 0;
    r.placement = Place(r.wav, reference.Captured());
    if (r.placement.offset >= 0) {
      std::size_t first = static_cast<std::size_t>(r.placement.offset);
      r.missingStart = reference.TimeOf(first) - Seconds(start);
      r.missingEnd = Seconds(stop) - reference.TimeOf(first + r.wav.size());
    }
    return r;
  }

  // PlayLuYin, with the speaker's monitor captured until the engine is Ready.
  PlaybackResult Play() {
    PlaybackResult r;
    CSourceTap speaker("speaker.monitor");
    if (!speaker.IsRunning()) return r;
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Clock::time_point start = Clock::now();
    if (!engine.Play()) return r;
    r.ran = audiotest::PumpUntil([&] { return engine.GetState() == audio::CAudioPlayRec::kStateReady; },
                                 std::chrono::seconds(30));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    speaker.Stop();
    r.tapOverran = speaker.Overran();
    Samples played = ReadWav("test.wav");
    r.placement = Place(played, speaker.Captured());
    if (r.placement.offset >= 0)
      r.firstSample = speaker.TimeOf(static_cast<std::size_t>(r.placement.offset)) - Seconds(start);
    return r;
  }

  audiotest::CScratchDir dir;
  audiotest::CBoxRecorder boxes;
  CPulseServer server;
  audio::CAlsaWaveDevices devices;
  audio::CAudioPlayRec engine{devices};

 private:
  static void Count(audio::UINT message, platform::CMsgTarget*) {
    if (message == audio::MM_WIM_DATA) ++s_nBuffers;
  }
  static inline int s_nBuffers = 0;

  audio::UINT m_id = audio::WAVE_MAPPER;
  bool m_bReady = false;
};

}  // namespace soundtest
