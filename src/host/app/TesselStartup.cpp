// The start-up sequence: server, manifest, cache reconciliation, boot movie
// and the encoder library.
#include <cstdint>
#include <filesystem>
#include <thread>

#include "audio/encoder/LameEnc.h"
#include "host/app/TesselDlg.h"
#include "host/app/VersionEntries.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"
#include "platform/ReplaceFile.h"
#include "server/BaseUrl.h"
#include "server/Fetch.h"
#include "server/ProductSite.h"
#include "support/Text.h"

namespace host {

namespace {

constexpr const char* kCacheSubdir = "/quillby/sz";
constexpr const char* kOutboxSubdir = "/quillby/outbox";
constexpr const char* kDefaultDocument = "INDEX.HTML";
constexpr int kFirstPort = 9898;
constexpr int kClientTimeoutMs = 20000;
constexpr const char* kManifestName = "tovan.xml";
constexpr const char* kVersionFileName = "VerDel.Dat";
constexpr const char* kNewVersionFile = "<?xml version=\"1.0\"?><root></root>";
constexpr const char* kBootMovie = "http://127.0.0.1:%d/qzboot.swf";
constexpr const char* kManifestFailed = "打开资源更新文件失败！";
// The server could not start (no port could be had, no socket made): the
// movie has nowhere to come from.
constexpr const char* kServerFailed = "课程服务启动失败，无法载入课程！请关闭程序后重新打开。";
// The manifest comes from the network: a larger one counts as one that
// cannot be opened, before the parser spends time and memory on it.
constexpr std::uintmax_t kMaxManifestSize = 1024 * 1024;

bool IsTooLarge(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t nSize = std::filesystem::file_size(path, ec);
  return !ec && nSize > kMaxManifestSize;
}

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

  const std::string manifestPath = m_cacheDir + "/" + kManifestName;
  const std::string versionPath = m_cacheDir + "/" + kVersionFileName;
  site.Fetch(kManifestName, manifestPath);

  VeldXml::CXmlDocument manifest;
  if (IsTooLarge(manifestPath) || !manifest.Open(manifestPath)) {
    platform::MessageBox(kManifestFailed);
    manifest.Close();
    return;
  }
  // Kept to be written back: reconciliation may discard the whole cache, and
  // the next start without network still needs the manifest.
  const std::string manifestBytes = support::ReadWholeFile(manifestPath).value_or("");

  VeldXml::CXmlDocument versions;
  if (versions.Open(versionPath))
    ReconcileWithVersionFile(manifest, versions);
  else
    ReconcileFirstRun(manifest, versions);

  EnsureDirectoryPath(m_cacheDir);
  versions.Save(versionPath);
  if (!PathExists(manifestPath)) platform::ReplaceFileContents(manifestPath, manifestBytes);
  versions.Close();
  manifest.Close();

  m_loadingText->hide();

  char url[64];
  std::snprintf(url, sizeof url, kBootMovie, m_server.m_nPort);
  m_flash->LoadMovie(0, url);
  m_flash->Play();

  if (!PathExists(g_exeDir + "/" + kLameLibraryFileName)) std::thread(LameDownloadThreadProc, baseUrl).detach();
}

void CTesselDlg::ReconcileWithVersionFile(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions) {
  VeldXml::CXmlNode delMod = manifest.SelectSingleNode("//config/DelMod");
  if (delMod.IsNull()) {
    DeleteTree(m_cacheDir);
    return;
  }
  VeldXml::CXmlNodes modules;
  modules = delMod.GetChildren();
  CVersionEntries entries(versions);
  for (int i = 0; i < modules.GetCount(); ++i) {
    VeldXml::CXmlNode module = modules.GetItem(i);
    const std::string name = module.GetName();
    const std::string value = module.GetText();
    VeldXml::CXmlNode entry = entries.Find(name);
    if (entry.IsNull()) {
      VeldXml::CXmlNode root = versions.GetRoot();
      VeldXml::CXmlNodePtr added = root.NewChild(name);
      added->SetText(value);
      entries.Added(name, added);
      DeleteTree(m_cacheDir + "/" + name);
    } else if (entry.GetText() != value) {
      entry.SetText(value);
      DeleteTree(m_cacheDir + "/" + name);
    }
  }
}

void CTesselDlg::ReconcileFirstRun(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions) {
  versions.LoadXml(kNewVersionFile);
  VeldXml::CXmlNode delMod = manifest.SelectSingleNode("//config/DelMod");
  VeldXml::CXmlNodes modules;
  if (!delMod.IsNull()) modules = delMod.GetChildren();
  DeleteTree(m_cacheDir);
  VeldXml::CXmlNode root = versions.GetRoot();
  for (int i = 0; i < modules.GetCount(); ++i) {
    VeldXml::CXmlNode module = modules.GetItem(i);
    VeldXml::CXmlNode added = root.NewChild(module.GetName());
    added.SetText(module.GetText());
  }
}

}  // namespace host
