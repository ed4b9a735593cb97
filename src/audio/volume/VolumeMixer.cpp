#include "audio/volume/VolumeMixer.h"

#include <utility>

namespace audio::mixer {

CMixerModel::CMixerModel(MixerTopology topology) : m_topology(std::move(topology)) {}

MMRESULT CMixerModel::GetDestinationByType(DWORD dwComponentType, MIXERLINE& line) {
  const auto& dst = m_topology.destination;
  if (!dst || dst->line.dwComponentType != dwComponentType) return MIXERR_INVALLINE;
  line = dst->line;
  return MMSYSERR_NOERROR;
}

MMRESULT CMixerModel::GetSourceLine(DWORD dwDestination, DWORD dwSource, MIXERLINE& line) {
  const auto& dst = m_topology.destination;
  if (!dst || dst->line.dwDestination != dwDestination) return MIXERR_INVALLINE;
  if (dwSource >= m_topology.sources.size()) return MIXERR_INVALLINE;
  line = m_topology.sources[dwSource].line;
  return MMSYSERR_NOERROR;
}

const MixerLineEntry* CMixerModel::FindLine(DWORD dwLineID) const {
  if (m_topology.destination && m_topology.destination->line.dwLineID == dwLineID) return &*m_topology.destination;
  for (const auto& source : m_topology.sources)
    if (source.line.dwLineID == dwLineID) return &source;
  return nullptr;
}

MMRESULT CMixerModel::GetLineControlByType(DWORD dwLineID, DWORD dwControlType, MIXERCONTROL& control) {
  const MixerLineEntry* entry = FindLine(dwLineID);
  if (!entry) return MIXERR_INVALLINE;
  for (const auto& c : entry->controls)
    if (c.dwControlType == dwControlType) {
      control = c;
      return MMSYSERR_NOERROR;
    }
  return MIXERR_INVALCONTROL;
}

MMRESULT CMixerModel::GetLineControls(DWORD dwLineID, std::vector<MIXERCONTROL>& controls) {
  const MixerLineEntry* entry = FindLine(dwLineID);
  if (!entry) return MIXERR_INVALLINE;
  if (controls.size() != entry->controls.size() || controls.empty()) return MMSYSERR_INVALPARAM;
  controls = entry->controls;
  return MMSYSERR_NOERROR;
}

const MixerLineEntry* CMixerModel::FindControl(DWORD dwControlID, const MIXERCONTROL** control) const {
  auto search = [&](const MixerLineEntry& entry) {
    for (const auto& c : entry.controls)
      if (c.dwControlID == dwControlID) {
        *control = &c;
        return true;
      }
    return false;
  };
  if (m_topology.destination && search(*m_topology.destination)) return &*m_topology.destination;
  for (const auto& source : m_topology.sources)
    if (search(source)) return &source;
  return nullptr;
}

MMRESULT CMixerModel::CheckDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems, std::size_t nValues,
                                   const MIXERCONTROL** control, DWORD& dwLineChannels) const {
  const MixerLineEntry* entry = FindControl(dwControlID, control);
  if (!entry) return MIXERR_INVALCONTROL;
  dwLineChannels = entry->line.cChannels;
  if (cChannels == 0 || cChannels > dwLineChannels) return MMSYSERR_INVALPARAM;
  bool multiple = ((*control)->fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) != 0;
  if (cMultipleItems != (multiple ? (*control)->cMultipleItems : 0) || (multiple && cMultipleItems == 0))
    return MMSYSERR_INVALPARAM;
  if (nValues != DetailCount(cChannels, cMultipleItems)) return MMSYSERR_INVALPARAM;
  return MMSYSERR_NOERROR;
}

MMRESULT CMixerModel::GetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                                        std::vector<DWORD>& values) {
  const MIXERCONTROL* control = nullptr;
  DWORD lineChannels = 0;
  std::size_t count = DetailCount(cChannels, cMultipleItems);
  if (auto r = CheckDetails(dwControlID, cChannels, cMultipleItems, count, &control, lineChannels)) return r;
  std::vector<DWORD> read(count);
  if (auto r = ReadValues(*control, lineChannels, cChannels, read)) return r;
  values = std::move(read);
  return MMSYSERR_NOERROR;
}

MMRESULT CMixerModel::SetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                                        const std::vector<DWORD>& values) {
  const MIXERCONTROL* control = nullptr;
  DWORD lineChannels = 0;
  if (auto r = CheckDetails(dwControlID, cChannels, cMultipleItems, values.size(), &control, lineChannels)) return r;
  return WriteValues(*control, lineChannels, cChannels, values);
}

}  // namespace audio::mixer
