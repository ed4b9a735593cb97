#include "audio/volume/VolumeAlsaMixer.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>
#include <map>

#include "audio/device/AlsaPcm.h"
#include "audio/device/AlsaWaveDevice.h"
#include "audio/volume/VolumeEventWatch.h"
#include "platform/MessageLoop.h"

namespace audio::mixer {

namespace {

// The PCM WAVE_MAPPER stands for.
constexpr const char* kDefaultPcm = "default";
// Ring size of the brief open; nothing is captured.
constexpr unsigned kProbeLatencyUs = 100000;
// Tells the open mixer, on the UI thread, that its descriptors have events.
constexpr platform::UINT kMsgMixerEvents = platform::WM_USER + 1;

struct MixerCloser {
  void operator()(snd_mixer_t* mixer) const { snd_mixer_close(mixer); }
};
using MixerPtr = std::unique_ptr<snd_mixer_t, MixerCloser>;

MMRESULT AlsaResult(int err) { return static_cast<MMRESULT>(err); }

std::string CardControl(int card) { return "hw:" + std::to_string(card); }

class CAlsaWaveInProbe : public IWaveInProbe {
 public:
  CAlsaWaveInProbe(PcmPtr pcm, std::string name) : m_pcm(std::move(pcm)), m_name(std::move(name)) {}
  MMRESULT GetMixerId(UINT& uMixerId) override {
    snd_pcm_info_t* info = nullptr;
    snd_pcm_info_alloca(&info);
    if (int err = snd_pcm_info(m_pcm.get(), info); err < 0) return AlsaResult(err);
    // A PCM on no card has the mixer of a sound server's "default" or none (null).
    int card = snd_pcm_info_get_card(info);
    auto mixers = CAlsaMixerSystem::ListMixers();
    auto it = std::find(mixers.begin(), mixers.end(), card >= 0 ? CardControl(card) : m_name);
    if (it == mixers.end()) return MMSYSERR_NODRIVER;
    uMixerId = static_cast<UINT>(it - mixers.begin());
    return MMSYSERR_NOERROR;
  }

