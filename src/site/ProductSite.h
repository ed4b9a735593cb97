#pragma once
// The product web site as the program's setting names it: one base, or
// several separated by spaces that are tried in order for every file (a copy
// on disk first, then the web site for what it lacks). A base is an http or
// https URL, a folder (an absolute path or a file:// URL) or a ZIP archive
// (such a path ending in ".zip").
#include <memory>
#include <string>
#include <vector>

#include "site/SiteBase.h"

class CProductSite {
 public:
  CProductSite() = default;
  explicit CProductSite(const std::string& strBases);

  // Brings strPath (below the site, without leading '/', query included)
  // into strLocalPath from the first base that has it. True when the local
  // file was written; otherwise it is as it was. Reports nothing, never
  // throws; any number of threads may fetch at once.
  bool Fetch(const std::string& strPath, const std::string& strLocalPath,
             const CFetchSettings& settings = CFetchSettings()) const noexcept;

  // One line for each base that cannot serve anything now.
  std::vector<std::string> Problems() const;
  // Writes them to stderr.
  void ReportProblems() const;

  const std::vector<std::unique_ptr<CSiteBase>>& Bases() const { return m_bases; }

 private:
  std::vector<std::unique_ptr<CSiteBase>> m_bases;
};

// What one base of the setting names.
std::unique_ptr<CSiteBase> MakeSiteBase(const std::string& strBase);
