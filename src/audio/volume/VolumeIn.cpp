#include "audio/volume/VolumeIn.h"

#include <vector>

namespace audio {

using namespace mixer;

CVolumeInXXX* g_pVolumeIn = nullptr;

namespace {

// The wave-input device is opened in the recording format to reach its mixer.
constexpr WORD kProbeChannels = 1;
constexpr DWORD kProbeSamplesPerSec = 22050;
constexpr DWORD kProbeAvgBytesPerSec = 44100;
constexpr WORD kProbeBlockAlign = 2;
constexpr WORD kProbeBitsPerSample = 16;

WAVEFORMATEX ProbeFormat() {
  WAVEFORMATEX wfx{};
  wfx.wFormatTag = WAVE_FORMAT_PCM;
  wfx.nChannels = kProbeChannels;
  wfx.nSamplesPerSec = kProbeSamplesPerSec;
  wfx.nAvgBytesPerSec = kProbeAvgBytesPerSec;
  wfx.nBlockAlign = kProbeBlockAlign;
  wfx.wBitsPerSample = kProbeBitsPerSample;
  return wfx;
}

}  // namespace

CVolumeInXXX::CVolumeInXXX(UINT uDeviceId, IMixerSystem& system) : m_system(system), m_uDeviceId(uDeviceId) {
  m_bOpen = OpenMixer();
  if (m_bOpen) {
    g_pVolumeIn = this;
    if (!FindVolumeControl()) {
      CloseMixer();
      g_pVolumeIn = nullptr;
    }
  }
}

CVolumeInXXX::~CVolumeInXXX() {
  if (m_bOpen) CloseMixer();
  g_pVolumeIn = nullptr;
}

bool CVolumeInXXX::OpenMixer() {
  if (m_system.GetNumMixerDevs() == 0) return false;

  {
    std::unique_ptr<IWaveInProbe> waveIn;
    if (m_system.OpenWaveIn(waveIn, m_uDeviceId, ProbeFormat()) != MMSYSERR_NOERROR) return false;
    if (waveIn->GetMixerId(m_uMixerId) != MMSYSERR_NOERROR) return false;
  }  // the wave-input device is closed again here

  m_msgWnd.CreateTarget();
  m_hMsgWnd = m_msgWnd.GetSafeHwnd();
  if (m_system.OpenMixer(m_hMixer, m_uMixerId, m_hMsgWnd) != MMSYSERR_NOERROR) {
    m_msgWnd.DestroyTarget();
    m_hMsgWnd = 0;
    return false;
  }
  return true;
}

bool CVolumeInXXX::FindVolumeControl() {
  if (!m_bOpen) return false;

  MIXERLINE destination;
  if (m_hMixer->GetDestinationByType(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, destination) != MMSYSERR_NOERROR) return false;
  if (destination.cConnections == 0) return false;

  MIXERLINE source;
  if (m_hMixer->GetSourceLine(destination.dwDestination, 0, source) != MMSYSERR_NOERROR) return false;

  // Only the first source line counts, even when a later one has a volume control.
  MIXERCONTROL control;
  if (m_hMixer->GetLineControlByType(source.dwLineID, MIXERCONTROL_CONTROLTYPE_VOLUME, control) == MMSYSERR_NOERROR &&
      !(control.fdwControl & MIXERCONTROL_CONTROLF_DISABLED))
    m_bAvailable = true;

  m_dwLineId = source.dwLineID;
  m_nChannels = static_cast<int>(source.cChannels);
  m_dwControlId = control.dwControlID;
  m_dwMinimum = control.dwMinimum;
  m_dwMaximum = control.dwMaximum;
  m_nSteps = control.cSteps;
  m_nSelectedInput = 0;
  m_bReady = true;
  return true;
}

void CVolumeInXXX::CloseMixer() {
  m_hMixer.reset();
  m_msgWnd.DestroyTarget();
  m_hMsgWnd = 0;
  m_bReady = false;
  m_bOpen = false;
}

bool CVolumeInXXX::IsAvailable() { return m_bAvailable; }

void CVolumeInXXX::SelectInput() {
  if (!m_bReady || !IsAvailable()) return;

  MIXERLINE destination;
  if (m_hMixer->GetDestinationByType(MIXERLINE_COMPONENTTYPE_DST_WAVEIN, destination) != MMSYSERR_NOERROR) return;
  if (destination.cControls == 0) return;
  std::vector<MIXERCONTROL> controls(destination.cControls);
  if (m_hMixer->GetLineControls(destination.dwLineID, controls) != MMSYSERR_NOERROR) return;

  for (const MIXERCONTROL& control : controls) {
    if ((control.dwControlType & MIXERCONTROL_CT_UNITS_MASK) != MIXERCONTROL_CT_UNITS_BOOLEAN) continue;
    DWORD channels = (control.fdwControl & MIXERCONTROL_CONTROLF_UNIFORM) ? 1 : destination.cChannels;
    if (control.fdwControl & MIXERCONTROL_CONTROLF_MULTIPLE) {
      // An input selector: only the chosen item is on, on every channel.
      DWORD items = control.cMultipleItems;
      std::vector<DWORD> values(DetailCount(channels, items), 0);
      for (DWORD c = 0; c < channels; ++c)
        for (DWORD i = 0; i < items; ++i) values[c * items + i] = static_cast<int>(i) == m_nSelectedInput ? 1 : 0;
      m_hMixer->SetControlDetails(control.dwControlID, channels, items, values);
    } else {
      // Switches such as the destination's on/off: on.
      m_hMixer->SetControlDetails(control.dwControlID, channels, 0, std::vector<DWORD>(channels, 1));
    }
  }
}

void CVolumeInXXX::Reserved() {}

DWORD CVolumeInXXX::GetSteps() { return m_bAvailable ? m_nSteps : kVolumeAbsent; }
DWORD CVolumeInXXX::GetMinimum() { return m_bAvailable ? m_dwMinimum : kVolumeAbsent; }
DWORD CVolumeInXXX::GetMaximum() { return m_bAvailable ? m_dwMaximum : kVolumeAbsent; }

DWORD CVolumeInXXX::GetVolume() {
  if (!m_bAvailable) return kVolumeAbsent;
  std::vector<DWORD> values;
  if (m_hMixer->GetControlDetails(m_dwControlId, static_cast<DWORD>(m_nChannels), 0, values) != MMSYSERR_NOERROR)
    return kVolumeAbsent;
  return values.front();
}

void CVolumeInXXX::SetVolume(DWORD dwValue) {
  if (!m_bAvailable) return;
  if (dwValue < m_dwMinimum || dwValue > m_dwMaximum) return;
  DWORD channels = static_cast<DWORD>(m_nChannels);
  m_hMixer->SetControlDetails(m_dwControlId, channels, 0, std::vector<DWORD>(channels, dwValue));
}

void CVolumeInXXX::SetChangeCallback(VolumeChangeCallback pfnCallback, DWORD dwUserData) {
  m_pfnCallback = pfnCallback;
  m_pCallbackData = dwUserData;
}

void CVolumeInXXX::OnControlChange(DWORD dwControlId) {
  if (dwControlId != m_dwControlId) return;
  DWORD value = GetVolume();
  if (value == kVolumeAbsent) return;
  if (m_pfnCallback) m_pfnCallback(value, m_pCallbackData);
}

void CVolumeInXXX::CMsgWnd::OnMessage(platform::UINT message, platform::WPARAM, platform::LPARAM lParam) {
  if (message == MM_MIXM_CONTROL_CHANGE && g_pVolumeIn) g_pVolumeIn->OnControlChange(static_cast<DWORD>(lParam));
}

UINT FindRecordingDevice(IMixerSystem& system) {
  // The device count is asked again before each step, as devices may come and go.
  for (UINT uDeviceId = 0; uDeviceId < system.GetNumWaveInDevs(); ++uDeviceId) {
    CVolumeInXXX volume(uDeviceId, system);
    if (volume.IsAvailable()) return uDeviceId;
  }
  return WAVE_MAPPER;
}

}  // namespace audio
