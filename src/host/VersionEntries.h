#pragma once
// The version file's entry of each module, as the search "//root/<name>"
// finds it (the first match in document order), gathered in one pass over
// the version document instead of one search of the whole document per
// module: 20,000 modules took seconds that way.
#include <memory>
#include <string>
#include <unordered_map>

#include "support/Xml.h"

namespace host {

class CVersionEntries {
  // What selects every entry that "//root/<name>" may select, in document order.
  static constexpr const char* kAllVersionEntries = "//root/*[namespace-uri()='']";

 public:
  explicit CVersionEntries(const VeldXml::CXmlDocument& versions)
      : m_versions(versions), m_bRootIsSearched(!versions.SelectSingleNode("/root")->IsNull()) {
    VeldXml::CXmlNodes entries;
    entries = versions.SelectNodes(kAllVersionEntries);
    for (int i = 0; i < entries.GetCount(); ++i) {
      VeldXml::CXmlNodePtr entry = entries.GetItem(i);
      m_entries.try_emplace(entry->GetName(), entry);
    }
  }

  VeldXml::CXmlNodePtr Find(const std::string& name) const {
    // A prefixed name is no plain step of the path: the search itself decides.
    if (IsPrefixed(name)) return m_versions.SelectSingleNode("//root/" + name);
    const auto it = m_entries.find(name);
    return it != m_entries.end() ? it->second : std::make_shared<VeldXml::CXmlNode>();
  }

  // An entry appended to the document element; the search finds it later
  // only when that element is root.
  void Added(const std::string& name, const VeldXml::CXmlNodePtr& entry) {
    if (m_bRootIsSearched && !IsPrefixed(name) && !entry->IsNull()) m_entries.try_emplace(name, entry);
  }

 private:
  static bool IsPrefixed(const std::string& name) { return name.find(':') != std::string::npos; }

  const VeldXml::CXmlDocument& m_versions;
  const bool m_bRootIsSearched;
  std::unordered_map<std::string, VeldXml::CXmlNodePtr> m_entries;
};

}  // namespace host
