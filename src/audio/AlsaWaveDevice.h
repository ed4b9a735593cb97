#pragma once
// The machine's sound devices through ALSA. Input device i is the i-th PCM
// that can capture, output device i the i-th that can play back, in the order
// ALSA lists its PCM names; WAVE_MAPPER is ALSA's "default". Each open device
// has one worker thread that moves whole buffers between ALSA and the
// caller's headers and posts the notifications.
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace audio {

class CAlsaWaveDevices : public IWaveDevices {
 public:
  // Lists the PCM names ALSA knows, asked afresh on every query.
  CAlsaWaveDevices() = default;
  // Uses exactly these PCM names, for both directions.
  explicit CAlsaWaveDevices(std::vector<std::string> pcmNames);

  UINT GetNumInDevs() override;
  UINT GetNumOutDevs() override;
  MMRESULT GetInDevName(UINT uDeviceId, std::string& name) override;
  MMRESULT OpenIn(std::unique_ptr<IWaveIn>& device, UINT uDeviceId, const WAVEFORMATEX& wfx, HWND hwndNotify) override;
  MMRESULT OpenOut(std::unique_ptr<IWaveOut>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                   HWND hwndNotify) override;
  std::string GetInErrorText(MMRESULT code) override;
  std::string GetOutErrorText(MMRESULT code) override;

  // The PCM name behind a device index of either direction.
  MMRESULT GetPcmName(bool capture, UINT uDeviceId, std::string& pcmName);

 private:
  struct Pcm {
    std::string name;
    std::string description;
  };
  std::vector<Pcm> List(bool capture) const;
  MMRESULT Resolve(bool capture, UINT uDeviceId, Pcm& pcm) const;

  bool m_bFixed = false;
  std::vector<std::string> m_fixedNames;
};

}  // namespace audio
