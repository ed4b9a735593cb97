#include "host/CacheUpkeep.h"

#include <cstdint>
#include <filesystem>

#include "host/DeleteTree.h"
#include "host/VersionEntries.h"
#include "platform/ReplaceFile.h"
#include "site/Fetch.h"
#include "support/Text.h"
#include "support/Xml.h"

namespace host {

namespace {

constexpr const char* kVersionFileName = "VerDel.Dat";
constexpr const char* kNewVersionFile = "<?xml version=\"1.0\"?><root></root>";
// The manifest comes from the network: a larger one counts as one that
// cannot be opened, before the parser spends time and memory on it.
constexpr std::uintmax_t kMaxManifestSize = 1024 * 1024;

bool IsTooLarge(const std::string& path) {
  std::error_code ec;
  const std::uintmax_t nSize = std::filesystem::file_size(path, ec);
  return !ec && nSize > kMaxManifestSize;
}

void ReconcileWithVersionFile(const std::string& cacheDir, VeldXml::CXmlDocument& manifest,
                              VeldXml::CXmlDocument& versions) {
  VeldXml::CXmlNode delMod = manifest.SelectSingleNode("//config/DelMod");
  if (delMod.IsNull()) {
    DeleteTree(cacheDir);
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
      DeleteTree(cacheDir + "/" + name);
    } else if (entry.GetText() != value) {
      entry.SetText(value);
      DeleteTree(cacheDir + "/" + name);
    }
  }
}

void ReconcileFirstRun(const std::string& cacheDir, VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions) {
  versions.LoadXml(kNewVersionFile);
  VeldXml::CXmlNode delMod = manifest.SelectSingleNode("//config/DelMod");
  VeldXml::CXmlNodes modules;
  if (!delMod.IsNull()) modules = delMod.GetChildren();
  DeleteTree(cacheDir);
  VeldXml::CXmlNode root = versions.GetRoot();
  for (int i = 0; i < modules.GetCount(); ++i) {
    VeldXml::CXmlNode module = modules.GetItem(i);
    VeldXml::CXmlNode added = root.NewChild(module.GetName());
    added.SetText(module.GetText());
  }
}

}  // namespace

bool ApplyManifest(const std::string& cacheDir) {
  const std::string manifestPath = cacheDir + "/" + kManifestName;
  const std::string versionPath = cacheDir + "/" + kVersionFileName;
  VeldXml::CXmlDocument manifest;
  if (IsTooLarge(manifestPath) || !manifest.Open(manifestPath)) return false;
  // Kept to be written back: reconciliation may discard the whole cache, and
  // the next start without network still needs the manifest.
  const std::string manifestBytes = support::ReadWholeFile(manifestPath).value_or("");

  VeldXml::CXmlDocument versions;
  if (versions.Open(versionPath))
    ReconcileWithVersionFile(cacheDir, manifest, versions);
  else
    ReconcileFirstRun(cacheDir, manifest, versions);

  EnsureDirectoryPath(cacheDir);
  versions.Save(versionPath);
  if (!PathExists(manifestPath)) platform::ReplaceFileContents(manifestPath, manifestBytes);
  return true;
}

}  // namespace host
