// Throughput of the encoder library against the lame command line on the
// same 60 s of PCM at the recording settings, in the same run; and the cost
// of the library calls per captured 4096-byte buffer.
//
//   build/bin/bench_lame_enc [runs]
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <numbers>
#include <string>
#include <vector>

#include "audio/encoder/LameLibrary.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::uint32_t kRate = 22050;
constexpr int kSeconds = 60;
constexpr std::size_t kCaptureBufferBytes = 4096;
constexpr double kCaptureBufferMs = 1000.0 * kCaptureBufferBytes / 2 / kRate;  // about 93 ms

// The same settings on both sides: 64 kbit/s CBR mono, r3mix preset, no bit
// reservoir, quality 5 (what nQuality 0 means), original, with the Info tag;
// no ReplayGain analysis, which the library does not do either.
const char* const kLameCommand =
    "lame --quiet --r3mix -r -s 22.05 --bitwidth 16 --signed --little-endian -m m -b 64 --cbr --nores -q 5 "
    "--noreplaygain";

BE_CONFIG RecordingConfig() {
  BE_CONFIG cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.dwConfig = BE_CONFIG_LAME;
  cfg.format.LHV1.dwStructVersion = 1;
  cfg.format.LHV1.dwStructSize = sizeof(BE_CONFIG);
  cfg.format.LHV1.dwSampleRate = kRate;
  cfg.format.LHV1.nMode = BE_MP3_MODE_MONO;
  cfg.format.LHV1.dwBitrate = 64;
  cfg.format.LHV1.nPreset = LQP_R3MIX;
  cfg.format.LHV1.dwMpegVersion = MPEG1;
  cfg.format.LHV1.bOriginal = 1;
  cfg.format.LHV1.bWriteVBRHeader = 1;
  cfg.format.LHV1.bNoRes = 1;
  return cfg;
}

// Voice-like test signal: a gliding tone with harmonics, syllable envelope, noise.
std::vector<std::int16_t> MakePcm() {
  std::vector<std::int16_t> pcm(static_cast<std::size_t>(kSeconds) * kRate);
  std::uint32_t noise = 12345;
  double phase = 0;
  for (std::size_t i = 0; i < pcm.size(); ++i) {
    const double t = static_cast<double>(i) / kRate;
    phase += 2 * std::numbers::pi * (160 + 60 * std::sin(2 * std::numbers::pi * 0.7 * t)) / kRate;
    const double envelope = 0.5 + 0.5 * std::sin(2 * std::numbers::pi * 3 * t);
    noise = noise * 1664525u + 1013904223u;
    const double v = envelope * (0.5 * std::sin(phase) + 0.25 * std::sin(2 * phase) + 0.12 * std::sin(3 * phase)) +
                     0.03 * (static_cast<double>(noise >> 16) / 32768.0 - 1.0);
    pcm[i] = static_cast<std::int16_t>(std::clamp(v, -1.0, 1.0) * 20000);
  }
  return pcm;
}

struct LibraryRun {
  double seconds = 0;
  std::vector<double> bufferMs;  // library calls per captured buffer
};

// Feeds the PCM in captured buffers as the recorder does: whole chunks while
// more than one chunk waits. Unlike the recorder it then encodes what still
// waits, so that the file holds the same audio as the command line's.
LibraryRun EncodeWithLibrary(const LameEntryPoints& be, const std::vector<std::int16_t>& pcm, const std::string& out) {
  LibraryRun run;
  const auto start = Clock::now();
  BE_CONFIG cfg = RecordingConfig();
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = 0;
  if (be.beInitStream(&cfg, &samples, &bufferSize, &stream) != BE_ERR_SUCCESSFUL) std::exit(1);
  std::vector<std::uint8_t> mp3buf(bufferSize);
  std::FILE* file = std::fopen(out.c_str(), "wb+");
  if (!file) std::exit(1);
  std::vector<std::int16_t> waiting;
  const std::size_t bufferSamples = kCaptureBufferBytes / 2;
  for (std::size_t pos = 0; pos < pcm.size(); pos += bufferSamples) {
    const auto bufferStart = Clock::now();
    const std::size_t n = std::min(bufferSamples, pcm.size() - pos);
    waiting.insert(waiting.end(), pcm.begin() + static_cast<long>(pos), pcm.begin() + static_cast<long>(pos + n));
    std::size_t used = 0;
    while (waiting.size() - used > samples) {
      std::uint32_t produced = 0;
      if (be.beEncodeChunk(stream, samples, waiting.data() + used, mp3buf.data(), &produced) != BE_ERR_SUCCESSFUL)
        std::exit(1);
      std::fwrite(mp3buf.data(), 1, produced, file);
      used += samples;
    }
    waiting.erase(waiting.begin(), waiting.begin() + static_cast<long>(used));
    run.bufferMs.push_back(std::chrono::duration<double, std::milli>(Clock::now() - bufferStart).count());
  }
  std::uint32_t produced = 0;
  if (!waiting.empty()) {
    if (be.beEncodeChunk(stream, static_cast<std::uint32_t>(waiting.size()), waiting.data(), mp3buf.data(),
                         &produced) != BE_ERR_SUCCESSFUL)
      std::exit(1);
    std::fwrite(mp3buf.data(), 1, produced, file);
  }
  if (be.beDeinitStream(stream, mp3buf.data(), &produced) != BE_ERR_SUCCESSFUL) std::exit(1);
  std::fwrite(mp3buf.data(), 1, produced, file);
  be.beCloseStream(stream);
  std::fclose(file);
  if (be.beWriteInfoTag) be.beWriteInfoTag(stream, out.c_str());
  run.seconds = std::chrono::duration<double>(Clock::now() - start).count();
  return run;
}

