// lame_enc: the seven be* entry points of the encoder library, on libmp3lame.
#include "audio/encoder/LameEnc.h"

#include <lame/lame.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <type_traits>
#include <vector>

#include "support/Handles.h"

static_assert(std::is_same_v<decltype(&beInitStream), BEINITSTREAM>);
static_assert(std::is_same_v<decltype(&beEncodeChunk), BEENCODECHUNK>);
static_assert(std::is_same_v<decltype(&beDeinitStream), BEDEINITSTREAM>);
static_assert(std::is_same_v<decltype(&beCloseStream), BECLOSESTREAM>);
static_assert(std::is_same_v<decltype(&beVersion), BEVERSION>);
static_assert(std::is_same_v<decltype(&beWriteVBRHeader), BEWRITEVBRHEADER>);
static_assert(std::is_same_v<decltype(&beWriteInfoTag), BEWRITEINFOTAG>);

namespace {

// This library's own version and release date, reported by beVersion.
constexpr std::uint8_t kDllMajorVersion = 1;
constexpr std::uint8_t kDllMinorVersion = 0;
constexpr std::uint8_t kReleaseDay = 9;
constexpr std::uint8_t kReleaseMonth = 12;
constexpr std::uint16_t kReleaseYear = 2026;

// nQuality carries the quality in its low byte and the complement of it in
// its high byte; any other value asks for the default quality.
constexpr int kDefaultQuality = 5;

// libmp3lame's worst case for one call: 1.25 bytes per sample plus 7200.
constexpr std::uint32_t kOutputSlack = 7200;

// Bit rates (kbit/s) a constant-rate stream may have, per MPEG version.
constexpr std::uint32_t kMpeg1Bitrates[] = {32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320};
constexpr std::uint32_t kMpeg2Bitrates[] = {8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160};

// Big enough for the tag frame of any rate; the frame is at most 1441 bytes.
constexpr std::size_t kTagFrameCapacity = 2048;

struct LameCloser {
  void operator()(lame_global_flags* gfp) const { lame_close(gfp); }
};
using LamePtr = std::unique_ptr<lame_global_flags, LameCloser>;

using support::CFilePtr;

// One encoder stream: the libmp3lame state and what beInitStream reported.
struct CLameStream {
  enum class State { Encoding, Failed, Flushed, AwaitingTag };

  LamePtr gfp;
  int channels = 1;
  std::uint32_t samplesPerChunk = 0;  // all channels together
  std::uint32_t outputBufferSize = 0;
  State state = State::Encoding;
};

// Streams by their 32-bit handle (the interface's handles are 32 bits wide,
// so pointers cannot be handed out on this platform).
class CStreamTable {
 public:
  HBE_STREAM Add(std::unique_ptr<CLameStream> stream) {
    std::lock_guard lock(m_mutex);
    for (std::uint32_t tries = 0; tries < 1000; ++tries) {
      HBE_STREAM handle = m_nextHandle++;
      if (handle != 0 && !m_streams.contains(handle)) {
        m_streams.emplace(handle, std::move(stream));
        return handle;
      }
    }
    return 0;
  }

  CLameStream* Find(HBE_STREAM handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    return it == m_streams.end() ? nullptr : it->second.get();
  }

  std::unique_ptr<CLameStream> Take(HBE_STREAM handle) {
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end()) return nullptr;
    auto stream = std::move(it->second);
    m_streams.erase(it);
    if (m_lastAwaitingTag == handle) m_lastAwaitingTag = 0;
    return stream;
  }

  // A finished stream whose tag is still to be written stays until the tag
  // writer takes it; anything else is freed at once.
  bool Close(HBE_STREAM handle) {
    std::unique_ptr<CLameStream> freed;
    std::lock_guard lock(m_mutex);
    auto it = m_streams.find(handle);
    if (it == m_streams.end()) return false;
    CLameStream& stream = *it->second;
    if ((stream.state == CLameStream::State::Flushed || stream.state == CLameStream::State::AwaitingTag) &&
        lame_get_bWriteVbrTag(stream.gfp.get())) {
      stream.state = CLameStream::State::AwaitingTag;
      m_lastAwaitingTag = handle;
    } else {
      freed = std::move(it->second);
      m_streams.erase(it);
    }
    return true;
  }

