#pragma once
// The recording-level control of one wave-input device through the system
// mixer, and the probe that picks the recording device with it. UI thread only.
#include <memory>

#include "audio/volume/VolumeMixer.h"
#include "platform/MessageLoop.h"

namespace audio {

using platform::DWORD;
using platform::HWND;
using platform::UINT;

// Called with each new value of the control and the caller's data.
using VolumeChangeCallback = void (*)(DWORD dwValue, DWORD dwUserData);

// What GetSteps, GetMinimum, GetMaximum and GetVolume give without a control.
constexpr DWORD kVolumeAbsent = static_cast<DWORD>(-1);

class IVolume {
 public:
  virtual bool IsAvailable() = 0;
  virtual void SelectInput() = 0;
  virtual void Reserved() = 0;
  virtual DWORD GetSteps() = 0;
  virtual DWORD GetMinimum() = 0;
  virtual DWORD GetMaximum() = 0;
  virtual DWORD GetVolume() = 0;
  virtual void SetVolume(DWORD dwValue) = 0;
  // A null function switches notification off.
  virtual void SetChangeCallback(VolumeChangeCallback pfnCallback, DWORD dwUserData) = 0;

 protected:
  // Never deleted through the interface.
  ~IVolume() = default;
};

class CVolumeInXXX final : public IVolume {
 public:
  explicit CVolumeInXXX(UINT uDeviceId, mixer::IMixerSystem& system = mixer::GetSystemMixer());
  ~CVolumeInXXX();
  CVolumeInXXX(const CVolumeInXXX&) = delete;
  CVolumeInXXX& operator=(const CVolumeInXXX&) = delete;

  bool IsAvailable() override;
  void SelectInput() override;
  void Reserved() override;
  DWORD GetSteps() override;
  DWORD GetMinimum() override;
  DWORD GetMaximum() override;
  DWORD GetVolume() override;
  void SetVolume(DWORD dwValue) override;
  void SetChangeCallback(VolumeChangeCallback pfnCallback, DWORD dwUserData) override;

  // A control of the mixer changed (MM_MIXM_CONTROL_CHANGE).
  void OnControlChange(DWORD dwControlId);

 private:
  // The hidden window the mixer posts its notifications to.
  class CMsgWnd : public platform::CMsgTarget {
   public:
    void OnMessage(platform::UINT message, platform::WPARAM wParam, platform::LPARAM lParam) override;
  };

  bool OpenMixer();
  bool FindVolumeControl();
  void CloseMixer();

  mixer::IMixerSystem& m_system;
  UINT m_uDeviceId;
  bool m_bOpen = false;
  bool m_bReady = false;
  bool m_bAvailable = false;
  UINT m_uMixerId = 0;
  std::unique_ptr<mixer::IMixer> m_hMixer;
  DWORD m_dwLineId = 0;
  DWORD m_dwControlId = 0;
  int m_nChannels = 0;
  int m_nSelectedInput = 0;
  HWND m_hMsgWnd = 0;
  CMsgWnd m_msgWnd;
  DWORD m_dwMinimum = static_cast<DWORD>(-1);
  DWORD m_dwMaximum = static_cast<DWORD>(-1);
  DWORD m_nSteps = 0;
  VolumeChangeCallback m_pfnCallback = nullptr;
  DWORD m_pCallbackData = 0;
};

// The one instance that receives mixer notifications, if any.
extern CVolumeInXXX* g_pVolumeIn;

// The first wave-input device whose mixer offers an enabled volume control
// on the recording destination's first source line; WAVE_MAPPER when none does.
UINT FindRecordingDevice(mixer::IMixerSystem& system = mixer::GetSystemMixer());

}  // namespace audio