 private:
  PcmPtr m_pcm;
  std::string m_name;
};

// A simple-mixer element that the topology refers to; elem is cleared when
// the card removes it.
struct Element {
  snd_mixer_elem_t* elem = nullptr;
  std::vector<snd_mixer_selem_channel_id_t> channels;
};

enum ControlKind : DWORD { kVolume = 0, kSwitch = 1, kSource = 2 };

DWORD ControlId(std::size_t elementIndex, ControlKind kind) {
  return static_cast<DWORD>(((elementIndex + 1) << 2) | kind);
}
std::size_t ElementIndex(DWORD dwControlID) { return (dwControlID >> 2) - 1; }
ControlKind KindOf(DWORD dwControlID) { return static_cast<ControlKind>(dwControlID & 3); }

std::vector<snd_mixer_selem_channel_id_t> CaptureChannels(snd_mixer_elem_t* elem) {
  std::vector<snd_mixer_selem_channel_id_t> channels;
  for (int c = 0; c <= SND_MIXER_SCHN_LAST; ++c) {
    auto channel = static_cast<snd_mixer_selem_channel_id_t>(c);
    if (snd_mixer_selem_has_capture_channel(elem, channel)) channels.push_back(channel);
  }
  if (channels.empty()) channels.push_back(SND_MIXER_SCHN_MONO);
  return channels;
}

MixerTopology BuildTopology(snd_mixer_t* mixer, std::vector<Element>& elements) {
  for (auto* elem = snd_mixer_first_elem(mixer); elem; elem = snd_mixer_elem_next(elem))
    elements.push_back(Element{elem, CaptureChannels(elem)});

  MixerTopology topology;
  MixerLineEntry destination;
  destination.line.dwLineID = CMixerModel::kDestinationLineId;
  destination.line.dwComponentType = MIXERLINE_COMPONENTTYPE_DST_WAVEIN;
  destination.line.cChannels = 1;
  destination.line.szName = "Capture";
  bool hasCapture = false;

  for (std::size_t i = 0; i < elements.size(); ++i) {
    snd_mixer_elem_t* elem = elements[i].elem;
    std::string name = snd_mixer_selem_get_name(elem);
    auto channels = static_cast<DWORD>(elements[i].channels.size());

    if (snd_mixer_selem_is_enum_capture(elem)) {
      hasCapture = true;
      MIXERCONTROL selector;
      selector.dwControlID = ControlId(i, kSource);
      selector.dwControlType = MIXERCONTROL_CONTROLTYPE_MUX;
      selector.fdwControl = MIXERCONTROL_CONTROLF_MULTIPLE | MIXERCONTROL_CONTROLF_UNIFORM;
      int items = snd_mixer_selem_get_enum_items(elem);
      selector.cMultipleItems = items > 0 ? static_cast<DWORD>(items) : 0;
      selector.szName = name;
      selector.dwMaximum = selector.cMultipleItems ? selector.cMultipleItems - 1 : 0;
      selector.cSteps = selector.cMultipleItems;
      if (selector.cMultipleItems) destination.controls.push_back(selector);
      continue;
    }
    if (snd_mixer_selem_is_enumerated(elem)) continue;

    bool hasVolume = snd_mixer_selem_has_capture_volume(elem);
    bool hasSwitch = snd_mixer_selem_has_capture_switch(elem);
    if (!hasVolume && !hasSwitch) continue;
    hasCapture = true;

    if (hasSwitch) {
      MIXERCONTROL onOff;
      onOff.dwControlID = ControlId(i, kSwitch);
      onOff.dwControlType = MIXERCONTROL_CONTROLTYPE_ONOFF;
      if (snd_mixer_selem_has_capture_switch_joined(elem) || channels == 1)
        onOff.fdwControl = MIXERCONTROL_CONTROLF_UNIFORM;
      onOff.szName = name;
      onOff.dwMaximum = 1;
      onOff.cSteps = 1;
      destination.controls.push_back(onOff);
    }

    MixerLineEntry source;
    source.line.dwSource = static_cast<DWORD>(topology.sources.size());
    source.line.dwLineID = CMixerModel::SourceLineId(topology.sources.size());
    source.line.cChannels = channels;
    source.line.szName = name;
    if (hasVolume) {
      long minimum = 0, maximum = 0;
      snd_mixer_selem_get_capture_volume_range(elem, &minimum, &maximum);
      MIXERCONTROL volume;
      volume.dwControlID = ControlId(i, kVolume);
      volume.dwControlType = MIXERCONTROL_CONTROLTYPE_VOLUME;
      if (!snd_mixer_selem_is_active(elem)) volume.fdwControl |= MIXERCONTROL_CONTROLF_DISABLED;
      if (snd_mixer_selem_has_capture_volume_joined(elem) || channels == 1)
        volume.fdwControl |= MIXERCONTROL_CONTROLF_UNIFORM;
      volume.szName = name;
      volume.dwMinimum = static_cast<DWORD>(minimum);
      volume.dwMaximum = static_cast<DWORD>(maximum);
      volume.cSteps = static_cast<DWORD>(maximum - minimum);
      source.controls.push_back(volume);
    }
    source.line.cControls = static_cast<DWORD>(source.controls.size());
    destination.line.cChannels = std::max(destination.line.cChannels, channels);
    topology.sources.push_back(std::move(source));
  }

  if (!hasCapture) return topology;
  destination.line.cConnections = static_cast<DWORD>(topology.sources.size());
  destination.line.cControls = static_cast<DWORD>(destination.controls.size());
  topology.destination = std::move(destination);
  return topology;
}

class CAlsaMixer : public CMixerModel, public platform::CMsgTarget {
 public:
  CAlsaMixer(MixerPtr mixer, std::vector<Element> elements, MixerTopology topology, HWND hwndCallback)
      : CMixerModel(std::move(topology)),
        m_mixer(std::move(mixer)),
        m_elements(std::move(elements)),
        m_hwndCallback(hwndCallback) {
    for (auto& element : m_elements) {
      snd_mixer_elem_set_callback_private(element.elem, &element);
      snd_mixer_elem_set_callback(element.elem, &CAlsaMixer::OnElementEvent);
    }
    m_lastValues = ReadAll();
    CreateTarget();
    int count = snd_mixer_poll_descriptors_count(m_mixer.get());
    std::vector<pollfd> fds(count > 0 ? static_cast<std::size_t>(count) : 0);
    if (!fds.empty() && snd_mixer_poll_descriptors(m_mixer.get(), fds.data(), static_cast<unsigned>(count)) == count)
      m_watch = std::make_unique<CMixerEventWatch>(std::move(fds), GetSafeHwnd(), kMsgMixerEvents);
  }
  ~CAlsaMixer() override {
    m_watch.reset();  // before the mixer its descriptors belong to
    // Closing removes every element, and each removal reaches its entry in
    // m_elements: close while they are still there.
    m_mixer.reset();
    DestroyTarget();
  }