  // The stream the handle-less beWriteVBRHeader means: the last one closed.
  HBE_STREAM LastAwaitingTag() {
    std::lock_guard lock(m_mutex);
    return m_lastAwaitingTag;
  }

 private:
  std::mutex m_mutex;
  std::map<HBE_STREAM, std::unique_ptr<CLameStream>> m_streams;
  HBE_STREAM m_nextHandle = 1;
  HBE_STREAM m_lastAwaitingTag = 0;
};

CStreamTable& Streams() {
  static CStreamTable table;
  return table;
}

bool IsValidCbrBitrate(std::uint32_t kbps, int mpegVersion) {
  const auto& rates = mpegVersion == 1 ? kMpeg1Bitrates : kMpeg2Bitrates;
  for (std::uint32_t rate : rates)
    if (rate == kbps) return true;
  return false;
}

// The configuration record's values become the encoder's settings. The
// preset goes first so that the record's explicit values override it.
BE_ERR Configure(lame_global_flags* gfp, const BE_CONFIG_LHV1& c, int channels) {
  if (c.nPreset == LQP_R3MIX) lame_set_preset(gfp, R3MIX);

  lame_set_num_channels(gfp, channels);
  lame_set_in_samplerate(gfp, static_cast<int>(c.dwSampleRate));
  // 0 lets the encoder pick; the MPEG version then follows from the rate
  // (MPEG-2 for 22050 Hz, whatever dwMpegVersion says).
  lame_set_out_samplerate(gfp, static_cast<int>(c.dwReSampleRate));

  switch (c.nMode) {
    case BE_MP3_MODE_MONO:
      lame_set_mode(gfp, MONO);
      break;
    case BE_MP3_MODE_JSTEREO:
      lame_set_mode(gfp, JOINT_STEREO);
      break;
    default:  // libmp3lame has no dual-channel mode; plain stereo keeps the channels apart
      lame_set_mode(gfp, STEREO);
      break;
  }

  if (c.bEnableVBR) {
    if (c.nVbrMethod == VBR_METHOD_ABR || c.dwVbrAbr_bps > 0) {
      lame_set_VBR(gfp, vbr_abr);
      if (c.dwVbrAbr_bps > 0) lame_set_VBR_mean_bitrate_kbps(gfp, static_cast<int>(c.dwVbrAbr_bps / 1000));
    } else {
      lame_set_VBR(gfp, vbr_default);
      lame_set_VBR_q(gfp, c.nVBRQuality);
    }
    if (c.dwBitrate > 0) lame_set_VBR_min_bitrate_kbps(gfp, static_cast<int>(c.dwBitrate));
    if (c.dwMaxBitrate > 0) lame_set_VBR_max_bitrate_kbps(gfp, static_cast<int>(c.dwMaxBitrate));
  } else {
    lame_set_VBR(gfp, vbr_off);
    lame_set_brate(gfp, static_cast<int>(c.dwBitrate));
  }

  lame_set_emphasis(gfp, static_cast<int>(c.dwEmphasis));
  lame_set_extension(gfp, c.bPrivate ? 1 : 0);
  lame_set_error_protection(gfp, c.bCRC ? 1 : 0);
  lame_set_copyright(gfp, c.bCopyright ? 1 : 0);
  lame_set_original(gfp, c.bOriginal ? 1 : 0);
  lame_set_bWriteVbrTag(gfp, c.bWriteVBRHeader ? 1 : 0);
  lame_set_disable_reservoir(gfp, c.bNoRes ? 1 : 0);
  lame_set_strict_ISO(gfp, c.bStrictIso ? 1 : 0);

  const int low = c.nQuality & 0xFF;
  const int high = (c.nQuality >> 8) & 0xFF;
  lame_set_quality(gfp, high == (~low & 0xFF) ? low : kDefaultQuality);

  // The caller writes exactly the bytes it is given; no ID3 tags of ours.
  lame_set_write_id3tag_automatic(gfp, 0);

  if (lame_init_params(gfp) < 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  // libmp3lame would round a rate it cannot write to a near one; a stream at
  // another rate than asked for is refused instead.
  if (!c.bEnableVBR && !IsValidCbrBitrate(c.dwBitrate, lame_get_version(gfp))) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (c.dwReSampleRate != 0 && lame_get_out_samplerate(gfp) != static_cast<int>(c.dwReSampleRate))
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  return BE_ERR_SUCCESSFUL;
}

// The position of the first audio frame: after an ID3v2 tag if there is one.
long FirstFrameOffset(std::FILE* f) {
  unsigned char header[10] = {};
  if (std::fread(header, 1, sizeof header, f) != sizeof header) return 0;
  if (std::memcmp(header, "ID3", 3) != 0) return 0;
  long size = ((header[6] & 0x7F) << 21) | ((header[7] & 0x7F) << 14) | ((header[8] & 0x7F) << 7) | (header[9] & 0x7F);
  const bool hasFooter = (header[5] & 0x10) != 0;
  return 10 + size + (hasFooter ? 10 : 0);
}

// Replaces the empty frame the encoder put first in the file by the final
// Xing/Info tag frame. Writes nothing unless an MPEG frame starts there.
BE_ERR WriteTagFrame(lame_global_flags* gfp, const char* fileName) {
  if (!fileName) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  std::vector<unsigned char> frame(kTagFrameCapacity);
  std::size_t size = lame_get_lametag_frame(gfp, frame.data(), frame.size());
  if (size > frame.size()) {
    frame.resize(size);
    size = lame_get_lametag_frame(gfp, frame.data(), frame.size());
  }
  if (size == 0 || size > frame.size()) return BE_ERR_INVALID_FORMAT_PARAMETERS;

  CFilePtr file(std::fopen(fileName, "r+b"));
  if (!file) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  const long offset = FirstFrameOffset(file.get());
  unsigned char sync[2] = {};
  if (std::fseek(file.get(), offset, SEEK_SET) != 0 || std::fread(sync, 1, 2, file.get()) != 2 || sync[0] != 0xFF ||
      (sync[1] & 0xE0) != 0xE0)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (std::fseek(file.get(), offset, SEEK_SET) != 0 || std::fwrite(frame.data(), 1, size, file.get()) != size)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (std::fclose(file.release()) != 0) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  return BE_ERR_SUCCESSFUL;
}

BE_ERR FromLameResult(int result) { return result == -1 ? BE_ERR_BUFFER_TOO_SMALL : BE_ERR_INVALID_FORMAT_PARAMETERS; }

}  // namespace

