#pragma once
// The encoder library's published C interface: the BE_CONFIG and BE_VERSION
// records in their byte-packed layout, the result codes, and the seven entry
// points of lame_enc. Shared by the library, its loader and the engine.
#include <cstddef>
#include <cstdint>

// The library's file, looked for next to the executable first.
inline constexpr const char kLameLibraryFileName[] = "lame_enc.so";

using BE_ERR = std::uint32_t;
// A 32-bit stream id handed out by beInitStream; 0 is never a valid stream.
using HBE_STREAM = std::uint32_t;

inline constexpr BE_ERR BE_ERR_SUCCESSFUL = 0x00000000;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT = 0x00000001;
inline constexpr BE_ERR BE_ERR_INVALID_FORMAT_PARAMETERS = 0x00000002;
inline constexpr BE_ERR BE_ERR_NO_MORE_HANDLES = 0x00000003;
inline constexpr BE_ERR BE_ERR_INVALID_HANDLE = 0x00000004;
inline constexpr BE_ERR BE_ERR_BUFFER_TOO_SMALL = 0x00000005;

inline constexpr std::uint32_t BE_CONFIG_MP3 = 0;
inline constexpr std::uint32_t BE_CONFIG_LAME = 256;

inline constexpr std::int32_t BE_MP3_MODE_STEREO = 0;
inline constexpr std::int32_t BE_MP3_MODE_JSTEREO = 1;
inline constexpr std::int32_t BE_MP3_MODE_DUALCHANNEL = 2;
inline constexpr std::int32_t BE_MP3_MODE_MONO = 3;

inline constexpr std::uint32_t MPEG1 = 1;
inline constexpr std::uint32_t MPEG2 = 0;

// Quality presets of the LAME layout (nPreset).
inline constexpr std::int32_t LQP_NOPRESET = -1;
inline constexpr std::int32_t LQP_NORMAL_QUALITY = 0;
inline constexpr std::int32_t LQP_R3MIX = 4;

// VBR methods of the LAME layout (nVbrMethod).
inline constexpr std::int32_t VBR_METHOD_NONE = -1;
inline constexpr std::int32_t VBR_METHOD_DEFAULT = 0;
inline constexpr std::int32_t VBR_METHOD_ABR = 4;

inline constexpr std::uint32_t BE_MAX_HOMEPAGE = 128;

#pragma pack(push, 1)

// The LAME layout, version 1 ("LHV1"), of the configuration record.
struct BE_CONFIG_LHV1 {
  std::uint32_t dwStructVersion;  // 1
  std::uint32_t dwStructSize;     // sizeof(BE_CONFIG)
  std::uint32_t dwSampleRate;     // of the input PCM
  std::uint32_t dwReSampleRate;   // 0: the encoder decides
  std::int32_t nMode;             // BE_MP3_MODE_*
  std::uint32_t dwBitrate;        // CBR rate, VBR minimum (kbit/s)
  std::uint32_t dwMaxBitrate;     // VBR maximum (kbit/s)
  std::int32_t nPreset;           // LQP_*
  std::uint32_t dwMpegVersion;    // MPEG1 or MPEG2
  std::uint32_t dwPsyModel;
  std::uint32_t dwEmphasis;
  std::int32_t bPrivate;
  std::int32_t bCRC;
  std::int32_t bCopyright;
  std::int32_t bOriginal;
  std::int32_t bWriteVBRHeader;  // Xing/Info tag frame at the file's start
  std::int32_t bEnableVBR;
  std::int32_t nVBRQuality;    // 0..9
  std::uint32_t dwVbrAbr_bps;  // ABR target when non-zero
  std::int32_t nVbrMethod;     // VBR_METHOD_*
  std::int32_t bNoRes;         // no bit reservoir
  std::int32_t bStrictIso;
  std::uint16_t nQuality;  // low byte = quality, high byte = its complement; otherwise the default
  std::uint8_t btReserved[255 - 4 * sizeof(std::uint32_t) - sizeof(std::uint16_t)];
};

// The configuration record: 331 bytes. The LAME layout is the only one
// this library takes.
struct BE_CONFIG {
  std::uint32_t dwConfig;  // BE_CONFIG_LAME
  union {
    BE_CONFIG_LHV1 LHV1;
  } format;
};

