#pragma once
// A machine's wave-input devices and mixers held in memory, for tests: the
// test describes devices and mixer topologies, reads what the code under test
// set, and changes values "elsewhere", which notifies every open handle of
// that mixer as the system would.
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "audio/volume/VolumeMixer.h"

namespace audio::mixer {

class CSimMixerSystem : public IMixerSystem {
 public:
  CSimMixerSystem();
  ~CSimMixerSystem() override;

  // A wave-input device; without a mixer id, mixerGetID fails for it.
  // Returns its index.
  UINT AddWaveIn(std::optional<UINT> uMixerId, bool bOpens = true);
  // A mixer; every control starts at its minimum. Returns its id.
  UINT AddMixer(MixerTopology topology);

  // Values of a control: line channels × max(items, 1), channel-major.
  const std::vector<DWORD>& GetValues(UINT uMixerId, DWORD dwControlID) const;
  void SetValues(UINT uMixerId, DWORD dwControlID, std::vector<DWORD> values);
  // As another program would: set the values and notify the open handles.
  void ChangeElsewhere(UINT uMixerId, DWORD dwControlID, std::vector<DWORD> values);
  // Handles of a mixer open now.
  int GetOpenCount(UINT uMixerId) const;
  // Writes into a control so far (SetControlDetails that reached it).
  int GetWriteCount(UINT uMixerId, DWORD dwControlID) const;

  UINT GetNumWaveInDevs() override;
  UINT GetNumMixerDevs() override;
  MMRESULT OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) override;
  MMRESULT OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) override;

  struct State;

 private:
  struct WaveIn {
    std::optional<UINT> uMixerId;
    bool bOpens;
  };
  std::vector<WaveIn> m_waveIns;
  std::vector<std::shared_ptr<State>> m_mixers;
};

}  // namespace audio::mixer
