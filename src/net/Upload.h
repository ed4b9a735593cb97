#pragma once
// The recording upload: one worker thread per upload, each with its own
// parameters and its own CSendData, telling the main window when it is done.
#include <chrono>
#include <memory>
#include <string>

#include "platform/WinTypes.h"

struct CUploadSettings;
class COutbox;
class CSendData;

struct UploadParam {
  std::string strUid;
  std::string strTid;
  std::string strEnglish;
  platform::HWND hWnd = 0;
};

// Posted to UploadParam::hWnd with wParam 1 and lParam 0 when an upload has
// finished, whatever its outcome.
constexpr platform::UINT WM_UPLOAD_DONE = platform::WM_USER + 100;

// Upload host of the program; QUILLBY_UPLOAD_HOST ("host" or "host:port")
// points it elsewhere.
constexpr const char* kUploadHost = "upload.quillby.cn";
constexpr const char* kUploadHostVariable = "QUILLBY_UPLOAD_HOST";
std::string GetUploadHost();

// An upload's request up to its file part: the path the English flag
// picks, then the fields uid and tid.
void PrepareUpload(CSendData& sendData, const UploadParam& param);

// Uploads "test.mp3" from the current directory with the two identifiers,
// sleeps 100 ms and posts WM_UPLOAD_DONE. Returns 1.
unsigned UploadThreadProc(UploadParam* pParam);
unsigned UploadThreadProc(UploadParam* pParam, const CUploadSettings& settings);
// The same upload, kept in outbox first and removed from it once the
// service has taken it; when it cannot be kept it goes as above. The movie
// hears the same whatever the outcome.
unsigned UploadThreadProc(UploadParam* pParam, COutbox& outbox);

// Starts UploadThreadProc on a detached thread of its own with a copy of
// param, so an upload never shares state with one still running; with
// pOutbox through that outbox, which the thread keeps alive.
// False when no thread could be started (then no message follows).
bool StartUpload(const UploadParam& param, std::shared_ptr<COutbox> pOutbox = nullptr);

// Waits until every upload started by StartUpload has posted its message
// and let go of the message loop; false if some are still running after
// timeout. The program calls it before it ends, so that no upload thread
// outlives the loop it posts to.
bool WaitForUploads(std::chrono::milliseconds timeout);
