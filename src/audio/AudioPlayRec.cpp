#include "audio/AudioPlayRec.h"

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/MessageBox.h"
#include "support/Text.h"

namespace audio {

namespace {

constexpr DWORD kBufferSize = 4096;  // bytes per buffer, ~93 ms of one-channel capture
constexpr WORD kBitsPerSample = 16;
constexpr DWORD kSamplesPerSec = 22050;

constexpr platform::UINT_PTR kInputStopTimer = 1;
constexpr platform::UINT_PTR kOutputStopTimer = 2;
constexpr UINT kStopTimeoutMs = 1000;
// Let the device settle between reset and close.
constexpr auto kInputResetPause = std::chrono::milliseconds(10);
constexpr auto kOutputPausePause = std::chrono::milliseconds(100);

// Range of the wave and MIDI notifications the owner's hook sees.
constexpr UINT kFirstMmMessage = 0x3BB;
constexpr UINT kLastMmMessage = 0x3C9;
// The system's error texts are fetched into a buffer of this many characters.
constexpr std::size_t kErrorTextSize = 100;

constexpr const char* kTextErrorAudioDevice = "Error audio device";
constexpr const char* kTextCreateWindowFailed = "Create window failed";
constexpr const char* kTextClassStatusError = "Class status error";
constexpr const char* kTextWriteFileFailed = "Write file failed";
constexpr const char* kTextCannot8BitMp3 = "Cannot record 8 bits mp3";
constexpr const char* kTextReadSoundDataFailed = "Read sound data from file failed";

constexpr const char* kMp3Extension = ".mp3";

void NotifyNothing(UINT, platform::CMsgTarget*) {}

}  // namespace

CAudioPlayRec::CAudioPlayRec() : CAudioPlayRec(GetSystemWaveDevices()) {}

CAudioPlayRec::CAudioPlayRec(IWaveDevices& devices) : m_devices(devices) {}

CAudioPlayRec::~CAudioPlayRec() {
  CloseAll();
  // Buffers handed back by the closing devices must not reach a dead engine.
  DestroyTarget();
}

void CAudioPlayRec::SetNotifyHook(NotifyProc pfnNotify, platform::CMsgTarget* pOwner) {
  m_pfnNotify = pfnNotify;
  m_pOwner = pOwner;
}

// ---- Set-up ---------------------------------------------------------------

bool CAudioPlayRec::Initialize(UINT uDeviceId, HWND hWndParent, platform::CMsgTarget* pOwner) {
  platform::AssertUiThread();
  SelectDevice(uDeviceId);
  if (uDeviceId != WAVE_MAPPER && (uDeviceId >= m_devices.GetNumInDevs() || uDeviceId >= m_devices.GetNumOutDevs())) {
    platform::MessageBox(kTextErrorAudioDevice);
    return false;
  }
  m_dwBufferSize = kBufferSize;
  m_pfnNotify = NotifyNothing;
  m_pOwner = pOwner;
  if (!CreateDisplayWindow(hWndParent)) return false;
  m_nState = kStateReady;
  return true;
}

bool CAudioPlayRec::CreateDisplayWindow(HWND) {
  // A hidden window of the loop, which has no parent windows: the target of
  // the device notifications and timers.
  if (!CreateTarget()) {
    platform::MessageBox(kTextCreateWindowFailed);
    return false;
  }
  CreateDisplayResources();
  return true;
}

void CAudioPlayRec::SelectDevice(UINT uDeviceId) {
  CloseAll();
  m_uDeviceId = uDeviceId;
  m_display.SetDeviceName(GetInputDeviceName(uDeviceId));
  if (GetSafeHwnd() != 0) InvalidateDevicePanel();
}

std::string CAudioPlayRec::GetInputDeviceName(UINT uDeviceId) {
  std::string name;
  if (m_devices.GetInDevName(uDeviceId, name) != MMSYSERR_NOERROR) name.clear();
  return name;
}

void CAudioPlayRec::SetWaveFormat(int nChannelMode) {
  m_nChannelMode = nChannelMode;
  m_wfx.wFormatTag = WAVE_FORMAT_PCM;
  m_wfx.nChannels = nChannelMode == 0 ? 1 : 2;
  m_wfx.nSamplesPerSec = kSamplesPerSec;
  m_wfx.wBitsPerSample = kBitsPerSample;
  m_wfx.nBlockAlign = static_cast<WORD>(2 * m_wfx.nChannels);
  m_wfx.nAvgBytesPerSec = kSamplesPerSec * m_wfx.nBlockAlign;
  m_wfx.cbSize = 0;
}

void CAudioPlayRec::PrepareBuffers() {
  FreeBuffers();
  m_nBuffers = static_cast<std::uint16_t>(m_wfx.wBitsPerSample / 8 + m_wfx.nSamplesPerSec / 11025 + m_wfx.nChannels);
  AllocateBuffers();
}

void CAudioPlayRec::AllocateBuffers() {
  // All zero; a failing allocation throws, as the framework's does.
  m_ppBuffers.assign(m_nBuffers, std::vector<char>(m_dwBufferSize));
  m_pLeft.assign(m_dwBufferSize, 0);
  m_pRight.assign(m_dwBufferSize, 0);
  m_ppHeaders.assign(m_nBuffers, WAVEHDR{});
}

bool CAudioPlayRec::HasSlotTarget(int nSlot) const { return m_hWaveFile[nSlot] || m_mp3[nSlot].m_pMp3File; }

bool CAudioPlayRec::HasRecordingTarget() const {
  for (int slot = 0; slot < kSlots; ++slot)
    if (HasSlotTarget(slot)) return true;
  return false;
}

void CAudioPlayRec::FreeBuffers() {
  // A running capture or playback still uses the set.
  if (m_hWaveIn || m_hWaveOut || HasRecordingTarget()) return;
  m_ppBuffers.clear();
  m_pLeft.clear();
  m_pRight.clear();
  m_ppHeaders.clear();
}

// ---- Recording ------------------------------------------------------------

bool CAudioPlayRec::StartRecording(int nChannelMode) {
  platform::AssertUiThread();
  if (m_nState == kStateRecording) return true;
  m_bInput = true;
  if (m_nState != kStateReady) {
    platform::MessageBox(kTextClassStatusError);
    return false;
  }
  // Only once the state allows a start: while a stop is under way the
  // encoder still holds the last recording's "test.mp3", to be finished.
  ResetEncoderState();
  SetWaveFormat(nChannelMode);
  PrepareBuffers();
  MMRESULT mmr = m_devices.OpenIn(m_hWaveIn, m_uDeviceId, m_wfx, GetSafeHwnd());
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInOpen()", mmr);
    FreeBuffers();
    return false;
  }
  for (int i = 0; i < m_nBuffers; ++i) QueueInputBuffer(i);
  mmr = m_hWaveIn->Start();
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInStart() failed", mmr);
    AbandonInput();
    return false;
  }
  m_nState = kStateRecording;
  return true;
}

