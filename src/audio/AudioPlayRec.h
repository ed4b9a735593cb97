#pragma once
// The recorder/player engine: records the wave-input device into WAV (and
// MP3) targets and plays "test.wav" back through the wave-output device. It is
// a window of the UI thread's message loop: the devices post their
// notifications to it and its two stop timers fire on it, so everything runs
// on the UI thread without locks.
#include <array>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "audio/LevelDisplay.h"
#include "audio/Mp3Target.h"
#include "audio/RiffFile.h"
#include "audio/WaveDevice.h"
#include "audio/encoder/LameLibrary.h"
#include "platform/MessageLoop.h"

namespace audio {

class CAudioPlayRec : public platform::CMsgTarget {
 public:
  // m_nState
  static constexpr int kStateUninitialised = 0;
  static constexpr int kStateReady = 1;
  static constexpr int kStatePlaying = 2;
  static constexpr int kStateRecording = 3;
  static constexpr int kStateStopping = 4;

  // Called for every multimedia notification after the engine handled it.
  using NotifyProc = void (*)(UINT uMsg, platform::CMsgTarget* pOwner);

  // On the machine's sound devices.
  CAudioPlayRec();
  explicit CAudioPlayRec(IWaveDevices& devices);
  ~CAudioPlayRec() override;

  // The five operations run on the UI thread (checked in debug builds).
  bool Initialize(UINT uDeviceId, HWND hWndParent, platform::CMsgTarget* pOwner);
  bool StartRecording(int nChannelMode);
  // "….mp3" is an MP3 target, any other name a WAV target; slot 0 or 1.
  bool OpenOutputFile(int nSlot, const std::string& strName);
  void Stop();
  bool Play();

  int GetState() const { return m_nState; }
  // The display holds the name it draws.
  const std::string& GetDeviceName() const { return m_display.GetDeviceName(); }
  // What the engine's window shows.
  const CLevelDisplay& GetDisplay() const { return m_display; }
  void SetBackgroundColor(COLORREF crBack) { m_display.SetBackgroundColor(crBack); }
  // The client size Initialize creates the window with; the program keeps it
  // hidden at 0 × 0, where drawing costs next to nothing.
  void SetWindowSize(int cx, int cy) { m_rcWindow = RECT{0, 0, cx, cy}; }
  IWaveDevices& GetDevices() { return m_devices; }
  void SetNotifyHook(NotifyProc pfnNotify, platform::CMsgTarget* pOwner);
  // The encoder library file every MP3 target loads; empty (the default) for
  // the program's own search: next to the executable, then the system's path.
  void SetEncoderLibraryPath(const std::string& strPath) { m_strEncoderPath = strPath; }

  bool PreTranslateMessage(platform::MSG& msg) override;
  void OnTimer(platform::UINT_PTR nIDEvent) override;

 private:
  static constexpr int kSlots = 2;
  // What one file slot receives from a captured buffer.
  struct SlotData {
    const char* pData;
    DWORD dwBytes;
  };
  using SlotBuffers = std::array<SlotData, kSlots>;

  // Device and buffers.
  bool CreateDisplayWindow(HWND hWndParent);
  void SelectDevice(UINT uDeviceId);
  std::string GetInputDeviceName(UINT uDeviceId);
  void SetWaveFormat(int nChannelMode);
  void PrepareBuffers();
  void AllocateBuffers();
  void FreeBuffers();
  bool QueueInputBuffer(int nIndex);
  bool QueueOutputBuffer(int nIndex, DWORD dwBytes);
  void OnInputBufferDone(WAVEHDR* pwh);
  void OnOutputBufferDone(WAVEHDR* pwh);
  void FinishPlayback();
  void AbandonInput();
  void ReleasePlayback();
  void CloseInput();
  void CloseOutput();
  void CloseAll();
  DWORD SplitChannels(const char* pData, DWORD dwLength);
  void ReportWaveError(const std::string& strOperation, MMRESULT mmr);

  // WAV files.
  bool OpenWaveForWriting(const std::string& strName, int nSlot);
  bool OpenWaveForReading();
  long ReadWaveData(char* pBuffer, DWORD dwCount);
  void CloseOutputFile(int nSlot, const std::string& strType);

  // MP3 targets (AudioMp3.cpp).
  bool IsEncoderLoaded() const { return m_ForMp3_hDll.IsLoaded(); }
  bool LoadEncoder();
  // The loaded library's entry points; all null when none is loaded.
  const LameEntryPoints& Procs() const { return m_ForMp3_hDll.EntryPoints(); }
  bool OpenMp3Stream(int nSlot, const std::string& strName);
  void FeedEncoder(const SlotBuffers& data);
  bool EncodeChunk(int nSlot, unsigned char* pPcm, DWORD dwBytes);
  void FinishMp3Stream(int nSlot);
  void UnloadEncoder();
  void ResetEncoderState();

  // Level display (AudioDisplay.cpp).
  void CreateDisplayResources();
  void InvalidateDisplay();
  void InvalidateDevicePanel();
  void DrawLevel(DWORD dwBytesPerChannel);

  // A WAV or an MP3 target in the slot, in any slot.
  bool HasSlotTarget(int nSlot) const;
  bool HasRecordingTarget() const;

  IWaveDevices& m_devices;

  int m_nQueued = 0;
  NotifyProc m_pfnNotify = nullptr;
  platform::CMsgTarget* m_pOwner = nullptr;
  // The device name, background, client rectangle and fonts of the window's drawing.
  CLevelDisplay m_display;
  RECT m_rcWindow;
  int m_nState = kStateUninitialised;
  bool m_bInput = false;
  UINT m_uDeviceId = 0;
  WAVEFORMATEX m_wfx{};
  int m_nChannelMode = 0;
  std::unique_ptr<IWaveIn> m_hWaveIn;
  std::unique_ptr<IWaveOut> m_hWaveOut;
  // Sized once per recording or playback; the devices hold pointers into them.
  std::vector<std::vector<char>> m_ppBuffers;
  std::vector<char> m_pLeft;
  std::vector<char> m_pRight;
  std::vector<WAVEHDR> m_ppHeaders;
  DWORD m_dwBufferSize = 1024;
  std::uint16_t m_nBuffers = 0;

  // File slots: a WAV target (or the playback file in slot 0) and an MP3 target each.
  std::array<CRiffFile, kSlots> m_hWaveFile;
  std::array<MMCKINFO, kSlots> m_ckRiff{};
  std::array<MMCKINFO, kSlots> m_ckSub{};
  // The encoder library, loaded for each recording with an MP3 target, and
  // its entry points (Procs). Declared before the targets, which close
  // their streams through it when they go.
  CLameLibrary m_ForMp3_hDll;
  std::array<CMp3Target, kSlots> m_mp3;
  DWORD m_nPcmBufferSize = 0;
  DWORD m_dwSamples = 0;
  std::string m_strEncoderPath;
};

}  // namespace audio
