#pragma once
// Known signals and what it takes to find them again in a recording: a tone
// sequence that never repeats, WAV files of it, a timed capture of a
// PulseAudio source (the reference a recording is compared with), and 10 ms
// loudness envelopes that locate one recording inside another.
#include <alsa/asoundlib.h>
#include <pthread.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <numbers>
#include <string>
#include <thread>
#include <vector>

namespace soundtest {

using Samples = std::vector<std::int16_t>;
using Clock = std::chrono::steady_clock;

constexpr unsigned kRate = 22050;
// One envelope value per 10 ms.
constexpr std::size_t kBin = kRate / 100;

inline double Seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }
inline double SecondsOf(std::size_t samples) { return static_cast<double>(samples) / kRate; }

// 50 ms tones of pseudo-random pitch and loudness, with soft edges: its
// envelope never repeats, so any 200 ms of it can be located.
inline Samples ToneSequence(double seconds, std::uint32_t seed = 1) {
  constexpr std::size_t kTone = kRate / 20;
  constexpr std::size_t kEdge = kRate / 200;
  Samples out(static_cast<std::size_t>(seconds * kRate));
  std::uint32_t x = seed * 2654435761u + 1;
  auto next = [&x] { return (x = x * 1664525u + 1013904223u) >> 8; };
  double phase = 0;
  for (std::size_t start = 0; start < out.size(); start += kTone) {
    double freq = 200.0 + next() % 1800;
    double amp = 1000.0 + next() % 20000;
    for (std::size_t i = 0; i < kTone && start + i < out.size(); ++i) {
      double edge = std::min({1.0, static_cast<double>(i) / kEdge, static_cast<double>(kTone - i) / kEdge});
      phase += 2 * std::numbers::pi * freq / kRate;
      out[start + i] = static_cast<std::int16_t>(amp * edge * std::sin(phase));
    }
  }
  return out;
}

// A plain 44-byte one-channel 16-bit WAV at kRate.
inline void WriteWav(const std::string& path, const Samples& s) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  auto put = [&out](std::uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) out.put(static_cast<char>(v >> (8 * i)));
  };
  auto bytes = static_cast<std::uint32_t>(s.size() * 2);
  out.write("RIFF", 4), put(36 + bytes, 4), out.write("WAVEfmt ", 8), put(16, 4), put(1, 2), put(1, 2);
  put(kRate, 4), put(kRate * 2, 4), put(2, 2), put(16, 2), out.write("data", 4), put(bytes, 4);
  out.write(reinterpret_cast<const char*>(s.data()), static_cast<std::streamsize>(bytes));
}

// The samples of a one-channel 16-bit WAV file (the engine's or WriteWav's),
// or nothing when its data chunk does not end where the file does: a
// recording whose sizes were not written.
inline Samples ReadWav(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::vector<char> b((std::istreambuf_iterator<char>(in)), {});
  auto u32 = [&b](std::size_t i) {
    std::uint32_t v = 0;
    for (int k = 3; k >= 0; --k) v = v << 8 | static_cast<unsigned char>(b[i + static_cast<std::size_t>(k)]);
    return v;
  };
  for (std::size_t at = 12; at + 8 <= b.size(); at += 8 + u32(at + 4) + (u32(at + 4) & 1)) {
    if (std::string(b.data() + at, 4) != "data") continue;
    std::uint32_t n = u32(at + 4);
    if (at + 8 + n != b.size()) return {};
    Samples s(n / 2);
    std::copy_n(b.data() + at + 8, n & ~1u, reinterpret_cast<char*>(s.data()));
    return s;
  }
  return {};
}

// Loudness per 10 ms.
inline std::vector<double> Envelope(const Samples& s) {
  std::vector<double> env(s.size() / kBin);
  for (std::size_t b = 0; b < env.size(); ++b) {
    double sum = 0;
    for (std::size_t i = b * kBin; i < (b + 1) * kBin; ++i) sum += static_cast<double>(s[i]) * s[i];
    env[b] = std::sqrt(sum / kBin);
  }
  return env;
}

struct Match {
  std::ptrdiff_t offset = -1;  // -1 when nothing fits
  double score = 0;            // correlation, 1 for a perfect fit
};

// Pearson correlation of a[ia, ia + n) with b[ib, ib + n).
template <typename T>
double Correlation(const std::vector<T>& a, std::size_t ia, const std::vector<T>& b, std::size_t ib, std::size_t n) {
  double ma = 0, mb = 0;
  for (std::size_t i = 0; i < n; ++i) ma += a[ia + i], mb += b[ib + i];
  ma /= static_cast<double>(n), mb /= static_cast<double>(n);
  double ab = 0, aa = 0, bb = 0;
  for (std::size_t i = 0; i < n; ++i) {
    double x = a[ia + i] - ma, y = b[ib + i] - mb;
    ab += x * y, aa += x * x, bb += y * y;
  }
  return aa > 0 && bb > 0 ? ab / std::sqrt(aa * bb) : 0;
}

// Where part[from, from + n) fits best in whole, at offsets [lo, hi].
template <typename T>
Match Locate(const std::vector<T>& part, std::size_t from, std::size_t n, const std::vector<T>& whole,
             std::ptrdiff_t lo, std::ptrdiff_t hi) {
  Match best;
  if (n < 2 || from + n > part.size() || whole.size() < n) return best;
  lo = std::max<std::ptrdiff_t>(lo, 0);
  hi = std::min(hi, static_cast<std::ptrdiff_t>(whole.size() - n));
  for (std::ptrdiff_t off = lo; off <= hi; ++off) {
    double score = Correlation(part, from, whole, static_cast<std::size_t>(off), n);
    if (score > best.score) best = Match{off, score};
  }
  return best;
}

