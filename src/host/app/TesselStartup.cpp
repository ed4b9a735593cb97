// The start-up sequence: server, manifest, cache reconciliation, boot movie
// and the encoder library.
#include <thread>

#include "audio/encoder/LameEnc.h"
#include "host/CacheUpkeep.h"
#include "host/app/TesselDlg.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "site/BaseUrl.h"
#include "site/Fetch.h"
#include "site/ProductSite.h"

namespace host {

namespace {

constexpr const char* kCacheSubdir = "/quillby/sz";
constexpr const char* kOutboxSubdir = "/quillby/outbox";
constexpr const char* kDefaultDocument = "INDEX.HTML";
constexpr int kFirstPort = 9898;
constexpr int kClientTimeoutMs = 20000;
constexpr const char* kBootMovie = "http://127.0.0.1:%d/qzboot.swf";
constexpr const char* kManifestFailed = "打开资源更新文件失败！";
// The server could not start (no port could be had, no socket made): the
// movie has nowhere to come from.
constexpr const char* kServerFailed = "课程服务启动失败，无法载入课程！请关闭程序后重新打开。";

}  // namespace

unsigned LameDownloadThreadProc(std::string strBaseUrl) {
  CProductSite(strBaseUrl).Fetch(kLameLibraryFileName, g_exeDir + "/" + kLameLibraryFileName);
  return 1;
}

void CTesselDlg::RunStartup() {
  g_exeDir = platform::GetExeDir();
  // With neither APPDATA nor a home, the cache would land in an undefined
  // place; GetAppDataDir always answers an absolute directory.
  m_cacheDir = platform::GetAppDataDir() + kCacheSubdir;
  // What earlier runs could not upload is sent from now on, on a thread of
  // its own, whatever becomes of the rest of the start-up.
  m_outbox = std::make_shared<COutbox>(platform::GetAppDataDir() + kOutboxSubdir);
  m_outbox->Start();

  // The movie comes only from a port this server holds.
  if (!m_server.Start(m_cacheDir, kDefaultDocument, kFirstPort, kClientTimeoutMs)) {
    platform::MessageBox(kServerFailed);
    return;
  }
  const std::string baseUrl = GetProductBaseUrl();
  const CProductSite& site = m_server.Site();
  // A copy on disk that is missing or damaged, or an address that is this
  // program's own, is worth a word to whoever set it.
  site.ReportProblems();

  site.Fetch(kManifestName, m_cacheDir + "/" + kManifestName);
  if (!ApplyManifest(m_cacheDir)) {
    platform::MessageBox(kManifestFailed);
    return;
  }

  m_loadingText->hide();

  char url[64];
  std::snprintf(url, sizeof url, kBootMovie, m_server.m_nPort);
  m_flash->LoadMovie(0, url);
  m_flash->Play();

  if (!PathExists(g_exeDir + "/" + kLameLibraryFileName)) std::thread(LameDownloadThreadProc, baseUrl).detach();
}

}  // namespace host