// A device that would not start holds the queued buffers: take them back and
// close it, so the set can go and the next recording finds the device free.
void CAudioPlayRec::AbandonInput() {
  std::unique_ptr<IWaveIn> device = std::move(m_hWaveIn);
  MMRESULT mmr = device->Reset();
  if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveInReset() failed", mmr);
  mmr = device->Close();
  device.reset();
  m_nQueued = 0;
  if (mmr != MMSYSERR_NOERROR)
    ReportWaveError("waveInClose() failed", mmr);
  else
    m_nState = kStateStopping;  // until MM_WIM_CLOSE, behind the handed-back buffers
  FreeBuffers();
}

bool CAudioPlayRec::QueueInputBuffer(int nIndex) {
  WAVEHDR& hdr = m_ppHeaders[nIndex];
  hdr = WAVEHDR{};
  hdr.lpData = m_ppBuffers[nIndex].data();
  hdr.dwBufferLength = m_dwBufferSize;
  MMRESULT mmr = m_hWaveIn->PrepareHeader(&hdr);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("AddInputBufferToQueue Failed", mmr);
    return false;
  }
  mmr = m_hWaveIn->AddBuffer(&hdr);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInAddBuffer() failed", mmr);
    return false;
  }
  ++m_nQueued;
  return true;
}