extern "C" {

BE_ERR beInitStream(BE_CONFIG* pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                    HBE_STREAM* phbeStream) {
  if (!pbeConfig || !dwSamples || !dwBufferSize || !phbeStream) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (pbeConfig->dwConfig != BE_CONFIG_LAME) return BE_ERR_INVALID_FORMAT;
  const BE_CONFIG_LHV1& c = pbeConfig->format.LHV1;
  if (c.dwStructVersion < 1 || c.dwStructSize < sizeof(BE_CONFIG)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  if (c.nMode < BE_MP3_MODE_STEREO || c.nMode > BE_MP3_MODE_MONO || c.dwSampleRate == 0)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;

  auto stream = std::make_unique<CLameStream>();
  stream->gfp.reset(lame_init());
  if (!stream->gfp) return BE_ERR_NO_MORE_HANDLES;
  stream->channels = c.nMode == BE_MP3_MODE_MONO ? 1 : 2;
  if (BE_ERR err = Configure(stream->gfp.get(), c, stream->channels); err != BE_ERR_SUCCESSFUL) return err;

  const auto perChannel = static_cast<std::uint32_t>(lame_get_framesize(stream->gfp.get()));
  stream->samplesPerChunk = perChannel * static_cast<std::uint32_t>(stream->channels);
  stream->outputBufferSize = perChannel + perChannel / 4 + kOutputSlack;
  const std::uint32_t samples = stream->samplesPerChunk;
  const std::uint32_t bufferSize = stream->outputBufferSize;

  HBE_STREAM handle = Streams().Add(std::move(stream));
  if (handle == 0) return BE_ERR_NO_MORE_HANDLES;
  *dwSamples = samples;
  *dwBufferSize = bufferSize;
  *phbeStream = handle;
  return BE_ERR_SUCCESSFUL;
}

BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, std::int16_t* pSamples, std::uint8_t* pOutput,
                     std::uint32_t* pdwOutput) {
  CLameStream* stream = Streams().Find(hbeStream);
  if (!stream || stream->state != CLameStream::State::Encoding) return BE_ERR_INVALID_HANDLE;
  if (!pdwOutput || !pOutput || (nSamples > 0 && !pSamples)) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  // The output buffer is only known to hold one chunk's worth.
  if (nSamples > stream->samplesPerChunk || nSamples % static_cast<std::uint32_t>(stream->channels) != 0)
    return BE_ERR_INVALID_FORMAT_PARAMETERS;

  const int frames = static_cast<int>(nSamples) / stream->channels;
  const int size = static_cast<int>(stream->outputBufferSize);
  int result = stream->channels == 1
                   ? lame_encode_buffer(stream->gfp.get(), pSamples, nullptr, frames, pOutput, size)
                   : lame_encode_buffer_interleaved(stream->gfp.get(), pSamples, frames, pOutput, size);
  if (result < 0) {
    stream->state = CLameStream::State::Failed;
    return FromLameResult(result);
  }
  *pdwOutput = static_cast<std::uint32_t>(result);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput) {
  CLameStream* stream = Streams().Find(hbeStream);
  if (!stream || stream->state != CLameStream::State::Encoding) return BE_ERR_INVALID_HANDLE;
  if (!pOutput || !pdwOutput) return BE_ERR_INVALID_FORMAT_PARAMETERS;
  int result = lame_encode_flush(stream->gfp.get(), pOutput, static_cast<int>(stream->outputBufferSize));
  if (result < 0) {
    stream->state = CLameStream::State::Failed;
    return FromLameResult(result);
  }
  stream->state = CLameStream::State::Flushed;
  *pdwOutput = static_cast<std::uint32_t>(result);
  return BE_ERR_SUCCESSFUL;
}

BE_ERR beCloseStream(HBE_STREAM hbeStream) {
  return Streams().Close(hbeStream) ? BE_ERR_SUCCESSFUL : BE_ERR_INVALID_HANDLE;
}

void beVersion(BE_VERSION* pbeVersion) {
  if (!pbeVersion) return;
  lame_version_t lame{};
  get_lame_version_numerical(&lame);
  std::memset(pbeVersion, 0, sizeof *pbeVersion);
  pbeVersion->byDLLMajorVersion = kDllMajorVersion;
  pbeVersion->byDLLMinorVersion = kDllMinorVersion;
  pbeVersion->byMajorVersion = static_cast<std::uint8_t>(lame.major);
  pbeVersion->byMinorVersion = static_cast<std::uint8_t>(lame.minor);
  pbeVersion->byDay = kReleaseDay;
  pbeVersion->byMonth = kReleaseMonth;
  pbeVersion->wYear = kReleaseYear;
  std::snprintf(pbeVersion->zHomepage, sizeof pbeVersion->zHomepage, "%s", get_lame_url());
  pbeVersion->byAlphaLevel = static_cast<std::uint8_t>(lame.alpha);
  pbeVersion->byBetaLevel = static_cast<std::uint8_t>(lame.beta);
  pbeVersion->byMMXEnabled = lame.features && std::strstr(lame.features, "MMX") ? 1 : 0;
}

BE_ERR beWriteInfoTag(HBE_STREAM hbeStream, const char* lpszFileName) {
  // The stream ends here whether or not the tag could be written.
  std::unique_ptr<CLameStream> stream = Streams().Take(hbeStream);
  if (!stream) return BE_ERR_INVALID_HANDLE;
  if (stream->state != CLameStream::State::Flushed && stream->state != CLameStream::State::AwaitingTag)
    return BE_ERR_INVALID_HANDLE;
  return WriteTagFrame(stream->gfp.get(), lpszFileName);
}

BE_ERR beWriteVBRHeader(const char* lpszFileName) {
  HBE_STREAM last = Streams().LastAwaitingTag();
  if (last == 0) return BE_ERR_INVALID_HANDLE;
  return beWriteInfoTag(last, lpszFileName);
}

}  // extern "C"