double EncodeWithCommandLine(const std::string& in, const std::string& out) {
  const std::string command = std::string(kLameCommand) + " '" + in + "' '" + out + "' 2>/dev/null";
  const auto start = Clock::now();
  const int status = std::system(command.c_str());
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  if (status == -1 || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
    std::fprintf(stderr, "the lame command failed: %s\n", command.c_str());
    std::exit(1);
  }
  return seconds;
}

std::vector<char> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

}  // namespace

int main(int argc, char** argv) {
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  CLameLibrary lib;
  if (!lib.Load() || !lib.HasRequiredEntryPoints()) {
    std::fprintf(stderr, "cannot load the encoder library: %s\n", lib.Error().c_str());
    return 1;
  }
  const auto dir = std::filesystem::temp_directory_path() / ("bench_lame_enc_" + std::to_string(::getpid()));
  std::filesystem::create_directories(dir);
  const std::string pcmPath = (dir / "speech.pcm").string();
  const std::string libOut = (dir / "library.mp3").string();
  const std::string cliOut = (dir / "cli.mp3").string();
  const auto pcm = MakePcm();
  {
    std::ofstream f(pcmPath, std::ios::binary);
    f.write(reinterpret_cast<const char*>(pcm.data()), static_cast<std::streamsize>(pcm.size() * 2));
  }

  // Interleaved runs, best of each, so both see the same machine load.
  double bestLib = 1e9, bestCli = 1e9;
  std::vector<double> bufferMs;
  for (int i = 0; i < runs; ++i) {
    LibraryRun r = EncodeWithLibrary(lib.EntryPoints(), pcm, libOut);
    bestLib = std::min(bestLib, r.seconds);
    bufferMs.insert(bufferMs.end(), r.bufferMs.begin(), r.bufferMs.end());
    bestCli = std::min(bestCli, EncodeWithCommandLine(pcmPath, cliOut));
  }

  const auto libBytes = ReadAll(libOut);
  const auto cliBytes = ReadAll(cliOut);
  std::printf("input: %d s of 22050 Hz mono 16-bit PCM, best of %d runs\n", kSeconds, runs);
  std::printf("library (%s): %.3f s, %.0fx real time, %zu bytes\n", lib.Path().c_str(), bestLib, kSeconds / bestLib,
              libBytes.size());
  std::printf("lame command line: %.3f s, %.0fx real time, %zu bytes\n", bestCli, kSeconds / bestCli, cliBytes.size());
  std::printf("ratio library/command line: %.3f\n", bestLib / bestCli);
  std::printf("library output identical to the command line's: %s\n", libBytes == cliBytes ? "yes" : "no");
  std::sort(bufferMs.begin(), bufferMs.end());
  double mean = 0;
  for (double ms : bufferMs) mean += ms;
  mean /= static_cast<double>(bufferMs.size());
  const double p99 = bufferMs[bufferMs.size() * 99 / 100];
  std::printf(
      "library calls per %zu-byte buffer (%.1f ms of sound): mean %.3f ms (%.2f%%), p99 %.3f ms (%.2f%%), "
      "max %.3f ms\n",
      kCaptureBufferBytes, kCaptureBufferMs, mean, 100 * mean / kCaptureBufferMs, p99, 100 * p99 / kCaptureBufferMs,
      bufferMs.back());
  std::filesystem::remove_all(dir);
  return 0;
}