bool CAudioPlayRec::OpenOutputFile(int nSlot, const std::string& strName) {
  platform::AssertUiThread();
  if (nSlot < 0 || nSlot >= kSlots) return false;
  std::string name = support::ToLowerAscii(strName);
  const std::size_t extLength = std::strlen(kMp3Extension);
  if (name.size() >= extLength && name.find(kMp3Extension) == name.size() - extLength) {
    if (m_wfx.wBitsPerSample == 8) {
      platform::MessageBox(kTextCannot8BitMp3);
      return false;
    }
    return LoadEncoder() && OpenMp3Stream(nSlot, name);
  }
  return OpenWaveForWriting(name, nSlot);
}

void CAudioPlayRec::OnInputBufferDone(WAVEHDR* pwh) {
  // Handed back by the reset of a device that has been closed since: not ours any more.
  if (!m_hWaveIn || pwh == nullptr) return;
  MMRESULT mmr = m_hWaveIn->UnprepareHeader(pwh);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInUnprepareHeader() failed", mmr);
    return;
  }
  if (m_nState != kStateRecording) {
    // A stop is under way: drop the data; the last buffer back closes the device.
    if (m_nQueued == 1)
      CloseInput();
    else
      --m_nQueued;
    return;
  }
  DWORD n = SplitChannels(pwh->lpData, pwh->dwBytesRecorded);
  SlotBuffers data;
  if (m_nChannelMode == 2)
    data = {SlotData{m_pLeft.data(), n}, SlotData{m_pRight.data(), n}};
  else
    data = {SlotData{pwh->lpData, pwh->dwBytesRecorded}, SlotData{pwh->lpData, pwh->dwBytesRecorded}};
  for (int slot = 0; slot < kSlots; ++slot) {
    if (!m_hWaveFile[slot]) continue;
    if (m_hWaveFile[slot].Write(data[slot].pData, data[slot].dwBytes) < static_cast<long>(data[slot].dwBytes)) {
      Stop();
      --m_nQueued;
      platform::MessageBox(kTextWriteFileFailed);
      return;
    }
  }
  if (IsEncoderLoaded()) FeedEncoder(data);
  mmr = m_hWaveIn->PrepareHeader(pwh);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInPrepareHeader() failed", mmr);
    return;
  }
  mmr = m_hWaveIn->AddBuffer(pwh);
  if (mmr == MMSYSERR_NODRIVER) {
    // The device has gone (its sound server stopped) and hands back every
    // buffer: end the recording as a failed write does, with one message,
    // so the files close with what was captured.
    Stop();
    --m_nQueued;
    ReportWaveError("waveInAddBuffer() failed", mmr);
    return;
  }
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInAddBuffer() failed", mmr);
    return;
  }
  DrawLevel(n);
}

DWORD CAudioPlayRec::SplitChannels(const char* pData, DWORD dwLength) {
  dwLength = std::min<DWORD>(dwLength, static_cast<DWORD>(m_pLeft.size()));
  if (m_wfx.nChannels != 2) {
    std::memcpy(m_pLeft.data(), pData, dwLength);
    std::memcpy(m_pRight.data(), pData, dwLength);
    return dwLength;
  }
  const DWORD sampleBytes = std::max<DWORD>(m_wfx.wBitsPerSample / 8, 1);
  DWORD n = 0;
  for (DWORD pos = 0; pos + 2 * sampleBytes <= dwLength; pos += 2 * sampleBytes) {
    std::memcpy(&m_pLeft[n], pData + pos, sampleBytes);
    std::memcpy(&m_pRight[n], pData + pos + sampleBytes, sampleBytes);
    n += sampleBytes;
  }
  return n;
}

void CAudioPlayRec::Stop() {
  platform::AssertUiThread();
  if (m_nState == kStatePlaying) {
    MMRESULT mmr = m_hWaveOut->Reset();
    if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveOutReset() failed", mmr);
    platform::SetTimer(GetSafeHwnd(), kOutputStopTimer, kStopTimeoutMs);
  } else if (m_nState == kStateRecording) {
    // The device keeps running; what it hands back from now on is dropped.
    platform::SetTimer(GetSafeHwnd(), kInputStopTimer, kStopTimeoutMs);
  } else {
    return;
  }
  InvalidateDisplay();
  m_nState = kStateStopping;
}

