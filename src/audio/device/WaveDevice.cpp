#include "audio/device/WaveDevice.h"

#include <cstring>

namespace audio {

MMRESULT PrepareWaveHeader(WAVEHDR* pwh) {
  if (pwh == nullptr || pwh->lpData == nullptr) return MMSYSERR_INVALPARAM;
  pwh->dwFlags |= WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT UnprepareWaveHeader(WAVEHDR* pwh) {
  if (pwh == nullptr) return MMSYSERR_INVALPARAM;
  if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  pwh->dwFlags &= ~WHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

MMRESULT CheckQueueable(const WAVEHDR* pwh) {
  if (pwh == nullptr || pwh->lpData == nullptr) return MMSYSERR_INVALPARAM;
  if (!(pwh->dwFlags & WHDR_PREPARED)) return WAVERR_UNPREPARED;
  if (pwh->dwFlags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
  return MMSYSERR_NOERROR;
}

bool IsPlayableFormat(const WAVEFORMATEX& wfx) {
  constexpr DWORD kMinRate = 1000;
  constexpr DWORD kMaxRate = 384000;
  return wfx.wFormatTag == WAVE_FORMAT_PCM && (wfx.nChannels == 1 || wfx.nChannels == 2) &&
         (wfx.wBitsPerSample == 8 || wfx.wBitsPerSample == 16) && wfx.nSamplesPerSec >= kMinRate &&
         wfx.nSamplesPerSec <= kMaxRate && wfx.nBlockAlign == wfx.nChannels * wfx.wBitsPerSample / 8;
}

std::string WaveErrorText(MMRESULT code) {
  if (static_cast<int>(code) < 0) return std::strerror(-static_cast<int>(code));
  switch (code) {
    case MMSYSERR_NOERROR:
      return "No error.";
    case MMSYSERR_ERROR:
      return "Unspecified error.";
    case MMSYSERR_BADDEVICEID:
      return "The device ID is out of range.";
    case MMSYSERR_ALLOCATED:
      return "The device is already in use.";
    case MMSYSERR_INVALHANDLE:
      return "The device handle is invalid.";
    case MMSYSERR_NODRIVER:
      return "No device driver is present.";
    case MMSYSERR_NOMEM:
      return "Unable to allocate or lock memory.";
    case MMSYSERR_NOTSUPPORTED:
      return "The function is not supported.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed.";
    case WAVERR_BADFORMAT:
      return "The wave format is not supported.";
    case WAVERR_STILLPLAYING:
      return "Buffers are still queued on the device.";
    case WAVERR_UNPREPARED:
      return "The buffer header is not prepared.";
    default:
      return "Unknown error.";
  }
}

}  // namespace audio