// How a recording sits in a reference capture that ran all through it.
struct Placement {
  bool whole = false;            // every piece found, each right after the one before
  std::ptrdiff_t offset = -1;    // samples into the reference where the recording starts
  double worstScore = 0;         // of the pieces
  std::ptrdiff_t worstSlip = 0;  // largest distance, in samples, of a piece from where it should be
};

// Locates the recording in the reference by loudness, to the sample by the
// waveform, then each 250 ms piece of it on its own: a gap or a repeat in
// the recording moves the pieces after it.
inline Placement Place(const Samples& recording, const Samples& reference) {
  constexpr std::size_t kPiece = kRate / 4;
  constexpr std::ptrdiff_t kSearch = 2 * kBin;
  Placement p;
  auto rec = Envelope(recording), ref = Envelope(reference);
  Match coarse = Locate(rec, 0, rec.size(), ref, 0, PTRDIFF_MAX);
  if (coarse.offset < 0 || recording.size() < kPiece) return p;
  std::ptrdiff_t around = coarse.offset * static_cast<std::ptrdiff_t>(kBin);
  Match fine = Locate(recording, 0, kPiece, reference, around - kSearch, around + kSearch);
  if (fine.offset < 0) return p;
  p.offset = fine.offset;
  p.worstScore = fine.score;
  // The pieces, the last one flush with the end.
  std::vector<std::size_t> pieces;
  for (std::size_t from = 0; from + kPiece <= recording.size(); from += kPiece) pieces.push_back(from);
  pieces.push_back(recording.size() - kPiece);
  for (std::size_t from : pieces) {
    std::ptrdiff_t expected = p.offset + static_cast<std::ptrdiff_t>(from);
    Match m = Locate(recording, from, kPiece, reference, expected - kSearch, expected + kSearch);
    p.worstScore = std::min(p.worstScore, m.score);
    p.worstSlip = std::max(p.worstSlip, m.offset < 0 ? PTRDIFF_MAX : std::abs(m.offset - expected));
  }
  // The two captures resample the source each on its own: a sample either way.
  p.whole = p.worstScore > 0.95 && p.worstSlip <= 2;
  return p;
}

// Captures a PulseAudio source (through ALSA's pulse plugin) on a thread of
// its own and keeps, with the samples, when each was captured: the time the
// source took frame k is Origin() + k / kRate, from the delays the server reports.
class CSourceTap {
 public:
  explicit CSourceTap(const std::string& source) {
    std::string name = "pulse:DEVICE=" + source;
    if (snd_pcm_open(&m_pcm, name.c_str(), SND_PCM_STREAM_CAPTURE, 0) < 0) {
      m_pcm = nullptr;
      return;
    }
    if (snd_pcm_set_params(m_pcm, SND_PCM_FORMAT_S16_LE, SND_PCM_ACCESS_RW_INTERLEAVED, 1, kRate, 1, 50000) < 0 ||
        snd_pcm_start(m_pcm) < 0) {
      snd_pcm_close(m_pcm);
      m_pcm = nullptr;
      return;
    }
    m_thread = std::thread([this] { Run(); });
  }
  ~CSourceTap() {
    Stop();
    if (m_pcm) snd_pcm_close(m_pcm);
  }
  CSourceTap(const CSourceTap&) = delete;
  CSourceTap& operator=(const CSourceTap&) = delete;

  bool IsRunning() const { return m_thread.joinable(); }
  void Stop() {
    m_bQuit = true;
    if (m_thread.joinable()) m_thread.join();
  }
  Samples Captured() const {
    std::lock_guard lock(m_lock);
    return m_samples;
  }
  // Seconds (steady clock) at which frame 0 was captured.
  double Origin() const {
    std::lock_guard lock(m_lock);
    auto o = m_origins;
    if (o.empty()) return 0;
    std::nth_element(o.begin(), o.begin() + static_cast<std::ptrdiff_t>(o.size() / 2), o.end());
    return o[o.size() / 2];
  }
  double TimeOf(std::size_t frame) const { return Origin() + SecondsOf(frame); }
  bool Overran() const { return m_bOverran; }
  // CPU time the capture thread has used so far (while it runs).
  double CpuSeconds() const {
    clockid_t id;
    timespec ts{};
    if (!m_thread.joinable() || pthread_getcpuclockid(const_cast<std::thread&>(m_thread).native_handle(), &id) != 0 ||
        clock_gettime(id, &ts) != 0)
      return 0;
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
  }

 private:
  void Run() {
    std::vector<std::int16_t> chunk(kRate / 100);
    while (!m_bQuit) {
      snd_pcm_sframes_t n = snd_pcm_readi(m_pcm, chunk.data(), chunk.size());
      if (n < 0) {
        m_bOverran = true;
        if (snd_pcm_recover(m_pcm, static_cast<int>(n), 1) < 0) return;
        continue;
      }
      snd_pcm_sframes_t delay = 0;
      double now = Seconds(Clock::now());
      std::lock_guard lock(m_lock);
      m_samples.insert(m_samples.end(), chunk.begin(), chunk.begin() + n);
      // Frame (read + still waiting) is the one being captured now.
      if (snd_pcm_delay(m_pcm, &delay) == 0)
        m_origins.push_back(now - SecondsOf(m_samples.size() + static_cast<std::size_t>(std::max<long>(delay, 0))));
    }
  }

  snd_pcm_t* m_pcm = nullptr;
  std::thread m_thread;
  std::atomic<bool> m_bQuit{false};
  std::atomic<bool> m_bOverran{false};
  mutable std::mutex m_lock;
  Samples m_samples;
  std::vector<double> m_origins;
};

}  // namespace soundtest