  void OnMessage(platform::UINT message, platform::WPARAM, platform::LPARAM) override {
    if (message != kMsgMixerEvents || !m_watch) return;
    if (snd_mixer_handle_events(m_mixer.get()) < 0) return;  // the card is gone: stop watching
    NotifyChanges();
    m_watch->Rearm();
  }

 protected:
  MMRESULT ReadValues(const MIXERCONTROL& control, DWORD, DWORD cChannels, std::vector<DWORD>& values) override {
    const Element& element = m_elements[ElementIndex(control.dwControlID)];
    if (!element.elem) return MMSYSERR_NODRIVER;
    DWORD items = control.cMultipleItems;
    for (DWORD c = 0; c < cChannels; ++c) {
      auto channel = ChannelOf(element, c);
      int err = 0;
      switch (KindOf(control.dwControlID)) {
        case kVolume: {
          long value = 0;
          err = snd_mixer_selem_get_capture_volume(element.elem, channel, &value);
          values[c] = static_cast<DWORD>(value);
          break;
        }
        case kSwitch: {
          int on = 0;
          err = snd_mixer_selem_get_capture_switch(element.elem, channel, &on);
          values[c] = on ? 1 : 0;
          break;
        }
        case kSource: {
          unsigned item = 0;
          err = snd_mixer_selem_get_enum_item(element.elem, channel, &item);
          for (DWORD i = 0; i < items; ++i) values[c * items + i] = i == item ? 1 : 0;
          break;
        }
      }
      if (err < 0) return AlsaResult(err);
    }
    return MMSYSERR_NOERROR;
  }

  MMRESULT WriteValues(const MIXERCONTROL& control, DWORD dwLineChannels, DWORD cChannels,
                       const std::vector<DWORD>& values) override {
    const Element& element = m_elements[ElementIndex(control.dwControlID)];
    if (!element.elem) return MMSYSERR_NODRIVER;
    DWORD items = control.cMultipleItems;
    // One value set for a line of more channels sets them all.
    DWORD channels =
        cChannels == 1 ? std::max<DWORD>(dwLineChannels, static_cast<DWORD>(element.channels.size())) : cChannels;
    for (DWORD c = 0; c < channels; ++c) {
      DWORD from = cChannels == 1 ? 0 : c;
      auto channel = ChannelOf(element, c);
      int err = 0;
      switch (KindOf(control.dwControlID)) {
        case kVolume:
          if (values[from] < control.dwMinimum || values[from] > control.dwMaximum) return MIXERR_INVALVALUE;
          err = snd_mixer_selem_set_capture_volume(element.elem, channel, static_cast<long>(values[from]));
          break;
        case kSwitch:
          err = snd_mixer_selem_set_capture_switch(element.elem, channel, values[from] ? 1 : 0);
          break;
        case kSource:
          for (DWORD i = 0; i < items; ++i)
            if (values[from * items + i]) err = snd_mixer_selem_set_enum_item(element.elem, channel, i);
          break;
      }
      if (err < 0) return AlsaResult(err);
    }
    return MMSYSERR_NOERROR;
  }

 private:
  static snd_mixer_selem_channel_id_t ChannelOf(const Element& element, DWORD c) {
    return element.channels[std::min<std::size_t>(c, element.channels.size() - 1)];
  }

  static int OnElementEvent(snd_mixer_elem_t* elem, unsigned int mask) {
    // The element is freed after this; nothing may reach it again.
    if (mask == SND_CTL_EVENT_MASK_REMOVE)
      static_cast<Element*>(snd_mixer_elem_get_callback_private(elem))->elem = nullptr;
    return 0;
  }

  // Current values of every control, by control id.
  std::map<DWORD, std::vector<DWORD>> ReadAll() {
    std::map<DWORD, std::vector<DWORD>> all;
    auto readLine = [&](const MixerLineEntry& entry) {
      for (const auto& control : entry.controls) {
        std::vector<DWORD> values(DetailCount(entry.line.cChannels, control.cMultipleItems));
        if (ReadValues(control, entry.line.cChannels, entry.line.cChannels, values) == MMSYSERR_NOERROR)
          all[control.dwControlID] = std::move(values);
      }
    };
    if (Topology().destination) readLine(*Topology().destination);
    for (const auto& source : Topology().sources) readLine(source);
    return all;
  }

