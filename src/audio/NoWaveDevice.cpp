// Built only where ALSA is missing: a machine without sound devices.
#include "audio/WaveDevice.h"

namespace audio {

namespace {
class CNoWaveDevices : public IWaveDevices {
 public:
  UINT GetNumInDevs() override { return 0; }
  UINT GetNumOutDevs() override { return 0; }
  MMRESULT GetInDevName(UINT, std::string&) override { return MMSYSERR_NODRIVER; }
  MMRESULT OpenIn(std::unique_ptr<IWaveIn>&, UINT, const WAVEFORMATEX&, HWND) override { return MMSYSERR_NODRIVER; }
  MMRESULT OpenOut(std::unique_ptr<IWaveOut>&, UINT, const WAVEFORMATEX&, HWND) override { return MMSYSERR_NODRIVER; }
};
}  // namespace

IWaveDevices& GetSystemWaveDevices() {
  static CNoWaveDevices devices;
  return devices;
}

}  // namespace audio
