#include "audio/sim/SimWaveDevice.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "platform/MessageLoop.h"

namespace audio {

// The open devices are thin handles onto the simulator's state.
class CSimWaveIn : public IWaveIn {
 public:
  explicit CSimWaveIn(CSimWaveDevices& sim) : m_sim(sim) {}
  ~CSimWaveIn() override {
    // Destroyed without a close: the device goes away with its buffers.
    m_sim.m_inOpen = false;
    m_sim.m_inStarted = false;
    m_sim.m_inQueue.clear();
  }
  MMRESULT PrepareHeader(WAVEHDR* pwh) override {
    if (auto r = m_sim.Enter(CSimWaveDevices::Call::InPrepare)) return r;
    return PrepareWaveHeader(pwh);
  }
  MMRESULT UnprepareHeader(WAVEHDR* pwh) override {
    if (auto r = m_sim.Enter(CSimWaveDevices::Call::InUnprepare)) return r;
    return UnprepareWaveHeader(pwh);
  }
  MMRESULT AddBuffer(WAVEHDR* pwh) override { return m_sim.InAddBuffer(pwh); }
  MMRESULT Start() override { return m_sim.InStart(); }
  MMRESULT Reset() override { return m_sim.InReset(); }
  MMRESULT Close() override { return m_sim.InClose(); }

 private:
  CSimWaveDevices& m_sim;
};

class CSimWaveOut : public IWaveOut {
 public:
  explicit CSimWaveOut(CSimWaveDevices& sim) : m_sim(sim) {}
  ~CSimWaveOut() override {
    m_sim.m_outOpen = false;
    m_sim.m_outPaused = false;
    m_sim.m_outQueue.clear();
  }
  MMRESULT PrepareHeader(WAVEHDR* pwh) override {
    if (auto r = m_sim.Enter(CSimWaveDevices::Call::OutPrepare)) return r;
    return PrepareWaveHeader(pwh);
  }
  MMRESULT UnprepareHeader(WAVEHDR* pwh) override {
    if (auto r = m_sim.Enter(CSimWaveDevices::Call::OutUnprepare)) return r;
    return UnprepareWaveHeader(pwh);
  }
  MMRESULT Write(WAVEHDR* pwh) override { return m_sim.OutWrite(pwh); }
  MMRESULT Pause() override { return m_sim.OutPause(); }
  MMRESULT Reset() override { return m_sim.OutReset(); }
  MMRESULT Close() override { return m_sim.OutClose(); }

