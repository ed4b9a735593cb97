// The engine's MP3 targets, recorded on the simulated device through the
// message loop: with the real encoder library (output checked by libmpg123)
// and with stand-in libraries that log every call.
#include <dirent.h>
#include <limits.h>
#include <mpg123.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <numbers>
#include <sstream>

#include "audio/AudioPlayRec.h"
#include "audio/AudioTestSupport.h"
#include "audio/Mp3Decode.h"
#include "audio/sim/SimWaveDevice.h"

using namespace audio;
using namespace audiotest;
using namespace std::chrono_literals;

namespace {

constexpr std::size_t kBuf = 4096;
constexpr std::size_t kWavHeader = 46;
constexpr int kRate = 22050;

Bytes Sine(std::size_t samples, double hz, double amplitude) {
  Bytes b;
  b.reserve(2 * samples);
  for (std::size_t i = 0; i < samples; ++i) {
    auto v =
        static_cast<std::int16_t>(amplitude * std::sin(2 * std::numbers::pi * hz * static_cast<double>(i) / kRate));
    b.push_back(static_cast<std::uint8_t>(v & 0xFF));
    b.push_back(static_cast<std::uint8_t>((static_cast<std::uint16_t>(v) >> 8) & 0xFF));
  }
  return b;
}

// Whether this process holds the file open.
bool IsOpenHere(const std::string& name) {
  std::error_code ec;
  const auto target = std::filesystem::canonical(name, ec);
  if (ec) return false;
  for (const auto& fd : std::filesystem::directory_iterator("/proc/self/fd")) {
    const auto link = std::filesystem::read_symlink(fd.path(), ec);
    if (!ec && link == target) return true;
  }
  return false;
}

class EngineMp3Test : public ::testing::Test {
 protected:
  void SetUp() override {
    loop.RunUntilIdle();
    ASSERT_TRUE(engine.Initialize(0, 0, nullptr));
  }

  // A one-channel recording into "test.wav" and "test.mp3".
  void Start(bool wantMp3 = true) {
    ASSERT_TRUE(engine.StartRecording(0));
    ASSERT_TRUE(engine.OpenOutputFile(0, "test.wav"));
    if (wantMp3) mp3Opened = engine.OpenOutputFile(0, "test.mp3");
  }
  // The device captures these bytes, whole buffers only; the engine handles each.
  void Capture(const Bytes& bytes) {
    sim.SupplyInput(bytes);
    while (sim.DeliverInput(1) == 1) loop.RunUntilIdle();
  }
  // Stops and lets the stop timer close the device.
  void StopAndClose() {
    engine.Stop();
    loop.AdvanceTime(1000ms);
    ASSERT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);
  }
  // A whole recording of the bytes.
  void Record(const Bytes& bytes, bool wantMp3 = true) {
    Start(wantMp3);
    Capture(bytes);
    StopAndClose();
  }

  CScratchDir dir;
  CBoxRecorder boxes;
  platform::CMessageLoop& loop = platform::CMessageLoop::Get();
  CSimWaveDevices sim;
  CAudioPlayRec engine{sim};
  bool mp3Opened = false;
};

// ---- The real library -------------------------------------------------------

double Rms(const std::int16_t* samples, std::size_t n) {
  double sum = 0;
  for (std::size_t i = 0; i < n; ++i) sum += static_cast<double>(samples[i]) * samples[i];
  return std::sqrt(sum / static_cast<double>(n));
}

class EngineMp3RealLibraryTest : public EngineMp3Test {
 protected:
  void SetUp() override {
    EngineMp3Test::SetUp();
    engine.SetEncoderLibraryPath(LAME_ENC_PATH);
  }
};

