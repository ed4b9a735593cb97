#pragma once
// The system mixer as the input-volume code uses it: the original's mixer
// calls, lines, controls and result codes, over a backend (ALSA or a
// simulated mixer). Only the recording destination is modelled.
//
// Value arrays hold 32-bit values, cChannels × max(cMultipleItems, 1) of
// them, channel-major: entry c × items + i is item i of channel c.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "audio/device/WaveDevice.h"

namespace audio::mixer {

// WAVE_MAPPER, MMRESULT, the MMSYSERR_ codes and WAVEFORMATEX are the
// sound-device layer's (audio/WaveDevice.h); these are the mixer's own.
constexpr MMRESULT MIXERR_INVALLINE = 1024;
constexpr MMRESULT MIXERR_INVALCONTROL = 1025;
constexpr MMRESULT MIXERR_INVALVALUE = 1026;

// Posted to the window given at open when a control's value changed; lParam
// is the control id.
constexpr UINT MM_MIXM_CONTROL_CHANGE = 0x3D1;

constexpr DWORD MIXERLINE_COMPONENTTYPE_DST_WAVEIN = 7;

constexpr DWORD MIXERCONTROL_CT_UNITS_MASK = 0x00FF0000;
constexpr DWORD MIXERCONTROL_CT_UNITS_BOOLEAN = 0x00010000;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_ONOFF = 0x20010001;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_VOLUME = 0x50030001;
constexpr DWORD MIXERCONTROL_CONTROLTYPE_MUX = 0x70010001;

constexpr DWORD MIXERCONTROL_CONTROLF_UNIFORM = 0x00000001;
constexpr DWORD MIXERCONTROL_CONTROLF_MULTIPLE = 0x00000002;
constexpr DWORD MIXERCONTROL_CONTROLF_DISABLED = 0x80000000;

struct MIXERLINE {
  DWORD dwDestination = 0;
  DWORD dwSource = 0;
  DWORD dwLineID = 0;
  DWORD fdwLine = 0;
  DWORD dwComponentType = 0;
  DWORD cChannels = 0;
  DWORD cConnections = 0;
  DWORD cControls = 0;
  std::string szName;
};

struct MIXERCONTROL {
  DWORD dwControlID = 0;
  DWORD dwControlType = 0;
  DWORD fdwControl = 0;
  DWORD cMultipleItems = 0;
  std::string szName;
  DWORD dwMinimum = 0;  // Bounds
  DWORD dwMaximum = 0;
  DWORD cSteps = 0;  // Metrics
};

// An open mixer (mixerOpen's handle); closed when destroyed.
class IMixer {
 public:
  virtual ~IMixer() = default;
  // mixerGetLineInfo by component type.
  virtual MMRESULT GetDestinationByType(DWORD dwComponentType, MIXERLINE& line) = 0;
  // mixerGetLineInfo for a destination's source line.
  virtual MMRESULT GetSourceLine(DWORD dwDestination, DWORD dwSource, MIXERLINE& line) = 0;
  // mixerGetLineControls for the line's one control of a type; control is
  // left untouched on failure.
  virtual MMRESULT GetLineControlByType(DWORD dwLineID, DWORD dwControlType, MIXERCONTROL& control) = 0;
  // mixerGetLineControls for all of them: controls.size() must be the line's cControls.
  virtual MMRESULT GetLineControls(DWORD dwLineID, std::vector<MIXERCONTROL>& controls) = 0;
  virtual MMRESULT GetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                                     std::vector<DWORD>& values) = 0;
  virtual MMRESULT SetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                                     const std::vector<DWORD>& values) = 0;
};

// A wave-input device opened only to learn which mixer it belongs to; closed
// when destroyed.
class IWaveInProbe {
 public:
  virtual ~IWaveInProbe() = default;
  // mixerGetID for the wave-input handle.
  virtual MMRESULT GetMixerId(UINT& uMixerId) = 0;
};

// The machine's wave-input devices and mixers as the mixer functions see them.
class IMixerSystem {
 public:
  virtual ~IMixerSystem() = default;
  virtual UINT GetNumWaveInDevs() = 0;
  virtual UINT GetNumMixerDevs() = 0;
  virtual MMRESULT OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) = 0;
  // Change notifications go to hwndCallback as MM_MIXM_CONTROL_CHANGE.
  virtual MMRESULT OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) = 0;
};

// The machine's mixers (ALSA), one instance for the process.
IMixerSystem& GetSystemMixer();

// One line and its controls.
struct MixerLineEntry {
  MIXERLINE line;
  std::vector<MIXERCONTROL> controls;
};

// The recording side of a mixer: the recording destination, if there is one,
// and its source lines in order.
struct MixerTopology {
  std::optional<MixerLineEntry> destination;
  std::vector<MixerLineEntry> sources;
};

// The line and control queries and the checks of the detail calls, over a
// fixed topology; a backend supplies the values.
class CMixerModel : public IMixer {
 public:
  MMRESULT GetDestinationByType(DWORD dwComponentType, MIXERLINE& line) override;
  MMRESULT GetSourceLine(DWORD dwDestination, DWORD dwSource, MIXERLINE& line) override;
  MMRESULT GetLineControlByType(DWORD dwLineID, DWORD dwControlType, MIXERCONTROL& control) override;
  MMRESULT GetLineControls(DWORD dwLineID, std::vector<MIXERCONTROL>& controls) override;
  MMRESULT GetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                             std::vector<DWORD>& values) override;
  MMRESULT SetControlDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems,
                             const std::vector<DWORD>& values) override;

  const MixerTopology& Topology() const { return m_topology; }

  // Lines are numbered with these ids by every backend.
  static constexpr DWORD kDestinationLineId = 0xFFFF0000;
  static DWORD SourceLineId(std::size_t index) { return static_cast<DWORD>(index); }

 protected:
  explicit CMixerModel(MixerTopology topology);

  // values is sized for cChannels × max(items, 1); cChannels 1 on a line of
  // more channels means all of them at once.
  virtual MMRESULT ReadValues(const MIXERCONTROL& control, DWORD dwLineChannels, DWORD cChannels,
                              std::vector<DWORD>& values) = 0;
  virtual MMRESULT WriteValues(const MIXERCONTROL& control, DWORD dwLineChannels, DWORD cChannels,
                               const std::vector<DWORD>& values) = 0;

  // The line a control belongs to, or null.
  const MixerLineEntry* FindControl(DWORD dwControlID, const MIXERCONTROL** control) const;

 private:
  const MixerLineEntry* FindLine(DWORD dwLineID) const;
  MMRESULT CheckDetails(DWORD dwControlID, DWORD cChannels, DWORD cMultipleItems, std::size_t nValues,
                        const MIXERCONTROL** control, DWORD& dwLineChannels) const;

  MixerTopology m_topology;
};

// Number of values a detail call carries.
inline std::size_t DetailCount(DWORD cChannels, DWORD cMultipleItems) {
  return static_cast<std::size_t>(cChannels) * (cMultipleItems ? cMultipleItems : 1);
}

}  // namespace audio::mixer
