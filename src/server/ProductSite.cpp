#include "server/ProductSite.h"

#include <sys/stat.h>

#include <cstdio>
#include <sstream>
#include <string_view>

#include "platform/Paths.h"
#include "server/SitePath.h"
#include "support/ConnectGuard.h"
#include "support/Text.h"

namespace {

constexpr std::string_view kFileScheme = "file://";
constexpr std::string_view kArchiveExtension = ".zip";

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  return text.size() >= suffix.size() && StartsWithNoCase(text.substr(text.size() - suffix.size()), suffix);
}

}  // namespace

std::unique_ptr<CSiteBase> MakeSiteBase(const std::string& strBase) {
  std::string strPath;
  if (StartsWithNoCase(strBase, kFileScheme)) {
    // file:///path, or file://localhost/path; escapes (%20) decoded.
    const std::string_view rest = std::string_view(strBase).substr(kFileScheme.size());
    const std::size_t nSlash = rest.find('/');
    const std::string_view host = rest.substr(0, nSlash);
    const bool bThisMachine = host.empty() || (host.size() == 9 && StartsWithNoCase(host, "localhost"));
    if (nSlash == std::string_view::npos || !bThisMachine)
      return std::make_unique<CUnusableBase>(strBase, "a file:// address names a path on this machine: file:///path");
    strPath = support::PercentDecode(rest.substr(nSlash));
  } else if (strBase.starts_with('/')) {
    strPath = strBase;
  } else if (support::NamesOwnServer(strBase)) {
    // It would only ask itself again, and again.
    return std::make_unique<CUnusableBase>(strBase, "it is this program's own server");
  } else {
    return std::make_unique<CWebBase>(strBase);
  }
  while (strPath.size() > 1 && strPath.back() == '/') strPath.pop_back();
  struct stat st {};
  const bool bExists = ::stat(strPath.c_str(), &st) == 0;
  // A pipe or a device could keep a reader waiting for ever.
  if (bExists && !S_ISREG(st.st_mode) && !S_ISDIR(st.st_mode))
    return std::make_unique<CUnusableBase>(strBase, "neither a file nor a folder");
  if (EndsWithNoCase(strPath, kArchiveExtension) && !(bExists && S_ISDIR(st.st_mode)))
    return std::make_unique<CArchiveBase>(strBase, strPath);
  return std::make_unique<CFolderBase>(strBase, strPath);
}

CProductSite::CProductSite(const std::string& strBases) {
  std::istringstream words(strBases);
  for (std::string strBase; words >> strBase;) m_bases.push_back(MakeSiteBase(strBase));
}

bool CProductSite::Fetch(const std::string& strPath, const std::string& strLocalPath,
                         const CFetchSettings& settings) const noexcept {
  for (const auto& base : m_bases) {
    try {
      if (base->Fetch(strPath, strLocalPath, settings)) return true;
    } catch (...) {
      // Out of memory: this base failed; the next may still serve.
    }
  }
  return false;
}

std::vector<std::string> CProductSite::Problems() const {
  std::vector<std::string> problems;
  for (const auto& base : m_bases) {
    const std::string strProblem = base->Problem();
    if (!strProblem.empty())
      problems.push_back(platform::GetExeBaseName() + ": course files cannot come from " + base->Text() + ": " +
                         strProblem);
  }
  return problems;
}

void CProductSite::ReportProblems() const {
  for (const std::string& strLine : Problems()) std::fprintf(stderr, "%s\n", strLine.c_str());
}
