#pragma once
// A sound device that exists only in memory, for tests and benchmarks: it
// captures the bytes the caller supplies into the buffers queued, plays
// buffers when told to, can be told to fail any call, and counts what passed
// through it. It posts the same notifications as a real device, so an engine
// on it runs through the real message loop.
#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "audio/device/WaveDevice.h"

namespace audio {

class CSimWaveDevices : public IWaveDevices {
 public:
  enum class Call {
    GetDevCaps,
    InOpen,
    InPrepare,
    InUnprepare,
    InAddBuffer,
    InStart,
    InReset,
    InClose,
    OutOpen,
    OutPrepare,
    OutUnprepare,
    OutWrite,
    OutPause,
    OutReset,
    OutClose,
  };

  explicit CSimWaveDevices(UINT numIn = 1, UINT numOut = 1, std::string inDevName = "Simulated microphone");
  ~CSimWaveDevices() override;

  void SetDeviceCounts(UINT numIn, UINT numOut);
  // The nth next call of that kind (1: the very next) returns code instead of running.
  void FailCall(Call call, MMRESULT code, int nth = 1);

  // Input: bytes the microphone hears next.
  void SupplyInput(std::span<const std::uint8_t> bytes);
  // While started, fills up to n queued buffers, whole ones only, from the
  // supplied bytes and hands them back. Returns how many were handed back.
  int DeliverInput(int n);
  // Hands back up to n written buffers in order, as played, unless paused.
  int CompleteOutput(int n);

  // Counters.
  int QueuedCount() const { return m_nQueued; }          // successful AddBuffer calls
  int WrittenCount() const { return m_nWritten; }        // successful Write calls
  int HandedBackCount() const { return m_nHandedBack; }  // buffers given back, either direction
  int InputInQueue() const { return static_cast<int>(m_inQueue.size()); }
  int OutputInQueue() const { return static_cast<int>(m_outQueue.size()); }
  int CallCount(Call call) const { return m_calls[static_cast<int>(call)]; }
  // Bytes of the output buffers played so far, in order.
  const std::vector<std::uint8_t>& Played() const { return m_played; }
  bool IsInOpen() const { return m_inOpen; }
  bool IsOutOpen() const { return m_outOpen; }
  bool IsInStarted() const { return m_inStarted; }
  bool IsOutPaused() const { return m_outPaused; }
  UINT LastOpenedId() const { return m_lastId; }
  const WAVEFORMATEX& LastFormat() const { return m_lastFormat; }

  // IWaveDevices
  UINT GetNumInDevs() override { return m_numIn; }
  UINT GetNumOutDevs() override { return m_numOut; }
  MMRESULT GetInDevName(UINT uDeviceId, std::string& name) override;
  MMRESULT OpenIn(std::unique_ptr<IWaveIn>& device, UINT uDeviceId, const WAVEFORMATEX& wfx, HWND hwndNotify) override;
  MMRESULT OpenOut(std::unique_ptr<IWaveOut>& device, UINT uDeviceId, const WAVEFORMATEX& wfx,
                   HWND hwndNotify) override;

 private:
  friend class CSimWaveIn;
  friend class CSimWaveOut;
  static constexpr std::size_t kCalls = static_cast<std::size_t>(Call::OutClose) + 1;

  // Counts the call; a non-zero result is the failure asked for.
  MMRESULT Enter(Call call);
  MMRESULT CheckId(UINT uDeviceId, UINT count) const;
  void HandBack(HWND hwnd, UINT message, WAVEHDR* pwh);

  MMRESULT InAddBuffer(WAVEHDR* pwh);
  MMRESULT InStart();
  MMRESULT InReset();
  MMRESULT InClose();
  MMRESULT OutWrite(WAVEHDR* pwh);
  MMRESULT OutPause();
  MMRESULT OutReset();
  MMRESULT OutClose();

  struct Failure {
    int countdown = 0;
    MMRESULT code = MMSYSERR_NOERROR;
  };

  UINT m_numIn;
  UINT m_numOut;
  std::string m_inDevName;
  std::array<Failure, kCalls> m_failures{};
  std::array<int, kCalls> m_calls{};

  bool m_inOpen = false;
  bool m_inStarted = false;
  HWND m_inHwnd = 0;
  std::vector<WAVEHDR*> m_inQueue;
  std::vector<std::uint8_t> m_supplied;
  std::size_t m_suppliedPos = 0;

  bool m_outOpen = false;
  bool m_outPaused = false;
  HWND m_outHwnd = 0;
  std::vector<WAVEHDR*> m_outQueue;
  std::vector<std::uint8_t> m_played;

  int m_nQueued = 0;
  int m_nWritten = 0;
  int m_nHandedBack = 0;
  UINT m_lastId = 0;
  WAVEFORMATEX m_lastFormat{};
};

}  // namespace audio