void CAudioPlayRec::CloseInput() {
  if (!m_hWaveIn || (m_nState != kStateRecording && m_nState != kStateStopping)) return;
  // Whichever closes first, the last buffer or the timer, disarms the other,
  // so a stale timer cannot end the next recording.
  platform::KillTimer(GetSafeHwnd(), kInputStopTimer);
  // The engine lets go of the device first: a buffer that comes back while an
  // error box below is open is dropped instead of closing the device again.
  std::unique_ptr<IWaveIn> device = std::move(m_hWaveIn);
  MMRESULT mmr = device->Reset();
  if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveInReset() failed", mmr);
  std::this_thread::sleep_for(kInputResetPause);
  for (int slot = 0; slot < kSlots; ++slot) {
    CloseOutputFile(slot, "mp3");
    CloseOutputFile(slot, "wav");
  }
  mmr = device->Close();
  device.reset();
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveInClose() failed", mmr);
    // No MM_WIM_CLOSE will come for a device that failed to close: post it,
    // behind the buffers the reset handed back, so they are seen as a dead
    // device's before the next recording queues them again.
    platform::PostMessage(GetSafeHwnd(), MM_WIM_CLOSE, 0, 0);
  }
  UnloadEncoder();
}

// ---- Playback -------------------------------------------------------------

bool CAudioPlayRec::Play() {
  platform::AssertUiThread();
  m_bInput = false;
  if (m_nState != kStateReady) {
    platform::MessageBox(kTextClassStatusError);
    return false;
  }
  if (!OpenWaveForReading()) return false;
  MMRESULT mmr = m_devices.OpenOut(m_hWaveOut, m_uDeviceId, m_wfx, GetSafeHwnd());
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveOutOpen() failed", mmr);
    ReleasePlayback();
    return false;
  }
  for (int i = 0; i < m_nBuffers; ++i) {
    long n = ReadWaveData(m_ppBuffers[i].data(), m_dwBufferSize);
    if (n <= 0) {
      if (i == 0) {
        platform::MessageBox(kTextReadSoundDataFailed);
        ReleasePlayback();
        return false;
      }
      break;  // the file is shorter than the buffer set
    }
    if (!QueueOutputBuffer(i, static_cast<DWORD>(n))) {
      ReleasePlayback();
      return false;
    }
  }
  m_nState = kStatePlaying;
  return true;
}

// A playback that failed to start gives back "test.wav" (slot 0 is the next
// recording's too) and the output device with whatever it was given.
void CAudioPlayRec::ReleasePlayback() {
  if (m_hWaveOut) {
    std::unique_ptr<IWaveOut> device = std::move(m_hWaveOut);
    MMRESULT mmr = device->Reset();
    if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveOutReset() failed", mmr);
    mmr = device->Close();
    device.reset();
    m_nQueued = 0;
    if (mmr != MMSYSERR_NOERROR)
      ReportWaveError("waveOutClose() failed", mmr);
    else
      m_nState = kStateStopping;  // until MM_WOM_CLOSE, behind the handed-back buffers
  }
  m_hWaveFile[0].Close();
}

bool CAudioPlayRec::QueueOutputBuffer(int nIndex, DWORD dwBytes) {
  WAVEHDR& hdr = m_ppHeaders[nIndex];
  hdr = WAVEHDR{};
  hdr.lpData = m_ppBuffers[nIndex].data();
  hdr.dwBufferLength = dwBytes;
  hdr.dwUser = static_cast<std::uintptr_t>(nIndex);
  MMRESULT mmr = m_hWaveOut->PrepareHeader(&hdr);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveOutPrepareHeader() failed", mmr);
    return false;
  }
  mmr = m_hWaveOut->Write(&hdr);
  if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveOutWrite() failed", mmr);
  ++m_nQueued;
  // The display shows each buffer as it is queued, ahead of hearing it.
  DrawLevel(SplitChannels(hdr.lpData, dwBytes));
  return true;
}

