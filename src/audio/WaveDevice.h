#pragma once
// The sound-device layer the engine records and plays through: the wave-input
// and wave-output operations of the original, with their result codes and
// window notifications. Buffers travel as WAVEHDR records the caller owns;
// every finished buffer and every close is posted to the window given at open,
// the header's address in lParam.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

namespace audio {

using platform::DWORD;
using platform::HWND;
using platform::UINT;
using MMRESULT = UINT;
using WORD = std::uint16_t;

constexpr UINT WAVE_MAPPER = static_cast<UINT>(-1);

// Notifications, posted to the window given at open.
constexpr UINT MM_WOM_CLOSE = 0x3BC;
constexpr UINT MM_WOM_DONE = 0x3BD;  // lParam: the WAVEHDR
constexpr UINT MM_WIM_CLOSE = 0x3BF;
constexpr UINT MM_WIM_DATA = 0x3C0;  // lParam: the WAVEHDR

// Result codes. The layer's own checks use these; a failure inside ALSA is
// reported as ALSA's negative error number (so "%x" shows e.g. ffffffed).
constexpr MMRESULT MMSYSERR_NOERROR = 0;
constexpr MMRESULT MMSYSERR_ERROR = 1;
constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
constexpr MMRESULT MMSYSERR_ALLOCATED = 4;
constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
constexpr MMRESULT MMSYSERR_NODRIVER = 6;
constexpr MMRESULT MMSYSERR_NOMEM = 7;
constexpr MMRESULT MMSYSERR_NOTSUPPORTED = 8;
constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
constexpr MMRESULT WAVERR_BADFORMAT = 32;
constexpr MMRESULT WAVERR_STILLPLAYING = 33;
constexpr MMRESULT WAVERR_UNPREPARED = 34;

constexpr WORD WAVE_FORMAT_PCM = 1;

#pragma pack(push, 1)
struct WAVEFORMATEX {
  WORD wFormatTag;
  WORD nChannels;
  DWORD nSamplesPerSec;
  DWORD nAvgBytesPerSec;
  WORD nBlockAlign;
  WORD wBitsPerSample;
  WORD cbSize;
};
#pragma pack(pop)
// The format record is stored in WAV files byte for byte.
static_assert(sizeof(WAVEFORMATEX) == 18);
static_assert(offsetof(WAVEFORMATEX, nSamplesPerSec) == 4 && offsetof(WAVEFORMATEX, cbSize) == 16);

constexpr DWORD WHDR_DONE = 0x01;
constexpr DWORD WHDR_PREPARED = 0x02;
constexpr DWORD WHDR_INQUEUE = 0x10;

struct WAVEHDR {
  char* lpData;
  DWORD dwBufferLength;
  DWORD dwBytesRecorded;
  std::uintptr_t dwUser;
  DWORD dwFlags;
  DWORD dwLoops;
  WAVEHDR* lpNext;
  std::uintptr_t reserved;
};

// The header bookkeeping both directions share, as the original's driver
// layer does it: a header must be prepared before it is queued and may not be
// unprepared while queued.
MMRESULT PrepareWaveHeader(WAVEHDR* pwh);
MMRESULT UnprepareWaveHeader(WAVEHDR* pwh);
MMRESULT CheckQueueable(const WAVEHDR* pwh);
// A PCM format the layer can open: 8 or 16 bits, one or two channels, a sane
// rate and a block alignment that matches.
bool IsPlayableFormat(const WAVEFORMATEX& wfx);
// Texts for the layer's own codes; a negative code is an errno value.
std::string WaveErrorText(MMRESULT code);

// An open wave-input device (waveIn… with its handle).
class IWaveIn {
 public:
  virtual ~IWaveIn() = default;
  virtual MMRESULT PrepareHeader(WAVEHDR* pwh) = 0;
  virtual MMRESULT UnprepareHeader(WAVEHDR* pwh) = 0;
  // Queues an empty buffer; it comes back in MM_WIM_DATA when full.
  virtual MMRESULT AddBuffer(WAVEHDR* pwh) = 0;
  virtual MMRESULT Start() = 0;
  // Stops capture and hands every queued buffer back (MM_WIM_DATA each).
  virtual MMRESULT Reset() = 0;
  // Refused while buffers are queued; on success MM_WIM_CLOSE is posted and
  // the object may only be destroyed.
  virtual MMRESULT Close() = 0;
};

// An open wave-output device (waveOut… with its handle).
class IWaveOut {
 public:
  virtual ~IWaveOut() = default;
  virtual MMRESULT PrepareHeader(WAVEHDR* pwh) = 0;
  virtual MMRESULT UnprepareHeader(WAVEHDR* pwh) = 0;
  // Queues dwBufferLength bytes; the buffer comes back in MM_WOM_DONE once played.
  virtual MMRESULT Write(WAVEHDR* pwh) = 0;
  virtual MMRESULT Pause() = 0;
  // Stops playback and hands every queued buffer back (MM_WOM_DONE each).
  virtual MMRESULT Reset() = 0;
  // Refused while buffers are queued; on success MM_WOM_CLOSE is posted.
  virtual MMRESULT Close() = 0;
};

// The machine's sound devices. Device i of either direction is an index into
// that direction's list; WAVE_MAPPER is the system's default device.
class IWaveDevices {
 public:
  virtual ~IWaveDevices() = default;
  virtual UINT GetNumInDevs() = 0;
  virtual UINT GetNumOutDevs() = 0;
  // The input device's product name (waveInGetDevCaps).
  virtual MMRESULT GetInDevName(UINT uDeviceId, std::string& name) = 0;
  virtual MMRESULT OpenIn(std::unique_ptr<IWaveIn>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                          HWND hwndNotify) = 0;
  virtual MMRESULT OpenOut(std::unique_ptr<IWaveOut>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                           HWND hwndNotify) = 0;
  virtual std::string GetInErrorText(MMRESULT code) { return WaveErrorText(code); }
  virtual std::string GetOutErrorText(MMRESULT code) { return WaveErrorText(code); }

  // What the movie is told about the machine.
  bool HasInputDevice() { return GetNumInDevs() > 0; }
  bool HasOutputDevice() { return GetNumOutDevs() > 0; }
};

// The devices of this machine (ALSA), one instance for the process.
IWaveDevices& GetSystemWaveDevices();

}  // namespace audio
