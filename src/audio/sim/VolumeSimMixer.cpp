#include "audio/sim/VolumeSimMixer.h"

#include <algorithm>
#include <stdexcept>
#include <utility>

#include "platform/MessageLoop.h"

namespace audio::mixer {

struct CSimMixerSystem::State {
  MixerTopology topology;
  std::map<DWORD, std::vector<DWORD>> values;
  std::map<DWORD, int> writes;
  std::vector<HWND> openHandles;
};

namespace {

class CSimWaveInProbe : public IWaveInProbe {
 public:
  explicit CSimWaveInProbe(std::optional<UINT> uMixerId) : m_uMixerId(uMixerId) {}
  MMRESULT GetMixerId(UINT& uMixerId) override {
    if (!m_uMixerId) return MMSYSERR_NODRIVER;
    uMixerId = *m_uMixerId;
    return MMSYSERR_NOERROR;
  }

 private:
  std::optional<UINT> m_uMixerId;
};

class CSimMixer : public CMixerModel {
 public:
  CSimMixer(std::shared_ptr<CSimMixerSystem::State> state, HWND hwnd)
      : CMixerModel(state->topology), m_state(std::move(state)), m_hwnd(hwnd) {
    m_state->openHandles.push_back(m_hwnd);
  }
  ~CSimMixer() override {
    auto& handles = m_state->openHandles;
    handles.erase(std::find(handles.begin(), handles.end(), m_hwnd));
  }

 protected:
  // Channel 0 comes first, so the values asked for are a prefix of the stored ones.
  MMRESULT ReadValues(const MIXERCONTROL& control, DWORD, DWORD, std::vector<DWORD>& values) override {
    const auto& stored = m_state->values.at(control.dwControlID);
    std::copy_n(stored.begin(), std::min(values.size(), stored.size()), values.begin());
    return MMSYSERR_NOERROR;
  }
  MMRESULT WriteValues(const MIXERCONTROL& control, DWORD dwLineChannels, DWORD cChannels,
                       const std::vector<DWORD>& values) override {
    auto& stored = m_state->values.at(control.dwControlID);
    std::size_t perChannel = values.size() / cChannels;
    // One channel given for a line of more: all of them take it.
    DWORD channels = cChannels == 1 ? dwLineChannels : cChannels;
    for (DWORD c = 0; c < channels; ++c)
      std::copy_n(values.begin() + static_cast<std::ptrdiff_t>((cChannels == 1 ? 0 : c) * perChannel), perChannel,
                  stored.begin() + static_cast<std::ptrdiff_t>(c * perChannel));
    ++m_state->writes[control.dwControlID];
    return MMSYSERR_NOERROR;
  }

 private:
  std::shared_ptr<CSimMixerSystem::State> m_state;
  HWND m_hwnd;
};

}  // namespace

CSimMixerSystem::CSimMixerSystem() = default;
CSimMixerSystem::~CSimMixerSystem() = default;

UINT CSimMixerSystem::AddWaveIn(std::optional<UINT> uMixerId, bool bOpens) {
  m_waveIns.push_back(WaveIn{uMixerId, bOpens});
  return static_cast<UINT>(m_waveIns.size() - 1);
}

UINT CSimMixerSystem::AddMixer(MixerTopology topology) {
  auto state = std::make_shared<State>();
  auto addValues = [&](const MixerLineEntry& entry) {
    for (const auto& c : entry.controls)
      state->values[c.dwControlID].assign(DetailCount(std::max<DWORD>(entry.line.cChannels, 1), c.cMultipleItems),
                                          c.dwMinimum);
  };
  if (topology.destination) addValues(*topology.destination);
  for (const auto& source : topology.sources) addValues(source);
  state->topology = std::move(topology);
  m_mixers.push_back(std::move(state));
  return static_cast<UINT>(m_mixers.size() - 1);
}

const std::vector<DWORD>& CSimMixerSystem::GetValues(UINT uMixerId, DWORD dwControlID) const {
  return m_mixers.at(uMixerId)->values.at(dwControlID);
}

void CSimMixerSystem::SetValues(UINT uMixerId, DWORD dwControlID, std::vector<DWORD> values) {
  auto& stored = m_mixers.at(uMixerId)->values.at(dwControlID);
  if (values.size() != stored.size()) throw std::invalid_argument("value count of the control");
  stored = std::move(values);
}

void CSimMixerSystem::ChangeElsewhere(UINT uMixerId, DWORD dwControlID, std::vector<DWORD> values) {
  SetValues(uMixerId, dwControlID, std::move(values));
  for (HWND hwnd : m_mixers.at(uMixerId)->openHandles)
    platform::PostMessage(hwnd, MM_MIXM_CONTROL_CHANGE, 0, static_cast<platform::LPARAM>(dwControlID));
}

int CSimMixerSystem::GetOpenCount(UINT uMixerId) const {
  return static_cast<int>(m_mixers.at(uMixerId)->openHandles.size());
}

int CSimMixerSystem::GetWriteCount(UINT uMixerId, DWORD dwControlID) const {
  const auto& writes = m_mixers.at(uMixerId)->writes;
  auto it = writes.find(dwControlID);
  return it == writes.end() ? 0 : it->second;
}

UINT CSimMixerSystem::GetNumWaveInDevs() { return static_cast<UINT>(m_waveIns.size()); }
UINT CSimMixerSystem::GetNumMixerDevs() { return static_cast<UINT>(m_mixers.size()); }

MMRESULT CSimMixerSystem::OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) {
  if (uDeviceId >= m_waveIns.size()) return MMSYSERR_BADDEVICEID;
  if (wfx.wFormatTag != WAVE_FORMAT_PCM || wfx.nChannels == 0 || wfx.nBlockAlign == 0) return WAVERR_BADFORMAT;
  if (!m_waveIns[uDeviceId].bOpens) return MMSYSERR_ERROR;
  probe = std::make_unique<CSimWaveInProbe>(m_waveIns[uDeviceId].uMixerId);
  return MMSYSERR_NOERROR;
}

MMRESULT CSimMixerSystem::OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) {
  if (uMixerId >= m_mixers.size()) return MMSYSERR_BADDEVICEID;
  mixer = std::make_unique<CSimMixer>(m_mixers[uMixerId], hwndCallback);
  return MMSYSERR_NOERROR;
}

}  // namespace audio::mixer