  // The card reports changed elements, not controls: compare to tell which.
  void NotifyChanges() {
    auto now = ReadAll();
    for (const auto& [id, values] : now) {
      auto it = m_lastValues.find(id);
      if (it == m_lastValues.end() || it->second != values)
        platform::PostMessage(m_hwndCallback, MM_MIXM_CONTROL_CHANGE, 0, static_cast<platform::LPARAM>(id));
    }
    m_lastValues = std::move(now);
  }

  MixerPtr m_mixer;
  std::vector<Element> m_elements;
  HWND m_hwndCallback;
  std::map<DWORD, std::vector<DWORD>> m_lastValues;
  std::unique_ptr<CMixerEventWatch> m_watch;
};

}  // namespace

std::vector<std::string> CAlsaMixerSystem::ListCapturePcms() { return CAlsaWaveDevices::ListPcmNames(true); }

std::vector<std::string> CAlsaMixerSystem::ListMixers() {
  std::vector<std::string> names;
  for (int card = -1; snd_card_next(&card) == 0 && card >= 0;) names.push_back(CardControl(card));
  if (DefaultIsSoundServer()) names.emplace_back(kDefaultPcm);
  return names;
}

UINT CAlsaMixerSystem::GetNumWaveInDevs() { return static_cast<UINT>(ListCapturePcms().size()); }

UINT CAlsaMixerSystem::GetNumMixerDevs() { return static_cast<UINT>(ListMixers().size()); }

MMRESULT CAlsaMixerSystem::OpenWaveIn(std::unique_ptr<IWaveInProbe>& probe, UINT uDeviceId, const WAVEFORMATEX& wfx) {
  std::string name = kDefaultPcm;
  if (uDeviceId != WAVE_MAPPER) {
    auto names = ListCapturePcms();
    if (uDeviceId >= names.size()) return MMSYSERR_BADDEVICEID;
    name = names[uDeviceId];
  }
  if (wfx.wFormatTag != WAVE_FORMAT_PCM || (wfx.wBitsPerSample != 8 && wfx.wBitsPerSample != 16) || wfx.nChannels == 0)
    return WAVERR_BADFORMAT;
  snd_pcm_t* raw = nullptr;
  if (int err = snd_pcm_open(&raw, name.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK); err < 0)
    return AlsaResult(err);
  PcmPtr pcm(raw);
  snd_pcm_format_t format = wfx.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  if (int err = snd_pcm_set_params(pcm.get(), format, SND_PCM_ACCESS_RW_INTERLEAVED, wfx.nChannels, wfx.nSamplesPerSec,
                                   1, kProbeLatencyUs);
      err < 0)
    return AlsaResult(err);
  probe = std::make_unique<CAlsaWaveInProbe>(std::move(pcm), name);
  return MMSYSERR_NOERROR;
}

MMRESULT CAlsaMixerSystem::OpenMixer(std::unique_ptr<IMixer>& mixer, UINT uMixerId, HWND hwndCallback) {
  snd_mixer_t* raw = nullptr;
  if (int err = snd_mixer_open(&raw, 0); err < 0) return AlsaResult(err);
  MixerPtr handle(raw);
  auto mixers = ListMixers();
  if (uMixerId >= mixers.size()) return MMSYSERR_BADDEVICEID;
  if (int err = snd_mixer_attach(handle.get(), mixers[uMixerId].c_str()); err < 0) return AlsaResult(err);
  if (int err = snd_mixer_selem_register(handle.get(), nullptr, nullptr); err < 0) return AlsaResult(err);
  if (int err = snd_mixer_load(handle.get()); err < 0) return AlsaResult(err);
  std::vector<Element> elements;
  MixerTopology topology = BuildTopology(handle.get(), elements);
  mixer = std::make_unique<CAlsaMixer>(std::move(handle), std::move(elements), std::move(topology), hwndCallback);
  return MMSYSERR_NOERROR;
}

IMixerSystem& GetSystemMixer() {
  static CAlsaMixerSystem system;
  return system;
}

}  // namespace audio::mixer
