#pragma once
// The mixer functions on ALSA. Wave-input device i is the i-th PCM that can
// capture, in the order ALSA lists its PCM names (the sound-device layer's
// rule); WAVE_MAPPER is "default". A device's mixer is the simple mixer of the
// card its PCM runs on, and its id is that card's number.
//
// On a card's mixer the recording destination exists when the card has
// capture elements; its source lines are those elements in the simple mixer's
// order, each with its capture volume as a volume control (disabled while the
// element is inactive); the destination's controls are every capture switch
// (on/off) and every enumerated capture source (a selector of its items).
#include <string>
#include <vector>

#include "audio/VolumeMixer.h"

namespace audio::mixer {

class CAlsaMixerSystem : public IMixerSystem {
 public:
  UINT GetNumWaveInDevs() override;
  UINT GetNumMixerDevs() override;
  MMRESULT OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) override;
  MMRESULT OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) override;

  // The names of the PCMs that can capture, in device-index order.
  static std::vector<std::string> ListCapturePcms();
};

}  // namespace audio::mixer