// The version record: 265 bytes.
struct BE_VERSION {
  std::uint8_t byDLLMajorVersion;
  std::uint8_t byDLLMinorVersion;
  std::uint8_t byMajorVersion;  // of the encoder engine
  std::uint8_t byMinorVersion;
  std::uint8_t byDay;  // release date of the library
  std::uint8_t byMonth;
  std::uint16_t wYear;
  char zHomepage[BE_MAX_HOMEPAGE + 1];
  std::uint8_t byAlphaLevel;
  std::uint8_t byBetaLevel;
  std::uint8_t byMMXEnabled;
  std::uint8_t btReserved[125];
};

#pragma pack(pop)

static_assert(sizeof(BE_CONFIG) == 331);
static_assert(offsetof(BE_CONFIG, dwConfig) == 0);
static_assert(offsetof(BE_CONFIG, format) == 4);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwStructVersion) == 4);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwStructSize) == 8);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwSampleRate) == 12);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwReSampleRate) == 16);
static_assert(offsetof(BE_CONFIG, format.LHV1.nMode) == 20);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwBitrate) == 24);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwMaxBitrate) == 28);
static_assert(offsetof(BE_CONFIG, format.LHV1.nPreset) == 32);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwMpegVersion) == 36);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwPsyModel) == 40);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwEmphasis) == 44);
static_assert(offsetof(BE_CONFIG, format.LHV1.bPrivate) == 48);
static_assert(offsetof(BE_CONFIG, format.LHV1.bCRC) == 52);
static_assert(offsetof(BE_CONFIG, format.LHV1.bCopyright) == 56);
static_assert(offsetof(BE_CONFIG, format.LHV1.bOriginal) == 60);
static_assert(offsetof(BE_CONFIG, format.LHV1.bWriteVBRHeader) == 64);
static_assert(offsetof(BE_CONFIG, format.LHV1.bEnableVBR) == 68);
static_assert(offsetof(BE_CONFIG, format.LHV1.nVBRQuality) == 72);
static_assert(offsetof(BE_CONFIG, format.LHV1.dwVbrAbr_bps) == 76);
static_assert(offsetof(BE_CONFIG, format.LHV1.nVbrMethod) == 80);
static_assert(offsetof(BE_CONFIG, format.LHV1.bNoRes) == 84);
static_assert(offsetof(BE_CONFIG, format.LHV1.bStrictIso) == 88);
static_assert(offsetof(BE_CONFIG, format.LHV1.nQuality) == 92);
static_assert(offsetof(BE_CONFIG, format.LHV1.btReserved) == 94);
static_assert(sizeof(BE_CONFIG_LHV1::btReserved) == 237);

static_assert(sizeof(BE_VERSION) == 265);
static_assert(offsetof(BE_VERSION, wYear) == 6);
static_assert(offsetof(BE_VERSION, zHomepage) == 8);
static_assert(offsetof(BE_VERSION, byAlphaLevel) == 137);
static_assert(offsetof(BE_VERSION, byMMXEnabled) == 139);
static_assert(offsetof(BE_VERSION, btReserved) == 140);

// The entry points, C calling convention. Counts are 16-bit samples of all
// channels together; output counts are bytes.
extern "C" {
using BEINITSTREAM = BE_ERR (*)(BE_CONFIG* pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                                HBE_STREAM* phbeStream);
using BEENCODECHUNK = BE_ERR (*)(HBE_STREAM hbeStream, std::uint32_t nSamples, std::int16_t* pSamples,
                                 std::uint8_t* pOutput, std::uint32_t* pdwOutput);
using BEDEINITSTREAM = BE_ERR (*)(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput);
using BECLOSESTREAM = BE_ERR (*)(HBE_STREAM hbeStream);
using BEVERSION = void (*)(BE_VERSION* pbeVersion);
using BEWRITEVBRHEADER = BE_ERR (*)(const char* lpszFileName);
using BEWRITEINFOTAG = BE_ERR (*)(HBE_STREAM hbeStream, const char* lpszFileName);

BE_ERR beInitStream(BE_CONFIG* pbeConfig, std::uint32_t* dwSamples, std::uint32_t* dwBufferSize,
                    HBE_STREAM* phbeStream);
BE_ERR beEncodeChunk(HBE_STREAM hbeStream, std::uint32_t nSamples, std::int16_t* pSamples, std::uint8_t* pOutput,
                     std::uint32_t* pdwOutput);
BE_ERR beDeinitStream(HBE_STREAM hbeStream, std::uint8_t* pOutput, std::uint32_t* pdwOutput);
BE_ERR beCloseStream(HBE_STREAM hbeStream);
void beVersion(BE_VERSION* pbeVersion);
BE_ERR beWriteVBRHeader(const char* lpszFileName);
BE_ERR beWriteInfoTag(HBE_STREAM hbeStream, const char* lpszFileName);
}