TEST_F(EngineMp3RealLibraryTest, ASineToneBecomesAOneChannel64kbitMp3WithInfoTagAndTheWavStaysAsItWas) {
  // 3 s of a 440 Hz tone, in whole captured buffers.
  const std::size_t buffers = (3 * kRate * 2 + kBuf - 1) / kBuf;
  const Bytes tone = Sine(buffers * kBuf / 2, 440.0, 8000.0);

  Record(tone, false);
  const Bytes wavOnly = ReadAll("test.wav");
  WriteAll("test.mp3", Pattern(50000));  // an older file is replaced, not appended to
  Record(tone);
  ASSERT_TRUE(mp3Opened);
  EXPECT_TRUE(boxes.Texts().empty());
  const Bytes wav = ReadAll("test.wav");
  EXPECT_EQ(wav, wavOnly);
  ASSERT_EQ(wav.size(), kWavHeader + tone.size());
  EXPECT_EQ(Slice(wav, kWavHeader, tone.size()), tone);

  const Decoded d = Decode("test.mp3");
  EXPECT_EQ(d.rate, kRate);
  EXPECT_EQ(d.channels, 1);
  EXPECT_EQ(d.frame.mode, MPG123_M_MONO);
  EXPECT_EQ(d.frame.bitrate, 64);
  EXPECT_EQ(d.frame.vbr, MPG123_CBR);
  // The PCM left waiting at the end (at most one chunk of 576 samples at
  // 22050 Hz) is not encoded.
  const long wavSamples = static_cast<long>(tone.size() / 2);
  const long mp3Samples = static_cast<long>(d.samples.size());
  EXPECT_GE(wavSamples - mp3Samples, 0);
  EXPECT_LE(wavSamples - mp3Samples, 576);
  // Still the tone, at its loudness.
  ASSERT_GT(d.samples.size(), static_cast<std::size_t>(2 * kRate));
  EXPECT_NEAR(Rms(d.samples.data() + kRate / 2, kRate), 8000.0 / std::numbers::sqrt2, 600.0);

  // The Info tag heads the file and counts its final length.
  const Bytes mp3 = ReadAll("test.mp3");
  constexpr std::size_t kTagAt = 4 + 9;  // MPEG-2 one-channel side info
  ASSERT_GT(mp3.size(), kTagAt + 16);
  EXPECT_EQ(Tag(mp3, kTagAt), "Info");
  const std::uint32_t tagBytes = static_cast<std::uint32_t>(mp3[kTagAt + 12]) << 24 | mp3[kTagAt + 13] << 16 |
                                 mp3[kTagAt + 14] << 8 | mp3[kTagAt + 15];
  EXPECT_EQ(tagBytes, mp3.size());
}

// ---- Stand-in libraries -------------------------------------------------------

constexpr std::size_t kChunk = 2304;  // the stand-in's 1152 samples
constexpr const char* kTail = "TAIL";

class EngineMp3StubTest : public EngineMp3Test {
 protected:
  void SetUp() override {
    m_log = (std::filesystem::path(dir.Path()) / "stub.log").string();
    ::setenv("TESSEL_LAME_STUB_LOG", m_log.c_str(), 1);
    EngineMp3Test::SetUp();
    engine.SetEncoderLibraryPath(STUB_LAME_ENC);
  }
  void TearDown() override {
    for (const char* name : {"TESSEL_LAME_STUB_LOG", "TESSEL_LAME_STUB_FAIL_INIT", "TESSEL_LAME_STUB_FAIL_ENCODE",
                             "TESSEL_LAME_STUB_FAIL_DEINIT"})
      ::unsetenv(name);
  }

  std::vector<std::string> Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(m_log);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
  }
  // The calls alone, without their arguments.
  std::vector<std::string> Calls() const {
    std::vector<std::string> calls;
    for (const auto& line : Lines()) calls.push_back(line.substr(0, line.find(' ')));
    return calls;
  }
  int Count(const std::string& call) const {
    auto calls = Calls();
    return static_cast<int>(std::count(calls.begin(), calls.end(), call));
  }

  std::string m_log;
};

