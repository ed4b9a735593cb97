#pragma once
// The mixer functions on ALSA. Wave-input device i is the sound-device
// layer's input device i (CAlsaWaveDevices); WAVE_MAPPER is "default". A
// device's mixer is the simple mixer of the card its PCM runs on, or, for a
// sound server's "default", the server's control of that name (its "Master"
// and "Capture"). Mixer ids number the cards in ALSA's order, then the
// server's control.
//
// On a card's mixer the recording destination exists when the card has
// capture elements; its source lines are those elements in the simple mixer's
// order, each with its capture volume as a volume control (disabled while the
// element is inactive); the destination's controls are every capture switch
// (on/off) and every enumerated capture source (a selector of its items).
#include <string>
#include <vector>

#include "audio/volume/VolumeMixer.h"

namespace audio::mixer {

class CAlsaMixerSystem : public IMixerSystem {
 public:
  UINT GetNumWaveInDevs() override;
  UINT GetNumMixerDevs() override;
  MMRESULT OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) override;
  MMRESULT OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) override;

  // The names of the PCMs that can capture, in device-index order.
  static std::vector<std::string> ListCapturePcms();
  // The control names of the mixers, in mixer-id order.
  static std::vector<std::string> ListMixers();
};

}  // namespace audio::mixer