void CAudioPlayRec::OnOutputBufferDone(WAVEHDR* pwh) {
  if (!m_hWaveOut || pwh == nullptr) return;
  MMRESULT mmr = m_hWaveOut->UnprepareHeader(pwh);
  if (mmr != MMSYSERR_NOERROR) {
    ReportWaveError("waveOutUnprepareHeader() failed", mmr);
    return;
  }
  --m_nQueued;
  if (m_nState == kStatePlaying) {
    long n = ReadWaveData(pwh->lpData, m_dwBufferSize);
    if (n > 0 && pwh->dwUser < m_nBuffers) {
      QueueOutputBuffer(static_cast<int>(pwh->dwUser), static_cast<DWORD>(n));
      return;
    }
    // End of the file: the buffers still queued are played out rather than
    // reset away, and the last one back closes the device.
    FinishPlayback();
  }
  if (m_nQueued == 0 && m_nState != kStatePlaying) CloseOutput();
}

void CAudioPlayRec::FinishPlayback() {
  platform::SetTimer(GetSafeHwnd(), kOutputStopTimer, kStopTimeoutMs);
  InvalidateDisplay();
  m_nState = kStateStopping;
}

void CAudioPlayRec::CloseOutput() {
  if (!m_hWaveOut || (m_nState != kStatePlaying && m_nState != kStateStopping)) return;
  platform::KillTimer(GetSafeHwnd(), kOutputStopTimer);
  std::unique_ptr<IWaveOut> device = std::move(m_hWaveOut);
  // Buffers still queued (the program closing while it plays, or timer 2
  // before the last ones came back) would make the close fail: take them back.
  if (m_nQueued > 0) {
    MMRESULT mmr = device->Reset();
    if (mmr != MMSYSERR_NOERROR) ReportWaveError("waveOutReset() failed", mmr);
  }
  device->Pause();
  std::this_thread::sleep_for(kOutputPausePause);
  MMRESULT mmr = device->Close();
  device.reset();
  m_nQueued = 0;
  m_hWaveFile[0].Close();
  if (mmr != MMSYSERR_NOERROR) {
    m_nState = kStateReady;  // no MM_WOM_CLOSE will come
    ReportWaveError("waveOutClose() failed", mmr);
  }
  // Otherwise Stopping until MM_WOM_CLOSE, as the input side does: a close
  // notice handled after a new recording started would end it.
}

void CAudioPlayRec::CloseAll() {
  if (m_hWaveIn) CloseInput();
  if (m_hWaveOut) CloseOutput();
  FreeBuffers();
}

// ---- Messages -------------------------------------------------------------

bool CAudioPlayRec::PreTranslateMessage(platform::MSG& msg) {
  if (msg.hwnd == GetSafeHwnd()) {
    auto* pwh = reinterpret_cast<WAVEHDR*>(msg.lParam);
    switch (msg.message) {
      case MM_WIM_DATA:
        OnInputBufferDone(pwh);
        break;
      case MM_WIM_CLOSE:
        m_nQueued = 0;
        m_bInput = false;
        m_nState = kStateReady;
        break;
      case MM_WOM_DONE:
        OnOutputBufferDone(pwh);
        break;
      case MM_WOM_CLOSE:
        m_bInput = false;
        m_nState = kStateReady;
        break;
      default:
        break;
    }
    if (msg.message >= kFirstMmMessage && msg.message <= kLastMmMessage && m_pfnNotify != nullptr)
      m_pfnNotify(msg.message, m_pOwner);
  }
  return CMsgTarget::PreTranslateMessage(msg);
}

void CAudioPlayRec::OnTimer(platform::UINT_PTR nIDEvent) {
  if (nIDEvent == kInputStopTimer) {
    platform::KillTimer(GetSafeHwnd(), kInputStopTimer);
    CloseInput();
  } else if (nIDEvent == kOutputStopTimer) {
    platform::KillTimer(GetSafeHwnd(), kOutputStopTimer);
    CloseOutput();
  }
  CMsgTarget::OnTimer(nIDEvent);
}

void CAudioPlayRec::ReportWaveError(const std::string& strOperation, MMRESULT mmr) {
  std::string text = m_bInput ? m_devices.GetInErrorText(mmr) : m_devices.GetOutErrorText(mmr);
  if (text.size() >= kErrorTextSize) text.resize(kErrorTextSize - 1);
  char code[16];
  std::snprintf(code, sizeof code, "%x", mmr);
  // "WAVEIN:%x:%s %s", for output errors too.
  platform::MessageBox("WAVEIN:" + std::string(code) + ":" + text + " " + strOperation);
}

}  // namespace audio
