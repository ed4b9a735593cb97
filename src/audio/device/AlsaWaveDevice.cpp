#include "audio/device/AlsaWaveDevice.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "audio/device/AlsaPcm.h"
#include "platform/MessageLoop.h"

namespace audio {

namespace {

// The name WAVE_MAPPER opens.
constexpr const char* kDefaultPcm = "default";
// Size of ALSA's playback ring: nearly all the engine queues, so a worker
// kept off the CPU that long on a busy machine leaves no gap in the sound.
constexpr unsigned kLatencyUs = 400000;
// Capture is read in 20 ms periods, so what was said just before RecStop has
// reached the engine by then; the ring covers the worker's own hiccups.
constexpr unsigned kCapturePeriodUs = 20000;
constexpr unsigned kCaptureRingUs = 500000;
// Captured while every buffer is with the engine (its thread busy elsewhere),
// kept for it up to this long.
constexpr unsigned kCaptureBacklogMs = 5000;
// Longest time a worker waits on ALSA before it looks at new requests.
constexpr int kPollMs = 20;
constexpr std::chrono::milliseconds kPollInterval{kPollMs};

struct HintsFree {
  void operator()(void** hints) const { snd_device_name_free_hint(hints); }
};

struct CStringFree {
  void operator()(char* s) const { std::free(s); }
};
using HintText = std::unique_ptr<char, CStringFree>;

MMRESULT AlsaResult(long err) { return static_cast<MMRESULT>(static_cast<int>(err)); }

// Short periods in a long ring; where a PCM cannot, as close as it can.
int SetCaptureParams(snd_pcm_t* pcm, snd_pcm_format_t format, const WAVEFORMATEX& wfx) {
  snd_pcm_hw_params_t* hw = nullptr;
  snd_pcm_hw_params_alloca(&hw);
  unsigned rate = wfx.nSamplesPerSec, ring = kCaptureRingUs, period = kCapturePeriodUs;
  int err = snd_pcm_hw_params_any(pcm, hw);
  if (err >= 0) err = snd_pcm_hw_params_set_rate_resample(pcm, hw, 1);
  if (err >= 0) err = snd_pcm_hw_params_set_access(pcm, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
  if (err >= 0) err = snd_pcm_hw_params_set_format(pcm, hw, format);
  if (err >= 0) err = snd_pcm_hw_params_set_channels(pcm, hw, wfx.nChannels);
  if (err >= 0) err = snd_pcm_hw_params_set_rate(pcm, hw, rate, 0);
  if (err >= 0) err = snd_pcm_hw_params_set_period_time_near(pcm, hw, &period, nullptr);
  if (err >= 0) err = snd_pcm_hw_params_set_buffer_time_near(pcm, hw, &ring, nullptr);
  if (err >= 0) err = snd_pcm_hw_params(pcm, hw);
  return err;
}

MMRESULT OpenPcm(PcmPtr& out, const std::string& name, snd_pcm_stream_t stream, const WAVEFORMATEX& wfx) {
  if (!IsPlayableFormat(wfx)) return WAVERR_BADFORMAT;
  snd_pcm_t* raw = nullptr;
  int err = snd_pcm_open(&raw, name.c_str(), stream, SND_PCM_NONBLOCK);
  if (err < 0) return AlsaResult(err);
  PcmPtr pcm(raw);
  snd_pcm_format_t format = wfx.wBitsPerSample == 8 ? SND_PCM_FORMAT_U8 : SND_PCM_FORMAT_S16_LE;
  if (stream == SND_PCM_STREAM_CAPTURE) {
    err = SetCaptureParams(pcm.get(), format, wfx);
    if (err < 0) return AlsaResult(err);
    out = std::move(pcm);
    return MMSYSERR_NOERROR;
  }
  err = snd_pcm_set_params(pcm.get(), format, SND_PCM_ACCESS_RW_INTERLEAVED, wfx.nChannels, wfx.nSamplesPerSec, 1,
                           kLatencyUs);
  if (err < 0) return AlsaResult(err);
  // Start after one period rather than a full ring, so short sounds play too.
  snd_pcm_uframes_t bufferSize = 0, periodSize = 0;
  snd_pcm_sw_params_t* sw = nullptr;
  snd_pcm_sw_params_alloca(&sw);
  if (snd_pcm_get_params(pcm.get(), &bufferSize, &periodSize) == 0 && snd_pcm_sw_params_current(pcm.get(), sw) == 0 &&
      snd_pcm_sw_params_set_start_threshold(pcm.get(), sw, periodSize) == 0)
    snd_pcm_sw_params(pcm.get(), sw);
  out = std::move(pcm);
  return MMSYSERR_NOERROR;
}

// One open PCM with its worker thread. Only the worker calls ALSA on the PCM
// while it runs; the caller's thread hands it requests under m_lock.
class CAlsaStream {
 public:
  CAlsaStream(PcmPtr pcm, HWND hwnd, const WAVEFORMATEX& wfx, UINT doneMessage, UINT closeMessage)
      : m_pcm(std::move(pcm)),
        m_hwnd(hwnd),
        m_frameBytes(wfx.nBlockAlign),
        m_doneMessage(doneMessage),
        m_closeMessage(closeMessage) {}
  virtual ~CAlsaStream() = default;

 protected:
  MMRESULT Prepare(WAVEHDR* pwh) {
    std::lock_guard lock(m_lock);
    return m_bClosed ? MMSYSERR_INVALHANDLE : PrepareWaveHeader(pwh);
  }
  MMRESULT Unprepare(WAVEHDR* pwh) {
    std::lock_guard lock(m_lock);
    return m_bClosed ? MMSYSERR_INVALHANDLE : UnprepareWaveHeader(pwh);
  }
  MMRESULT Enqueue(WAVEHDR* pwh) {
    std::lock_guard lock(m_lock);
    if (m_bClosed) return MMSYSERR_INVALHANDLE;
    if (m_bGone) return MMSYSERR_NODRIVER;
    if (auto r = CheckQueueable(pwh)) return r;
    pwh->dwFlags = (pwh->dwFlags & ~WHDR_DONE) | WHDR_INQUEUE;
    pwh->dwBytesRecorded = 0;
    pwh->reserved = 0;  // bytes of it moved so far
    m_queue.push_back(pwh);
    m_cv.notify_all();
    return MMSYSERR_NOERROR;
  }
  // Waits until the worker has stopped the PCM and handed every buffer back.
  MMRESULT RequestReset() {
    std::unique_lock lock(m_lock);
    if (m_bClosed) return MMSYSERR_INVALHANDLE;
    m_bResetRequested = true;
    m_cv.notify_all();
    m_cv.wait(lock, [this] { return !m_bResetRequested; });
    return MMSYSERR_NOERROR;
  }
  MMRESULT CloseStream() {
    {
      std::lock_guard lock(m_lock);
      if (m_bClosed) return MMSYSERR_INVALHANDLE;
      if (HasBuffers()) return WAVERR_STILLPLAYING;
      m_bClosed = true;
    }
    StopWorker();
    m_pcm.reset();
    platform::PostMessage(m_hwnd, m_closeMessage, 0, 0);
    return MMSYSERR_NOERROR;
  }

  void StartWorker() {
    m_worker = std::thread([this] { Run(); });
  }
  void StopWorker() {
    {
      std::lock_guard lock(m_lock);
      m_bQuit = true;
    }
    m_cv.notify_all();
    if (m_worker.joinable()) m_worker.join();
  }

  // Worker side. Run takes m_lock itself; HandBack and FinishReset are
  // called with it held.
  virtual void Run() = 0;
  virtual bool HasBuffers() const { return !m_queue.empty(); }
  void HandBack(WAVEHDR* pwh) {
    pwh->dwFlags = (pwh->dwFlags & ~WHDR_INQUEUE) | WHDR_DONE;
    platform::PostMessage(m_hwnd, m_doneMessage, 0, reinterpret_cast<platform::LPARAM>(pwh));
  }
  void FinishReset() {
    m_bResetRequested = false;
    m_cv.notify_all();
  }

  PcmPtr m_pcm;
  const HWND m_hwnd;
  const unsigned m_frameBytes;
  const UINT m_doneMessage;
  const UINT m_closeMessage;
  // m_lock guards m_queue (and the headers in it) and the four flags below;
  // m_cv waits on it.
  std::mutex m_lock;
  std::condition_variable m_cv;
  std::deque<WAVEHDR*> m_queue;
  bool m_bQuit = false;
  bool m_bResetRequested = false;
  bool m_bClosed = false;
  // The PCM failed for good; only a reset and the close still work.
  bool m_bGone = false;
  std::thread m_worker;
};

// Capture reads whatever the PCM has into a backlog of its own and fills the
// queued buffers from it in order. A buffer goes back when it is full, or,
// once the PCM has nothing more to give, when it holds a quarter of its
// length: a pupil's last words reach the engine before RecStop does. While
// every buffer is with the engine the backlog keeps what is captured, so the
// PCM never overruns. A reset hands back what was captured up to it.
class CAlsaWaveIn : public IWaveIn, CAlsaStream {
 public:
  CAlsaWaveIn(PcmPtr pcm, HWND hwnd, const WAVEFORMATEX& wfx)
      : CAlsaStream(std::move(pcm), hwnd, wfx, MM_WIM_DATA, MM_WIM_CLOSE),
        m_maxBacklog(static_cast<std::size_t>(wfx.nAvgBytesPerSec) * kCaptureBacklogMs / 1000),
        m_chunk(static_cast<std::size_t>(wfx.nAvgBytesPerSec) * kCapturePeriodUs / 1000000 * 4) {
    m_backlog.reserve(m_maxBacklog);
    StartWorker();
  }
  ~CAlsaWaveIn() override { StopWorker(); }

  MMRESULT PrepareHeader(WAVEHDR* pwh) override { return Prepare(pwh); }
  MMRESULT UnprepareHeader(WAVEHDR* pwh) override { return Unprepare(pwh); }
  MMRESULT AddBuffer(WAVEHDR* pwh) override { return Enqueue(pwh); }
  MMRESULT Start() override {
    std::lock_guard lock(m_lock);
    if (m_bClosed) return MMSYSERR_INVALHANDLE;
    if (m_bGone) return MMSYSERR_NODRIVER;
    m_bStarted = true;
    m_cv.notify_all();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override { return RequestReset(); }
  MMRESULT Close() override { return CloseStream(); }

 private:
  enum class ReadResult { Full, Drained, Failed };

  // Worker, without m_lock: moves what the PCM holds now into the backlog.
  ReadResult ReadAvailable() {
    for (;;) {
      std::size_t room = (m_maxBacklog - std::min(m_maxBacklog, m_backlog.size())) / m_frameBytes;
      if (room == 0) return ReadResult::Full;  // the PCM holds the rest for now
      room = std::min(room, m_chunk.size() / m_frameBytes);
      snd_pcm_sframes_t n = snd_pcm_readi(m_pcm.get(), m_chunk.data(), room);
      if (n == -EAGAIN) return ReadResult::Drained;
      if (n < 0) {
        // An overrun loses what did not fit; a PCM that cannot be prepared again has gone.
        if (snd_pcm_recover(m_pcm.get(), static_cast<int>(n), 1) < 0 || snd_pcm_start(m_pcm.get()) < 0)
          return ReadResult::Failed;
        continue;
      }
      m_backlog.insert(m_backlog.end(), m_chunk.begin(), m_chunk.begin() + n * m_frameBytes);
      if (static_cast<std::size_t>(n) < room) return ReadResult::Drained;
    }
  }

  // Worker, m_lock held: fills the queued buffers from the backlog, in order.
  void Deliver(bool bCaughtUp) {
    std::size_t used = 0;
    while (!m_queue.empty() && used < m_backlog.size()) {
      WAVEHDR* pwh = m_queue.front();
      std::size_t space = (pwh->dwBufferLength - pwh->dwBytesRecorded) / m_frameBytes * m_frameBytes;
      std::size_t n = std::min(space, m_backlog.size() - used);
      std::memcpy(pwh->lpData + pwh->dwBytesRecorded, m_backlog.data() + used, n);
      pwh->dwBytesRecorded += static_cast<DWORD>(n);
      used += n;
      if (pwh->dwBufferLength - pwh->dwBytesRecorded < m_frameBytes) {
        m_queue.pop_front();
        HandBack(pwh);
      }
    }
    m_backlog.erase(m_backlog.begin(), m_backlog.begin() + static_cast<std::ptrdiff_t>(used));
    if (bCaughtUp && m_backlog.empty() && !m_queue.empty()) {
      WAVEHDR* pwh = m_queue.front();
      if (pwh->dwBytesRecorded >= pwh->dwBufferLength / 4) {
        m_queue.pop_front();
        HandBack(pwh);
      }
    }
  }

  void HandBackAll() {
    for (WAVEHDR* pwh : m_queue) HandBack(pwh);
    m_queue.clear();
  }

  void Run() override {
    std::unique_lock lock(m_lock);
    while (!m_bQuit) {
      if (m_bResetRequested) {
        lock.unlock();
        if (m_bRunning) ReadAvailable();
        snd_pcm_drop(m_pcm.get());
        snd_pcm_prepare(m_pcm.get());
        lock.lock();
        Deliver(false);
        HandBackAll();
        m_backlog.clear();
        m_bStarted = m_bRunning = false;
        FinishReset();
        continue;
      }
      if (!m_bStarted || m_bGone) {
        m_cv.wait(lock);
        continue;
      }
      lock.unlock();
      ReadResult result = ReadResult::Failed;
      if (m_bRunning || snd_pcm_start(m_pcm.get()) >= 0) {
        m_bRunning = true;
        result = ReadAvailable();
      }
      lock.lock();
      Deliver(result == ReadResult::Drained);
      if (result == ReadResult::Failed) {
        // The device has gone (a sound server that stopped): what was
        // captured goes back, and every later call says so.
        HandBackAll();
        m_bGone = true;
        continue;
      }
      if (result == ReadResult::Drained) {
        lock.unlock();
        // A PCM in trouble says so at once; the next read tells what kind.
        if (snd_pcm_wait(m_pcm.get(), kPollMs) < 0) std::this_thread::sleep_for(kPollInterval);
        lock.lock();
      } else if (m_queue.empty()) {
        m_cv.wait_for(lock, kPollInterval);  // full until the engine gives a buffer back
      }
    }
  }

  const std::size_t m_maxBacklog;
  // Worker only: what was read and not yet delivered, and the read scratch.
  std::vector<char> m_backlog;
  std::vector<char> m_chunk;
  bool m_bRunning = false;
  // Under m_lock.
  bool m_bStarted = false;
};

class CAlsaWaveOut : public IWaveOut, CAlsaStream {
 public:
  CAlsaWaveOut(PcmPtr pcm, HWND hwnd, const WAVEFORMATEX& wfx)
      : CAlsaStream(std::move(pcm), hwnd, wfx, MM_WOM_DONE, MM_WOM_CLOSE) {
    StartWorker();
  }
  ~CAlsaWaveOut() override { StopWorker(); }

  MMRESULT PrepareHeader(WAVEHDR* pwh) override { return Prepare(pwh); }
  MMRESULT UnprepareHeader(WAVEHDR* pwh) override { return Unprepare(pwh); }
  MMRESULT Write(WAVEHDR* pwh) override { return Enqueue(pwh); }
  MMRESULT Pause() override {
    std::lock_guard lock(m_lock);
    if (m_bClosed) return MMSYSERR_INVALHANDLE;
    m_bPauseRequested = true;
    m_cv.notify_all();
    return MMSYSERR_NOERROR;
  }
  MMRESULT Reset() override { return RequestReset(); }
  MMRESULT Close() override { return CloseStream(); }

 private:
  // A buffer fully handed to ALSA, waiting to be heard.
  struct Written {
    WAVEHDR* pwh;
    std::uint64_t endFrame;
  };

  bool HasBuffers() const override { return !m_queue.empty() || !m_written.empty(); }

  void StartIfPrepared() {
    if (m_framesWritten > 0 && snd_pcm_state(m_pcm.get()) == SND_PCM_STATE_PREPARED) snd_pcm_start(m_pcm.get());
  }

  // Hands back the buffers the device has played: a buffer is done when
  // every frame of it has left ALSA's ring, not when it entered it.
  void ReapPlayed() {
    if (m_written.empty()) return;
    snd_pcm_sframes_t delay = 0;
    std::uint64_t played = m_framesWritten;
    if (snd_pcm_state(m_pcm.get()) == SND_PCM_STATE_XRUN) {
      snd_pcm_prepare(m_pcm.get());  // ran dry: everything written was heard
    } else if (snd_pcm_delay(m_pcm.get(), &delay) == 0 && delay > 0) {
      played -= std::min<std::uint64_t>(static_cast<std::uint64_t>(delay), m_framesWritten);
    }
    while (!m_written.empty() && m_written.front().endFrame <= played) {
      HandBack(m_written.front().pwh);
      m_written.pop_front();
    }
  }

  void Run() override {
    std::unique_lock lock(m_lock);
    while (!m_bQuit) {
      if (m_bResetRequested) {
        snd_pcm_drop(m_pcm.get());
        snd_pcm_prepare(m_pcm.get());
        for (const Written& w : m_written) HandBack(w.pwh);
        for (WAVEHDR* pwh : m_queue) HandBack(pwh);
        m_written.clear();
        m_queue.clear();
        m_framesWritten = 0;
        m_bPaused = m_bPauseRequested = false;
        FinishReset();
        continue;
      }
      if (m_bPauseRequested) {
        if (!m_bPaused && snd_pcm_state(m_pcm.get()) == SND_PCM_STATE_RUNNING) snd_pcm_pause(m_pcm.get(), 1);
        m_bPaused = true;
        m_bPauseRequested = false;
      }
      if (m_bPaused) {
        m_cv.wait(lock);
        continue;
      }
      ReapPlayed();
      if (!m_queue.empty()) {
        WAVEHDR* pwh = m_queue.front();
        lock.unlock();
        snd_pcm_uframes_t frames = (pwh->dwBufferLength - pwh->reserved) / m_frameBytes;
        snd_pcm_sframes_t n = frames ? snd_pcm_writei(m_pcm.get(), pwh->lpData + pwh->reserved, frames) : 0;
        if (n == -EAGAIN) {
          snd_pcm_wait(m_pcm.get(), kPollMs);
        } else if (n < 0 && snd_pcm_recover(m_pcm.get(), static_cast<int>(n), 1) < 0) {
          // A device that cannot recover drops the rest of the buffer rather than hang.
          n = static_cast<snd_pcm_sframes_t>(frames);
        }
        lock.lock();
        if (n > 0) {
          pwh->reserved += static_cast<std::uintptr_t>(n) * m_frameBytes;
          m_framesWritten += static_cast<std::uint64_t>(n);
        }
        if (pwh->dwBufferLength - pwh->reserved < m_frameBytes) {
          m_queue.pop_front();
          m_written.push_back(Written{pwh, m_framesWritten});
        }
      } else if (!m_written.empty()) {
        StartIfPrepared();  // a tail shorter than the start threshold must still play
        m_cv.wait_for(lock, kPollInterval);
      } else {
        m_cv.wait(lock);
      }
    }
  }

  std::deque<Written> m_written;
  std::uint64_t m_framesWritten = 0;
  bool m_bPauseRequested = false;
  bool m_bPaused = false;
};

std::string FirstLine(const std::string& text) { return text.substr(0, text.find('\n')); }

}  // namespace

std::vector<PcmHint> ReadPcmHints() {
  std::vector<PcmHint> hints;
  void** raw = nullptr;
  if (snd_device_name_hint(-1, "pcm", &raw) < 0 || raw == nullptr) return hints;
  std::unique_ptr<void*, HintsFree> owner(raw);
  for (void** hint = owner.get(); *hint != nullptr; ++hint) {
    HintText name(snd_device_name_get_hint(*hint, "NAME"));
    HintText desc(snd_device_name_get_hint(*hint, "DESC"));
    HintText ioid(snd_device_name_get_hint(*hint, "IOID"));
    if (!name) continue;
    hints.push_back(PcmHint{name.get(), desc ? FirstLine(desc.get()) : name.get(), ioid ? ioid.get() : ""});
  }
  return hints;
}

bool DefaultIsSoundServer() {
  for (snd_pcm_stream_t stream : {SND_PCM_STREAM_CAPTURE, SND_PCM_STREAM_PLAYBACK}) {
    snd_pcm_t* raw = nullptr;
    if (snd_pcm_open(&raw, kDefaultPcm, stream, SND_PCM_NONBLOCK) < 0) continue;
    PcmPtr pcm(raw);
    return snd_pcm_type(pcm.get()) == SND_PCM_TYPE_IOPLUG;
  }
  return false;
}

std::vector<PcmHint> ChooseWaveDevices(const std::vector<PcmHint>& hints, bool capture, bool soundServer) {
  auto isDefault = [](const PcmHint& h) { return h.name == kDefaultPcm; };
  std::vector<PcmHint> list;
  if (soundServer) {
    auto it = std::find_if(hints.begin(), hints.end(), isDefault);
    list.push_back(it != hints.end() ? *it : PcmHint{kDefaultPcm, kDefaultPcm, ""});
    return list;
  }
  // Every PCM ALSA makes for a card is named "…:CARD=…".
  auto onCard = [](const PcmHint& h) { return h.name.find("CARD=") != std::string::npos; };
  const std::string direction = capture ? "Input" : "Output";
  for (const auto& h : hints)
    if (isDefault(h) && (h.ioid.empty() || h.ioid == direction)) list.push_back(h);
  for (const auto& h : hints)
    if (onCard(h) && h.ioid.empty()) list.push_back(h);
  for (const auto& h : hints)
    if (onCard(h) && h.ioid == direction) list.push_back(h);
  return list;
}

CAlsaWaveDevices::CAlsaWaveDevices(std::vector<std::string> pcmNames)
    : m_bFixed(true), m_fixedNames(std::move(pcmNames)) {}

std::vector<PcmHint> CAlsaWaveDevices::List(bool capture) const {
  if (!m_bFixed) return ChooseWaveDevices(ReadPcmHints(), capture, DefaultIsSoundServer());
  std::vector<PcmHint> list;
  for (const auto& name : m_fixedNames) list.push_back(PcmHint{name, name, ""});
  return list;
}

std::vector<std::string> CAlsaWaveDevices::ListPcmNames(bool capture) {
  std::vector<std::string> names;
  for (const auto& pcm : CAlsaWaveDevices().List(capture)) names.push_back(pcm.name);
  return names;
}

MMRESULT CAlsaWaveDevices::Resolve(bool capture, UINT uDeviceId, PcmHint& pcm) const {
  if (uDeviceId == WAVE_MAPPER) {
    pcm = PcmHint{kDefaultPcm, kDefaultPcm, ""};
    return MMSYSERR_NOERROR;
  }
  auto list = List(capture);
  if (uDeviceId >= list.size()) return MMSYSERR_BADDEVICEID;
  pcm = list[uDeviceId];
  return MMSYSERR_NOERROR;
}

UINT CAlsaWaveDevices::GetNumInDevs() { return static_cast<UINT>(List(true).size()); }
UINT CAlsaWaveDevices::GetNumOutDevs() { return static_cast<UINT>(List(false).size()); }

MMRESULT CAlsaWaveDevices::GetInDevName(UINT uDeviceId, std::string& name) {
  PcmHint pcm;
  if (auto r = Resolve(true, uDeviceId, pcm)) return r;
  name = pcm.description;
  return MMSYSERR_NOERROR;
}

MMRESULT CAlsaWaveDevices::GetPcmName(bool capture, UINT uDeviceId, std::string& pcmName) {
  PcmHint pcm;
  if (auto r = Resolve(capture, uDeviceId, pcm)) return r;
  pcmName = pcm.name;
  return MMSYSERR_NOERROR;
}

MMRESULT CAlsaWaveDevices::OpenIn(std::unique_ptr<IWaveIn>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                                  HWND hwndNotify) {
  PcmHint pcm;
  if (auto r = Resolve(true, uDeviceId, pcm)) return r;
  PcmPtr handle;
  if (auto r = OpenPcm(handle, pcm.name, SND_PCM_STREAM_CAPTURE, wfx)) return r;
  device = std::make_unique<CAlsaWaveIn>(std::move(handle), hwndNotify, wfx);
  return MMSYSERR_NOERROR;
}

MMRESULT CAlsaWaveDevices::OpenOut(std::unique_ptr<IWaveOut>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                                   HWND hwndNotify) {
  PcmHint pcm;
  if (auto r = Resolve(false, uDeviceId, pcm)) return r;
  PcmPtr handle;
  if (auto r = OpenPcm(handle, pcm.name, SND_PCM_STREAM_PLAYBACK, wfx)) return r;
  device = std::make_unique<CAlsaWaveOut>(std::move(handle), hwndNotify, wfx);
  return MMSYSERR_NOERROR;
}

std::string CAlsaWaveDevices::GetInErrorText(MMRESULT code) {
  return static_cast<int>(code) < 0 ? snd_strerror(static_cast<int>(code)) : WaveErrorText(code);
}

std::string CAlsaWaveDevices::GetOutErrorText(MMRESULT code) { return GetInErrorText(code); }

IWaveDevices& GetSystemWaveDevices() {
  static CAlsaWaveDevices devices;
  return devices;
}

}  // namespace audio