 private:
  CSimWaveDevices& m_sim;
};

CSimWaveDevices::CSimWaveDevices(UINT numIn, UINT numOut, std::string inDevName)
    : m_numIn(numIn), m_numOut(numOut), m_inDevName(std::move(inDevName)) {}

CSimWaveDevices::~CSimWaveDevices() = default;

void CSimWaveDevices::SetDeviceCounts(UINT numIn, UINT numOut) {
  m_numIn = numIn;
  m_numOut = numOut;
}

void CSimWaveDevices::FailCall(Call call, MMRESULT code, int nth) {
  m_failures[static_cast<std::size_t>(call)] = Failure{nth, code};
}

MMRESULT CSimWaveDevices::Enter(Call call) {
  auto i = static_cast<std::size_t>(call);
  ++m_calls[i];
  Failure& f = m_failures[i];
  if (f.countdown > 0 && --f.countdown == 0) return f.code;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::CheckId(UINT uDeviceId, UINT count) const {
  if (uDeviceId == WAVE_MAPPER) return count > 0 ? MMSYSERR_NOERROR : MMSYSERR_NODRIVER;
  return uDeviceId < count ? MMSYSERR_NOERROR : MMSYSERR_BADDEVICEID;
}

void CSimWaveDevices::HandBack(HWND hwnd, UINT message, WAVEHDR* pwh) {
  pwh->dwFlags = (pwh->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
  ++m_nHandedBack;
  platform::PostMessage(hwnd, message, 0, reinterpret_cast<platform::LPARAM>(pwh));
}

MMRESULT CSimWaveDevices::GetInDevName(UINT uDeviceId, std::string& name) {
  if (auto r = Enter(Call::GetDevCaps)) return r;
  if (auto r = CheckId(uDeviceId, m_numIn)) return r;
  name = m_inDevName;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::OpenIn(std::unique_ptr<IWaveIn>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                                 HWND hwndNotify) {
  if (auto r = Enter(Call::InOpen)) return r;
  if (auto r = CheckId(uDeviceId, m_numIn)) return r;
  if (!IsPlayableFormat(wfx)) return WAVERR_BADFORMAT;
  if (m_inOpen) return MMSYSERR_ALLOCATED;
  m_inOpen = true;
  m_inStarted = false;
  m_inHwnd = hwndNotify;
  m_lastId = uDeviceId;
  m_lastFormat = wfx;
  device = std::make_unique<CSimWaveIn>(*this);
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::OpenOut(std::unique_ptr<IWaveOut>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                                  HWND hwndNotify) {
  if (auto r = Enter(Call::OutOpen)) return r;
  if (auto r = CheckId(uDeviceId, m_numOut)) return r;
  if (!IsPlayableFormat(wfx)) return WAVERR_BADFORMAT;
  if (m_outOpen) return MMSYSERR_ALLOCATED;
  m_outOpen = true;
  m_outPaused = false;
  m_outHwnd = hwndNotify;
  m_lastId = uDeviceId;
  m_lastFormat = wfx;
  device = std::make_unique<CSimWaveOut>(*this);
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::InAddBuffer(WAVEHDR* pwh) {
  if (auto r = Enter(Call::InAddBuffer)) return r;
  if (auto r = CheckQueueable(pwh)) return r;
  pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  pwh->dwBytesRecorded = 0;
  m_inQueue.push_back(pwh);
  ++m_nQueued;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::InStart() {
  if (auto r = Enter(Call::InStart)) return r;
  m_inStarted = true;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::InReset() {
  if (auto r = Enter(Call::InReset)) return r;
  m_inStarted = false;
  auto queue = std::exchange(m_inQueue, {});
  for (WAVEHDR* pwh : queue) HandBack(m_inHwnd, MM_WIM_DATA, pwh);
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::InClose() {
  if (auto r = Enter(Call::InClose)) return r;
  if (!m_inQueue.empty()) return WAVERR_STILLPLAYING;
  m_inOpen = false;
  m_inStarted = false;
  platform::PostMessage(m_inHwnd, MM_WIM_CLOSE, 0, 0);
  return MMSYSERR_NOERROR;
}

void CSimWaveDevices::SupplyInput(std::span<const std::uint8_t> bytes) {
  // Drop what was consumed before growing, so a long run stays small.
  m_supplied.erase(m_supplied.begin(), m_supplied.begin() + static_cast<std::ptrdiff_t>(m_suppliedPos));
  m_suppliedPos = 0;
  m_supplied.insert(m_supplied.end(), bytes.begin(), bytes.end());
}

int CSimWaveDevices::DeliverInput(int n) {
  int delivered = 0;
  while (delivered < n && m_inOpen && m_inStarted && !m_inQueue.empty()) {
    WAVEHDR* pwh = m_inQueue.front();
    if (m_supplied.size() - m_suppliedPos < pwh->dwBufferLength) break;
    std::memcpy(pwh->lpData, m_supplied.data() + m_suppliedPos, pwh->dwBufferLength);
    m_suppliedPos += pwh->dwBufferLength;
    pwh->dwBytesRecorded = pwh->dwBufferLength;
    m_inQueue.erase(m_inQueue.begin());
    HandBack(m_inHwnd, MM_WIM_DATA, pwh);
    ++delivered;
  }
  return delivered;
}

MMRESULT CSimWaveDevices::OutWrite(WAVEHDR* pwh) {
  if (auto r = Enter(Call::OutWrite)) return r;
  if (auto r = CheckQueueable(pwh)) return r;
  pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
  m_outQueue.push_back(pwh);
  ++m_nWritten;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::OutPause() {
  if (auto r = Enter(Call::OutPause)) return r;
  m_outPaused = true;
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::OutReset() {
  if (auto r = Enter(Call::OutReset)) return r;
  m_outPaused = false;
  auto queue = std::exchange(m_outQueue, {});
  for (WAVEHDR* pwh : queue) HandBack(m_outHwnd, MM_WOM_DONE, pwh);
  return MMSYSERR_NOERROR;
}

MMRESULT CSimWaveDevices::OutClose() {
  if (auto r = Enter(Call::OutClose)) return r;
  if (!m_outQueue.empty()) return WAVERR_STILLPLAYING;
  m_outOpen = false;
  m_outPaused = false;
  platform::PostMessage(m_outHwnd, MM_WOM_CLOSE, 0, 0);
  return MMSYSERR_NOERROR;
}

int CSimWaveDevices::CompleteOutput(int n) {
  int played = 0;
  while (played < n && m_outOpen && !m_outPaused && !m_outQueue.empty()) {
    WAVEHDR* pwh = m_outQueue.front();
    m_outQueue.erase(m_outQueue.begin());
    m_played.insert(m_played.end(), pwh->lpData, pwh->lpData + pwh->dwBufferLength);
    HandBack(m_outHwnd, MM_WOM_DONE, pwh);
    ++played;
  }
  return played;
}

}  // namespace audio
