// The encoder library through its seven entry points, loaded as the engine
// loads it, with the output checked by an independent decoder (libmpg123).
#include <gtest/gtest.h>
#include <mpg123.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <numbers>
#include <string>
#include <vector>

#include "TempDir.h"
#include "audio/Mp3Decode.h"
#include "audio/encoder/LameLibrary.h"

namespace {

constexpr std::uint32_t kRate = 22050;
constexpr double kToneHz = 440.0;

// The record exactly as the engine fills it for a one-channel capture.
BE_CONFIG EngineConfig() {
  BE_CONFIG cfg;
  std::memset(&cfg, 0, sizeof cfg);
  cfg.dwConfig = BE_CONFIG_LAME;
  cfg.format.LHV1.dwStructVersion = 1;
  cfg.format.LHV1.dwStructSize = sizeof(BE_CONFIG);
  cfg.format.LHV1.dwSampleRate = kRate;
  cfg.format.LHV1.dwReSampleRate = 0;
  cfg.format.LHV1.nMode = BE_MP3_MODE_MONO;
  cfg.format.LHV1.dwBitrate = 64;
  cfg.format.LHV1.dwMaxBitrate = 0;
  cfg.format.LHV1.nPreset = LQP_R3MIX;
  cfg.format.LHV1.dwMpegVersion = MPEG1;
  cfg.format.LHV1.bOriginal = 1;
  cfg.format.LHV1.bWriteVBRHeader = 1;
  cfg.format.LHV1.bEnableVBR = 0;
  cfg.format.LHV1.bNoRes = 1;
  cfg.format.LHV1.nQuality = 0;
  return cfg;
}

std::vector<std::int16_t> Sine(std::size_t samples, double amplitude = 12000.0) {
  std::vector<std::int16_t> pcm(samples);
  for (std::size_t i = 0; i < samples; ++i)
    pcm[i] = static_cast<std::int16_t>(amplitude * std::sin(2.0 * std::numbers::pi * kToneHz * i / kRate));
  return pcm;
}

std::vector<unsigned char> ReadAll(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

struct FileCloser {
  void operator()(std::FILE* f) const { std::fclose(f); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Offsets of the MPEG audio frames of a file without ID3v2 tag.
std::vector<std::size_t> FrameOffsets(const std::vector<unsigned char>& mp3) {
  static constexpr int kMpeg2Rates[] = {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160, 0};
  static constexpr int kMpeg2SampleRates[] = {22050, 24000, 16000, 0};
  std::vector<std::size_t> offsets;
  std::size_t pos = 0;
  while (pos + 4 <= mp3.size() && mp3[pos] == 0xFF && (mp3[pos + 1] & 0xF6) == 0xF2) {  // MPEG-2 layer III
    const int kbps = kMpeg2Rates[mp3[pos + 2] >> 4];
    const int rate = kMpeg2SampleRates[(mp3[pos + 2] >> 2) & 3];
    const int padding = (mp3[pos + 2] >> 1) & 1;
    if (kbps == 0 || rate == 0) break;
    offsets.push_back(pos);
    pos += static_cast<std::size_t>(72000 * kbps / rate + padding);
  }
  EXPECT_EQ(pos, mp3.size()) << "the file is not a clean run of MPEG-2 layer III frames";
  return offsets;
}

std::uint32_t BigEndian32(const unsigned char* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

int ZeroCrossingsUp(const std::int16_t* s, std::size_t n) {
  int count = 0;
  for (std::size_t i = 1; i < n; ++i)
    if (s[i - 1] < 0 && s[i] >= 0) ++count;
  return count;
}

class LameEncTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(m_lib.LoadFrom(LAME_ENC_PATH)) << m_lib.Error();
    ASSERT_TRUE(m_lib.HasRequiredEntryPoints());
    ASSERT_NE(m_lib.EntryPoints().beWriteInfoTag, nullptr);
  }

  const LameEntryPoints& be() const { return m_lib.EntryPoints(); }

  // Encodes pcm as the engine does: whole chunks while more than one chunk
  // waits, then finish, close, and tag the closed file. Returns the samples
  // that went into the encoder.
  std::size_t EncodeToFile(const std::string& path, const std::vector<std::int16_t>& pcm, bool tagByStream = true) {
    BE_CONFIG cfg = EngineConfig();
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    EXPECT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    EXPECT_GE(samples, 1u);
    std::vector<std::uint8_t> out(bufferSize);
    FilePtr file(std::fopen(path.c_str(), "wb+"));
    EXPECT_TRUE(file);
    std::size_t fed = 0;
    while (pcm.size() - fed > samples) {
      std::uint32_t produced = 0;
      EXPECT_EQ(be().beEncodeChunk(stream, samples, const_cast<std::int16_t*>(pcm.data() + fed), out.data(), &produced),
                BE_ERR_SUCCESSFUL);
      EXPECT_LE(produced, bufferSize);
      EXPECT_EQ(std::fwrite(out.data(), 1, produced, file.get()), produced);
      fed += samples;
    }
    std::uint32_t produced = 0;
    EXPECT_EQ(be().beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(std::fwrite(out.data(), 1, produced, file.get()), produced);
    EXPECT_EQ(be().beCloseStream(stream), BE_ERR_SUCCESSFUL);
    file.reset();
    if (tagByStream)
      EXPECT_EQ(be().beWriteInfoTag(stream, path.c_str()), BE_ERR_SUCCESSFUL);
    else
      EXPECT_EQ(be().beWriteVBRHeader(path.c_str()), BE_ERR_SUCCESSFUL);
    // The stream is gone after its tag.
    EXPECT_EQ(be().beCloseStream(stream), BE_ERR_INVALID_HANDLE);
    return fed;
  }

  CLameLibrary m_lib;
  CTempDir m_tmp;
  std::filesystem::path m_dir = m_tmp.Path();
};

TEST_F(LameEncTest, EngineSettingsReportMpeg2FrameAsChunkAndWorstCaseBuffer) {
  BE_CONFIG cfg = EngineConfig();
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = 0;
  ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
  EXPECT_NE(stream, 0u);
  // 22050 Hz is written as MPEG-2 layer III: 576 samples per frame.
  EXPECT_EQ(samples, 576u);
  EXPECT_EQ(bufferSize, 576u * 5 / 4 + 7200);
  // The largest output of one call fits the reported size even for full-scale noise.
  std::vector<std::int16_t> noise(samples);
  std::uint32_t state = 1;
  std::vector<std::uint8_t> out(bufferSize);
  for (int call = 0; call < 50; ++call) {
    for (auto& s : noise) s = static_cast<std::int16_t>((state = state * 1664525u + 1013904223u) >> 16);
    std::uint32_t produced = 0;
    ASSERT_EQ(be().beEncodeChunk(stream, samples, noise.data(), out.data(), &produced), BE_ERR_SUCCESSFUL);
    ASSERT_LE(produced, bufferSize);
  }
  EXPECT_EQ(be().beCloseStream(stream), BE_ERR_SUCCESSFUL);
}

TEST_F(LameEncTest, SineDecodesAsMono22050At64WithInfoTagAndMatchingLength) {
  const std::string path = (m_dir / "test.mp3").string();
  const auto pcm = Sine(3 * kRate + 1000);
  const std::size_t fed = EncodeToFile(path, pcm);
  EXPECT_LE(pcm.size() - fed, 576u);

  const Decoded d = Decode(path);
  EXPECT_EQ(d.rate, 22050);
  EXPECT_EQ(d.channels, 1);
  EXPECT_EQ(d.frame.version, MPG123_2_0);
  EXPECT_EQ(d.frame.layer, 3);
  EXPECT_EQ(d.frame.mode, MPG123_M_MONO);
  EXPECT_EQ(d.frame.bitrate, 64);
  EXPECT_EQ(d.frame.vbr, MPG123_CBR);
  EXPECT_TRUE(d.frame.flags & MPG123_ORIGINAL);
  EXPECT_FALSE(d.frame.flags & MPG123_CRC);
  EXPECT_FALSE(d.frame.flags & MPG123_COPYRIGHT);
  // Length of the PCM within one chunk.
  const auto decodedLength = static_cast<long>(d.samples.size());
  EXPECT_LE(std::labs(decodedLength - static_cast<long>(pcm.size())), 576) << decodedLength;
  // Still the tone: one upward zero crossing per period over the middle second.
  ASSERT_GT(d.samples.size(), 2u * kRate);
  const int crossings = ZeroCrossingsUp(d.samples.data() + kRate / 2, kRate);
  EXPECT_NEAR(crossings, kToneHz, 2);

  // The first frame is the Info tag; it counts the file's frames and bytes.
  const auto mp3 = ReadAll(path);
  const auto frames = FrameOffsets(mp3);
  ASSERT_GT(frames.size(), 100u);
  for (std::size_t offset : frames) {
    ASSERT_EQ(mp3[offset + 2] >> 4, 8) << "every frame at 64 kbit/s, at " << offset;
    ASSERT_EQ(mp3[offset + 3] >> 6, 3) << "every frame mono, at " << offset;
  }
  constexpr std::size_t kSideInfoMono = 9;  // MPEG-2, one channel
  const unsigned char* tag = mp3.data() + 4 + kSideInfoMono;
  ASSERT_EQ(std::memcmp(tag, "Info", 4), 0);
  const std::uint32_t flags = BigEndian32(tag + 4);
  ASSERT_EQ(flags & 3u, 3u);                           // frame and byte counts present
  EXPECT_EQ(BigEndian32(tag + 8), frames.size() - 1);  // the audio frames, not the tag's own
  EXPECT_EQ(BigEndian32(tag + 12), mp3.size());
  EXPECT_EQ(std::memcmp(tag + 120, "LAME", 4), 0);
}

TEST_F(LameEncTest, WithoutTheTagTheFirstFrameIsEmptyAndLegacyHeaderWriterFillsIt) {
  const auto pcm = Sine(kRate);
  // Without the tag writer the encoder's placeholder frame stays empty.
  const std::string untagged = (m_dir / "untagged.mp3").string();
  {
    BE_CONFIG cfg = EngineConfig();
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
    std::vector<std::uint8_t> out(bufferSize);
    std::vector<std::uint8_t> file;
    std::uint32_t produced = 0;
    ASSERT_EQ(be().beEncodeChunk(stream, samples, const_cast<std::int16_t*>(pcm.data()), out.data(), &produced),
              BE_ERR_SUCCESSFUL);
    file.insert(file.end(), out.begin(), out.begin() + produced);
    ASSERT_EQ(be().beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
    file.insert(file.end(), out.begin(), out.begin() + produced);
    ASSERT_GT(file.size(), 20u);
    EXPECT_NE(std::memcmp(file.data() + 13, "Info", 4), 0);
    EXPECT_EQ(be().beCloseStream(stream), BE_ERR_SUCCESSFUL);
    EXPECT_EQ(be().beCloseStream(stream), BE_ERR_SUCCESSFUL) << "closed but awaiting its tag";
    EXPECT_EQ(be().beWriteInfoTag(stream, (m_dir / "missing.mp3").c_str()), BE_ERR_INVALID_FORMAT_PARAMETERS);
    EXPECT_EQ(be().beWriteInfoTag(stream, untagged.c_str()), BE_ERR_INVALID_HANDLE) << "the stream ended";
  }
  // The handle-less writer tags the stream closed last.
  const std::string legacy = (m_dir / "legacy.mp3").string();
  EncodeToFile(legacy, pcm, /*tagByStream=*/false);
  const auto mp3 = ReadAll(legacy);
  ASSERT_GT(mp3.size(), 20u);
  EXPECT_EQ(std::memcmp(mp3.data() + 13, "Info", 4), 0);
  EXPECT_EQ(be().beWriteVBRHeader(legacy.c_str()), BE_ERR_INVALID_HANDLE) << "no stream left to tag";
}

TEST_F(LameEncTest, TagWriterLeavesAFileThatIsNoMp3Untouched) {
  BE_CONFIG cfg = EngineConfig();
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = 0;
  ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
  std::vector<std::uint8_t> out(bufferSize);
  std::uint32_t produced = 0;
  ASSERT_EQ(be().beDeinitStream(stream, out.data(), &produced), BE_ERR_SUCCESSFUL);
  const auto path = m_dir / "notes.txt";
  const std::string text = "not an mp3 file, keep me as I am\n";
  std::ofstream(path, std::ios::binary) << text;
  EXPECT_NE(be().beWriteInfoTag(stream, path.c_str()), BE_ERR_SUCCESSFUL);
  const auto after = ReadAll(path);
  EXPECT_EQ(std::string(after.begin(), after.end()), text);
}

TEST_F(LameEncTest, BadConfigurationsAreRefusedWithoutAStream) {
  struct Case {
    const char* what;
    void (*spoil)(BE_CONFIG&);
    BE_ERR expected;
  };
  const Case cases[] = {
      {"old MP3 record", [](BE_CONFIG& c) { c.dwConfig = BE_CONFIG_MP3; }, BE_ERR_INVALID_FORMAT},
      {"unknown record", [](BE_CONFIG& c) { c.dwConfig = 7; }, BE_ERR_INVALID_FORMAT},
      {"short record", [](BE_CONFIG& c) { c.format.LHV1.dwStructSize = 100; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"version 0", [](BE_CONFIG& c) { c.format.LHV1.dwStructVersion = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"no sample rate", [](BE_CONFIG& c) { c.format.LHV1.dwSampleRate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"odd output rate", [](BE_CONFIG& c) { c.format.LHV1.dwReSampleRate = 12345; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"unknown mode", [](BE_CONFIG& c) { c.format.LHV1.nMode = 9; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"negative mode", [](BE_CONFIG& c) { c.format.LHV1.nMode = -1; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"no bit rate", [](BE_CONFIG& c) { c.format.LHV1.dwBitrate = 0; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"65 kbit/s", [](BE_CONFIG& c) { c.format.LHV1.dwBitrate = 65; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
      {"320 kbit/s at 22050 Hz", [](BE_CONFIG& c) { c.format.LHV1.dwBitrate = 320; }, BE_ERR_INVALID_FORMAT_PARAMETERS},
  };
  for (const Case& c : cases) {
    BE_CONFIG cfg = EngineConfig();
    c.spoil(cfg);
    std::uint32_t samples = 0, bufferSize = 0;
    HBE_STREAM stream = 0;
    EXPECT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), c.expected) << c.what;
    EXPECT_EQ(stream, 0u) << c.what;
    EXPECT_EQ(samples, 0u) << c.what;
  }
  BE_CONFIG cfg = EngineConfig();
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = 0;
  EXPECT_EQ(be().beInitStream(nullptr, &samples, &bufferSize, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beInitStream(&cfg, nullptr, &bufferSize, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beInitStream(&cfg, &samples, nullptr, &stream), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);
}

TEST_F(LameEncTest, StreamsRefuseMisuse) {
  BE_CONFIG cfg = EngineConfig();
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM first = 0, second = 0;
  ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &first), BE_ERR_SUCCESSFUL);
  ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &second), BE_ERR_SUCCESSFUL);
  EXPECT_NE(first, second);
  std::vector<std::uint8_t> out(bufferSize);
  auto pcm = Sine(2 * samples);
  std::uint32_t produced = 0;
  EXPECT_EQ(be().beEncodeChunk(0, samples, pcm.data(), out.data(), &produced), BE_ERR_INVALID_HANDLE);
  EXPECT_EQ(be().beEncodeChunk(second + 1000, samples, pcm.data(), out.data(), &produced), BE_ERR_INVALID_HANDLE);
  // More than one chunk could overrun the caller's buffer.
  EXPECT_EQ(be().beEncodeChunk(first, samples + 1, pcm.data(), out.data(), &produced),
            BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beEncodeChunk(first, samples, nullptr, out.data(), &produced), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beEncodeChunk(first, samples, pcm.data(), nullptr, &produced), BE_ERR_INVALID_FORMAT_PARAMETERS);
  EXPECT_EQ(be().beEncodeChunk(first, samples / 2, pcm.data(), out.data(), &produced), BE_ERR_SUCCESSFUL)
      << "a shorter last chunk is fine";
  EXPECT_EQ(be().beDeinitStream(first, out.data(), &produced), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be().beEncodeChunk(first, samples, pcm.data(), out.data(), &produced), BE_ERR_INVALID_HANDLE)
      << "nothing more after the finish";
  EXPECT_EQ(be().beDeinitStream(first, out.data(), &produced), BE_ERR_INVALID_HANDLE);
  // Closing one stream leaves the other working.
  EXPECT_EQ(be().beCloseStream(first), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be().beEncodeChunk(second, samples, pcm.data(), out.data(), &produced), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be().beCloseStream(second), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be().beCloseStream(second), BE_ERR_INVALID_HANDLE) << "an unfinished stream is freed at once";
  EXPECT_EQ(be().beWriteInfoTag(first, nullptr), BE_ERR_INVALID_FORMAT_PARAMETERS);
}

TEST_F(LameEncTest, JointStereoChunkCountsBothChannels) {
  BE_CONFIG cfg = EngineConfig();
  cfg.format.LHV1.dwSampleRate = 44100;
  cfg.format.LHV1.nMode = BE_MP3_MODE_JSTEREO;
  cfg.format.LHV1.dwBitrate = 128;
  std::uint32_t samples = 0, bufferSize = 0;
  HBE_STREAM stream = 0;
  ASSERT_EQ(be().beInitStream(&cfg, &samples, &bufferSize, &stream), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(samples, 2u * 1152);  // MPEG-1 frame, two channels interleaved
  std::vector<std::int16_t> pcm(samples);
  std::vector<std::uint8_t> out(bufferSize);
  std::uint32_t produced = 0;
  EXPECT_EQ(be().beEncodeChunk(stream, samples - 1, pcm.data(), out.data(), &produced),
            BE_ERR_INVALID_FORMAT_PARAMETERS)
      << "half a sample pair";
  EXPECT_EQ(be().beEncodeChunk(stream, samples, pcm.data(), out.data(), &produced), BE_ERR_SUCCESSFUL);
  EXPECT_EQ(be().beCloseStream(stream), BE_ERR_SUCCESSFUL);
}

TEST_F(LameEncTest, VersionRecordDescribesLibraryAndEngine) {
  struct Guarded {
    BE_VERSION version;
    unsigned char guard[16];
  } rec;
  std::memset(&rec, 0, sizeof rec.version);
  std::memset(rec.guard, 0xA5, sizeof rec.guard);
  be().beVersion(&rec.version);
  for (unsigned char g : rec.guard) ASSERT_EQ(g, 0xA5) << "wrote past the 265-byte record";
  EXPECT_EQ(rec.version.byDLLMajorVersion, 1);
  EXPECT_EQ(rec.version.byDLLMinorVersion, 0);
  EXPECT_EQ(rec.version.byMajorVersion, 3);   // libmp3lame 3.x
  EXPECT_GE(rec.version.byMinorVersion, 99);  // Debian's is 3.100
  EXPECT_GE(rec.version.wYear, 2026);
  EXPECT_TRUE(rec.version.byMonth >= 1 && rec.version.byMonth <= 12);
  EXPECT_TRUE(rec.version.byDay >= 1 && rec.version.byDay <= 31);
  const std::string homepage(rec.version.zHomepage);
  EXPECT_LT(homepage.size(), sizeof rec.version.zHomepage);
  EXPECT_EQ(homepage.rfind("http", 0), 0u) << homepage;
}

}  // namespace
