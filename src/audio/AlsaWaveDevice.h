#pragma once
// The machine's sound devices through ALSA; WAVE_MAPPER is ALSA's "default".
// Each open device has one worker thread that moves buffers between ALSA and
// the caller's headers and posts the notifications.
//
// The device list of each direction (ChooseWaveDevices):
// - with a sound server behind "default" (PulseAudio, PipeWire), that PCM
//   alone: recording and playback go through the server, never around it to
//   a card the server holds;
// - otherwise the PCMs of the machine's cards as ALSA's name hints list them,
//   "default" first if listed, then those that work both ways, then those of
//   this direction only, so device i is the same PCM in both directions
//   wherever it can be;
// - without a server and without a card, nothing ("null" and the plugins that
//   only wrap another PCM are no sound devices).
#include <string>
#include <vector>

#include "audio/WaveDevice.h"

namespace audio {

// One PCM as ALSA's name hints give it.
struct PcmHint {
  std::string name;
  std::string description;  // its first line
  std::string ioid;         // "Input", "Output" or empty for both
};

std::vector<PcmHint> ReadPcmHints();
// "default" opens as a sound server's PCM: a user-space plugin, on no card.
bool DefaultIsSoundServer();
std::vector<PcmHint> ChooseWaveDevices(const std::vector<PcmHint>& hints, bool capture, bool soundServer);

class CAlsaWaveDevices : public IWaveDevices {
 public:
  // The machine's device lists, asked afresh on every query.
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
  // The machine's PCM names of one direction, in device-index order.
  static std::vector<std::string> ListPcmNames(bool capture);

 private:
  std::vector<PcmHint> List(bool capture) const;
  MMRESULT Resolve(bool capture, UINT uDeviceId, PcmHint& pcm) const;

  bool m_bFixed = false;
  std::vector<std::string> m_fixedNames;
};

}  // namespace audio