std::vector<std::string> Repeat(std::vector<std::string> head, const std::string& call, int n,
                                const std::vector<std::string>& tail) {
  head.insert(head.end(), n, call);
  head.insert(head.end(), tail.begin(), tail.end());
  return head;
}

// The configuration record the engine must pass, built from its byte offsets.
std::string ExpectedConfigHex() {
  Bytes record(331, 0);
  auto put32 = [&record](std::size_t at, std::uint32_t v) {
    for (int i = 0; i < 4; ++i) record[at + i] = static_cast<std::uint8_t>(v >> (8 * i));
  };
  put32(0, 256);     // BE_CONFIG_LAME
  put32(4, 1);       // structure version
  put32(8, 331);     // structure size
  put32(12, 22050);  // sample rate
  put32(20, 3);      // mono
  put32(24, 64);     // kbit/s
  put32(32, 4);      // LQP_R3MIX
  put32(36, 1);      // MPEG1
  put32(60, 1);      // original
  put32(64, 1);      // VBR header
  put32(84, 1);      // no bit reservoir
  std::string hex;
  char two[3];
  for (std::uint8_t b : record) {
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  return hex;
}

TEST_F(EngineMp3StubTest, ChunksAreEncodedOnlyWhileMoreThanOneChunkWaitsAndTheTaggedFileIsClosed) {
  const Bytes heard = Pattern(9 * kBuf, 7);
  Start();
  ASSERT_TRUE(mp3Opened);
  EXPECT_EQ(Lines(), (std::vector<std::string>{"load", "beVersion zeroed", "beInitStream " + ExpectedConfigHex()}));

  // Waiting after each buffer: 1792, 1280, 768, 256, 2048, 1536, 1024, 512
  // and, strictly greater only, a whole chunk of 2304 at the end.
  const int expectedChunks[] = {1, 3, 5, 7, 8, 10, 12, 14, 15};
  for (int i = 0; i < 9; ++i) {
    Capture(Slice(heard, i * kBuf, kBuf));
    EXPECT_EQ(Count("beEncodeChunk"), expectedChunks[i]) << "after buffer " << i + 1;
  }
  for (const auto& line : Lines()) {
    if (line.starts_with("beEncodeChunk")) {
      EXPECT_EQ(line, "beEncodeChunk 41 1152");
    }
  }
  StopAndClose();

  // The encoded bytes in order, then what the finish added; the waiting chunk is not encoded.
  Bytes expected = Slice(heard, 0, 15 * kChunk);
  expected.insert(expected.end(), kTail, kTail + 4);
  EXPECT_EQ(ReadAll("test.mp3"), expected);
  EXPECT_EQ(Calls(), Repeat({"load", "beVersion", "beInitStream"}, "beEncodeChunk", 15,
                            {"beDeinitStream", "beCloseStream", "beWriteInfoTag", "unload"}));
  const auto lines = Lines();
  EXPECT_EQ(lines[lines.size() - 2], "beWriteInfoTag 41 test.mp3 closed " + std::to_string(expected.size()));
  EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, heard.size()), heard);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineMp3StubTest, WithoutTheInfoTagWriterTheVbrHeaderWriterGetsTheNameOfTheClosedFile) {
  engine.SetEncoderLibraryPath(STUB_LAME_ENC_NO_INFOTAG);
  Record(Pattern(2 * kBuf));
  const auto lines = Lines();
  ASSERT_GE(lines.size(), 3u);
  EXPECT_EQ(lines[lines.size() - 3], "beCloseStream 41");
  EXPECT_EQ(lines[lines.size() - 2], "beWriteVBRHeader test.mp3 closed " + std::to_string(3 * kChunk + 4));
  EXPECT_EQ(lines.back(), "unload");
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineMp3StubTest, AMissingRequiredEntryPointIsReportedTheLibraryFreedAndTheWavRecorded) {
  engine.SetEncoderLibraryPath(STUB_LAME_ENC_NO_CLOSE);
  const Bytes heard = Pattern(2 * kBuf);
  Record(heard);
  EXPECT_FALSE(mp3Opened);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Unable to get LAME interfaces"});
  EXPECT_EQ(Lines(), (std::vector<std::string>{"load", "unload"}));
  EXPECT_FALSE(std::filesystem::exists("test.mp3"));
  EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, heard.size()), heard);
}

