#include "net/Upload.h"

#include <chrono>
#include <memory>
#include <system_error>
#include <thread>

#include "net/SendData.h"
#include "platform/MessageLoop.h"

namespace {

constexpr const char* kUploadPath = "/Upfile.ashx";
constexpr const char* kUploadPathEnglish = "/Upfile_en.ashx";
constexpr const char* kRecordingFile = "test.mp3";
constexpr auto kDoneDelay = std::chrono::milliseconds(100);

}  // namespace

unsigned UploadThreadProc(UploadParam* pParam) {
  // Each upload has its own CSendData, so uploads started back to back
  // never touch the same object.
  CSendData sendData;
  sendData.SetServer(pParam->strEnglish == "1" ? kUploadPathEnglish : kUploadPath);
  sendData.Reset();
  sendData.AddField("uid", pParam->strUid);
  sendData.AddField("tid", pParam->strTid);
  sendData.AddFile(kRecordingFile, "txtfile");
  sendData.Send();

  std::this_thread::sleep_for(kDoneDelay);
  platform::PostMessage(pParam->hWnd, WM_UPLOAD_DONE, 1, 0);
  return 1;
}

bool StartUpload(const UploadParam& param) {
  auto copy = std::make_unique<UploadParam>(param);
  try {
    std::thread([copy = std::move(copy)] { UploadThreadProc(copy.get()); }).detach();
  } catch (const std::system_error&) {
    return false;
  }
  return true;
}
