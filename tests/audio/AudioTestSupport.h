#pragma once
// Shared pieces of the audio tests: a scratch current directory (the engine's
// files are relative to it), recorded message boxes, byte helpers and a
// builder for WAV files of any chunk layout.
#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "TempDir.h"
#include "audio/AudioPlayRec.h"
#include "audio/sim/SimWaveDevice.h"
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"

namespace audiotest {

using Bytes = std::vector<std::uint8_t>;

// Runs the message loop, waking on its descriptor, until done() or the time
// is up; for tests whose devices post from threads of their own.
inline bool PumpUntil(const std::function<bool()>& done,
                      std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) {
  auto& loop = platform::CMessageLoop::Get();
  auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    loop.DispatchPending();
    pollfd pfd{loop.WakeFd(), POLLIN, 0};
    ::poll(&pfd, 1, 10);
  }
  return true;
}

using ::CScratchDir;

// Installs a recording message-box presenter for the test's lifetime.
class CBoxRecorder {
 public:
  CBoxRecorder() : m_presenter(std::make_shared<platform::CRecordingPresenter>()) {
    platform::SetMessageBoxPresenter(m_presenter);
  }
  ~CBoxRecorder() { platform::SetMessageBoxPresenter(nullptr); }
  std::vector<std::string> Texts() const { return m_presenter->Texts(); }
  void Clear() { m_presenter->Clear(); }

 private:
  std::shared_ptr<platform::CRecordingPresenter> m_presenter;
};

inline Bytes ReadAll(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

inline void WriteAll(const std::string& name, const Bytes& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::uint32_t Le32(const Bytes& b, std::size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<std::uint32_t>(b[at + 3]) << 24;
}
inline std::uint16_t Le16(const Bytes& b, std::size_t at) { return static_cast<std::uint16_t>(b[at] | b[at + 1] << 8); }
inline std::string Tag(const Bytes& b, std::size_t at) { return std::string(b.begin() + at, b.begin() + at + 4); }

// Distinct, position-dependent bytes, so order and gaps show.
inline Bytes Pattern(std::size_t size, std::uint32_t seed = 1) {
  Bytes b(size);
  std::uint32_t x = seed * 2654435761u + 12345u;
  for (auto& v : b) {
    x = x * 1664525u + 1013904223u;
    v = static_cast<std::uint8_t>(x >> 24);
  }
  return b;
}

inline Bytes Slice(const Bytes& b, std::size_t from, std::size_t size) {
  return Bytes(b.begin() + from, b.begin() + from + size);
}

// A whole recording on the simulated device: one buffer of fresh bytes into
// "test.wav", stopped by the stop timer. True when the engine is Ready again,
// the device closed and test.wav holds exactly those bytes.
inline bool RecordsOneBuffer(audio::CAudioPlayRec& engine, audio::CSimWaveDevices& sim, std::uint32_t seed) {
  constexpr std::size_t kBuffer = 4096, kHeader = 46;
  auto& loop = platform::CMessageLoop::Get();
  if (!engine.StartRecording(0) || !engine.OpenOutputFile(0, "test.wav")) return false;
  Bytes heard = Pattern(kBuffer, seed);
  sim.SupplyInput(heard);
  if (sim.DeliverInput(1) != 1) return false;
  loop.RunUntilIdle();
  engine.Stop();
  loop.AdvanceTime(std::chrono::milliseconds(1000));
  Bytes file = ReadAll("test.wav");
  return engine.GetState() == audio::CAudioPlayRec::kStateReady && !sim.IsInOpen() &&
         file.size() == kHeader + kBuffer && Slice(file, kHeader, kBuffer) == heard;
}

// A RIFF file built chunk by chunk.
class CWavBuilder {
 public:
  CWavBuilder& Chunk(const std::string& id, const Bytes& data) {
    Append(id);
    Put32(static_cast<std::uint32_t>(data.size()));
    m_body.insert(m_body.end(), data.begin(), data.end());
    if (data.size() & 1) m_body.push_back(0);
    return *this;
  }
  // A PCM fmt chunk of fmtSize bytes (16, 18 or more).
  CWavBuilder& Fmt(std::uint16_t channels, std::uint32_t rate, std::uint16_t bits, std::size_t fmtSize = 18) {
    Bytes f;
    auto p16 = [&f](std::uint16_t v) { f.push_back(v & 0xff), f.push_back(v >> 8); };
    auto p32 = [&f](std::uint32_t v) {
      for (int i = 0; i < 4; ++i) f.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    };
    std::uint16_t align = static_cast<std::uint16_t>(channels * bits / 8);
    p16(1), p16(channels), p32(rate), p32(rate * align), p16(align), p16(bits);
    f.resize(fmtSize, 0);
    return Chunk("fmt ", f);
  }
  Bytes Build(const std::string& form = "WAVE") const {
    Bytes out;
    auto tag = [&out](const std::string& s) { out.insert(out.end(), s.begin(), s.begin() + 4); };
    tag("RIFF");
    std::uint32_t size = static_cast<std::uint32_t>(m_body.size() + 4);
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(size >> (8 * i)));
    tag(form);
    out.insert(out.end(), m_body.begin(), m_body.end());
    return out;
  }

 private:
  void Append(const std::string& id) { m_body.insert(m_body.end(), id.begin(), id.begin() + 4); }
  void Put32(std::uint32_t v) {
    for (int i = 0; i < 4; ++i) m_body.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }
  Bytes m_body;
};

// The engine on simulated devices, in a scratch directory of its own, with
// the message boxes recorded; SetUp initialises it on the first devices.
class CEngineFixture : public ::testing::Test {
 protected:
  explicit CEngineFixture(unsigned numIn = 1, unsigned numOut = 1, std::string inDevName = "Simulated microphone")
      : sim(numIn, numOut, std::move(inDevName)) {}
  void SetUp() override {
    loop.RunUntilIdle();
    ASSERT_TRUE(engine.Initialize(0, 0, nullptr));
  }

  CScratchDir dir;
  CBoxRecorder boxes;
  platform::CMessageLoop& loop = platform::CMessageLoop::Get();
  audio::CSimWaveDevices sim;
  audio::CAudioPlayRec engine{sim};
};

}  // namespace audiotest