TEST_F(EngineMp3StubTest, AMissingLibraryIsReportedAtEveryStartAndTheWavIsStillWritten) {
  engine.SetEncoderLibraryPath((std::filesystem::path(dir.Path()) / "nowhere" / "lame_enc.so").string());
  for (int take = 1; take <= 2; ++take) {
    const Bytes heard = Pattern(kBuf, take);
    Record(heard);
    EXPECT_FALSE(mp3Opened);
    EXPECT_EQ(boxes.Texts(), std::vector<std::string>(take, "Error loading lame_enc.DLL"));
    EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, kBuf), heard);
  }
  EXPECT_FALSE(std::filesystem::exists("test.mp3"));
}

TEST_F(EngineMp3StubTest, EachRecordingLoadsUsesAndFreesTheLibraryAndStartsFromNothing) {
  const Bytes first = Pattern(2 * kBuf, 1);
  const Bytes second = Pattern(kBuf, 2);
  Record(first);
  ASSERT_FALSE(Calls().empty());
  EXPECT_EQ(Calls().back(), "unload");
  Record(second);

  const std::vector<std::string> finish = {"beDeinitStream", "beCloseStream", "beWriteInfoTag", "unload"};
  std::vector<std::string> both = Repeat({"load", "beVersion", "beInitStream"}, "beEncodeChunk", 3, finish);
  both = Repeat(both, "load", 1, {"beVersion", "beInitStream", "beEncodeChunk"});
  both.insert(both.end(), finish.begin(), finish.end());
  EXPECT_EQ(Calls(), both);
  // The library was really gone: its stream numbers start again.
  EXPECT_EQ(Lines()[Lines().size() - 2], "beWriteInfoTag 41 test.mp3 closed " + std::to_string(kChunk + 4));
  // Nothing left waiting from the first recording reaches the second file.
  Bytes expected = Slice(second, 0, kChunk);
  expected.insert(expected.end(), kTail, kTail + 4);
  EXPECT_EQ(ReadAll("test.mp3"), expected);
  EXPECT_TRUE(boxes.Texts().empty());
}

TEST_F(EngineMp3StubTest, AFailedEncodeClosesTheStreamAndThePartialFileAtOnceAndTheWavGoesOn) {
  ::setenv("TESSEL_LAME_STUB_FAIL_ENCODE", "2", 1);
  const Bytes heard = Pattern(4 * kBuf);
  Start();
  Capture(Slice(heard, 0, kBuf));
  EXPECT_TRUE(IsOpenHere("test.mp3"));
  Capture(Slice(heard, kBuf, kBuf));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"m_ForMp3_Proc_hEncodeChunk() failed (5)"});
  EXPECT_FALSE(IsOpenHere("test.mp3"));
  EXPECT_EQ(ReadAll("test.mp3"), Slice(heard, 0, kChunk));

  Capture(Slice(heard, 2 * kBuf, 2 * kBuf));  // nothing more goes to that stream
  StopAndClose();
  EXPECT_EQ(Calls(), (std::vector<std::string>{"load", "beVersion", "beInitStream", "beEncodeChunk", "beEncodeChunk",
                                               "beCloseStream", "unload"}));
  EXPECT_EQ(ReadAll("test.mp3"), Slice(heard, 0, kChunk));
  EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, heard.size()), heard);
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(EngineMp3StubTest, AFailedFinishClosesTheStreamAndLetsGoOfTheFileForTheNextRecording) {
  ::setenv("TESSEL_LAME_STUB_FAIL_DEINIT", "3", 1);
  Record(Pattern(kBuf, 1));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"beExitStream failed (3)"});
  EXPECT_EQ(Calls(), (std::vector<std::string>{"load", "beVersion", "beInitStream", "beEncodeChunk", "beDeinitStream",
                                               "beCloseStream", "unload"}));
  EXPECT_FALSE(IsOpenHere("test.mp3"));

  ::unsetenv("TESSEL_LAME_STUB_FAIL_DEINIT");
  const Bytes second = Pattern(kBuf, 2);
  Record(second);
  Bytes expected = Slice(second, 0, kChunk);
  expected.insert(expected.end(), kTail, kTail + 4);
  EXPECT_EQ(ReadAll("test.mp3"), expected);
  EXPECT_EQ(boxes.Texts().size(), 1u);
}

