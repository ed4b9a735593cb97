#include "net/Upload.h"

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "net/Outbox.h"
#include "net/SendData.h"
#include "platform/MessageLoop.h"

namespace {

constexpr const char* kUploadPath = "/Upfile.ashx";
constexpr const char* kUploadPathEnglish = "/Upfile_en.ashx";
constexpr const char* kRecordingFile = "test.mp3";
constexpr auto kDoneDelay = std::chrono::milliseconds(100);

// The upload threads are detached; this count is how the program knows
// that none is still running.
class CRunningUploads {
 public:
  void Started() {
    std::lock_guard lock(m_lock);
    ++m_nRunning;
  }
  void Finished() {
    std::lock_guard lock(m_lock);
    if (--m_nRunning == 0) m_none.notify_all();
  }
  bool WaitUntilNone(std::chrono::milliseconds timeout) {
    std::unique_lock lock(m_lock);
    return m_none.wait_for(lock, timeout, [this] { return m_nRunning == 0; });
  }

 private:
  // Guards m_nRunning.
  std::mutex m_lock;
  std::condition_variable m_none;
  int m_nRunning = 0;
};

CRunningUploads& RunningUploads() {
  static CRunningUploads uploads;
  return uploads;
}

}  // namespace

unsigned UploadThreadProc(UploadParam* pParam) { return UploadThreadProc(pParam, CUploadSettings()); }

void PrepareUpload(CSendData& sendData, const UploadParam& param) {
  sendData.SetServer(param.strEnglish == "1" ? kUploadPathEnglish : kUploadPath);
  sendData.Reset();
  sendData.AddField("uid", param.strUid);
  sendData.AddField("tid", param.strTid);
}

unsigned UploadThreadProc(UploadParam* pParam, const CUploadSettings& settings) {
  // Each upload has its own CSendData, so uploads started back to back
  // never touch the same object.
  CSendData sendData;
  PrepareUpload(sendData, *pParam);
  sendData.AddFile(kRecordingFile, "txtfile");
  sendData.Send(settings);

  std::this_thread::sleep_for(kDoneDelay);
  platform::PostMessage(pParam->hWnd, WM_UPLOAD_DONE, 1, 0);
  return 1;
}

unsigned UploadThreadProc(UploadParam* pParam, COutbox& outbox) {
  const std::string entry = outbox.Keep(*pParam, kRecordingFile);
  if (entry.empty()) return UploadThreadProc(pParam, outbox.GetSettings());
  // The service is back: what waited goes after it.
  if (outbox.Send(entry) == COutbox::EOutcome::Delivered) outbox.Wake();
  std::this_thread::sleep_for(kDoneDelay);
  platform::PostMessage(pParam->hWnd, WM_UPLOAD_DONE, 1, 0);
  return 1;
}

bool StartUpload(const UploadParam& param, std::shared_ptr<COutbox> pOutbox) {
  auto copy = std::make_unique<UploadParam>(param);
  CRunningUploads& running = RunningUploads();
  running.Started();
  try {
    std::thread([copy = std::move(copy), pOutbox = std::move(pOutbox), &running]() mutable {
      if (pOutbox)
        UploadThreadProc(copy.get(), *pOutbox);
      else
        UploadThreadProc(copy.get());
      // The last owner may be this thread: the outbox goes before the count.
      pOutbox.reset();
      running.Finished();
    }).detach();
  } catch (const std::system_error&) {
    running.Finished();
    return false;
  }
  return true;
}

bool WaitForUploads(std::chrono::milliseconds timeout) { return RunningUploads().WaitUntilNone(timeout); }