TEST_F(EngineMp3StubTest, AStreamThatCannotOpenLeavesNoMp3TargetAndTheWavGoesOn) {
  ::setenv("TESSEL_LAME_STUB_FAIL_INIT", "2", 1);
  const Bytes heard = Pattern(2 * kBuf);
  Record(heard);
  EXPECT_FALSE(mp3Opened);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Error opening encoding stream (2)"});
  EXPECT_EQ(Calls(), (std::vector<std::string>{"load", "beVersion", "beInitStream", "unload"}));
  EXPECT_FALSE(std::filesystem::exists("test.mp3"));
  EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, heard.size()), heard);
}

TEST_F(EngineMp3StubTest, AFileThatCannotBeCreatedLeavesNoMp3TargetAndGivesTheStreamBack) {
  std::filesystem::create_directories("test.mp3/inside");  // cannot be deleted nor opened as a file
  const Bytes heard = Pattern(2 * kBuf);
  Record(heard);
  EXPECT_FALSE(mp3Opened);
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Error creating file test.mp3"});
  EXPECT_EQ(Calls(), (std::vector<std::string>{"load", "beVersion", "beInitStream", "beCloseStream", "unload"}));
  EXPECT_EQ(Slice(ReadAll("test.wav"), kWavHeader, heard.size()), heard);
}

TEST_F(EngineMp3StubTest, BytesLostWhenTheFileClosesAreReportedAndTheFileGetsNoTag) {
  // Small enough that the buffered bytes can only fail to reach the disk at
  // the close; an MP3 target alone, since a WAV target would hit the limit first.
  const rlim_t limit = 1000;
  rlimit old{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  rlimit small{limit, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);

  ASSERT_TRUE(engine.StartRecording(0));
  EXPECT_TRUE(engine.OpenOutputFile(0, "test.mp3"));
  Capture(Pattern(kBuf));
  StopAndClose();

  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);

  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Output file write error"});
  EXPECT_EQ(Count("beWriteInfoTag"), 0);
  ASSERT_FALSE(Calls().empty());
  EXPECT_EQ(Calls().back(), "unload");
  EXPECT_FALSE(IsOpenHere("test.mp3"));
}

TEST_F(EngineMp3StubTest, AStartWhileStoppingLeavesTheStoppingRecordingsMp3ToBeFinished) {
  const Bytes heard = Pattern(kBuf);
  Start();
  Capture(heard);
  engine.Stop();
  EXPECT_FALSE(engine.StartRecording(0));
  EXPECT_EQ(boxes.Texts(), std::vector<std::string>{"Class status error"});
  loop.AdvanceTime(1000ms);
  ASSERT_EQ(engine.GetState(), CAudioPlayRec::kStateReady);

  Bytes expected = Slice(heard, 0, kChunk);
  expected.insert(expected.end(), kTail, kTail + 4);
  EXPECT_EQ(ReadAll("test.mp3"), expected);
  EXPECT_EQ(Count("beWriteInfoTag"), 1);
}

}  // namespace
