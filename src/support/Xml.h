#pragma once
// XML documents for the manifests and the movie's ExternalInterface calls:
// load, query by XPath 1.0, edit and save, with plain results for failures
// (false, an empty string, a null node, -1) and nodes handed out through
// shared pointers. Strings are UTF-8 text, the multi-byte text of this
// platform. Used on the UI thread only.
#include <memory>
#include <string>

// libxml2's node type, kept out of this header.
struct _xmlNode;

namespace VeldXml {

class CXmlNode;
class CXmlNodes;
using CXmlNodePtr = std::shared_ptr<CXmlNode>;
using CXmlNodesPtr = std::shared_ptr<CXmlNodes>;

// Owner of one parsed libxml2 document; nodes keep it alive.
class CDomDocument;
// A snapshot of selected nodes of one document.
class CDomNodeList;

class CXmlDocument {
 public:
  CXmlDocument();
  ~CXmlDocument();
  CXmlDocument(const CXmlDocument&) = delete;
  CXmlDocument& operator=(const CXmlDocument&) = delete;

  bool Open(const std::string& strFilePath);
  bool LoadXml(const std::string& strXml);
  // Without a path the document goes back to the file it was opened from.
  bool Save();
  bool Save(const std::string& strFilePath);
  void Close();

  // The DOM's preserveWhiteSpace for the loads that follow: off, text made
  // only of blanks is dropped; on, it stays text (a movie's "  " argument).
  void SetPreserveWhiteSpace(bool bPreserve) { m_bPreserveWhiteSpace = bPreserve; }

  CXmlNodePtr GetRoot() const;
  // Evaluated with the document element as context node.
  CXmlNodePtr SelectSingleNode(const std::string& strPath) const;
  // Every match, in document order; a null list when there is no document.
  CXmlNodesPtr SelectNodes(const std::string& strPath) const;

  bool CreateDom();
  static bool FileExists(const std::string& strFilePath);

 private:
  static bool WriteFile(const CDomDocument& doc, const std::string& strFilePath);

  std::shared_ptr<CDomDocument> m_pDoc;
  std::string m_strFilePath;
  // Which MSXML class the Windows build created; with one document class here it stays 0.
  int m_nVersion = 0;
  bool m_bPreserveWhiteSpace = false;
};

class CXmlNode {
 public:
  CXmlNode() = default;
  CXmlNode(const CXmlNodePtr& pNode);  // NOLINT: callers write CXmlNode n = doc.GetRoot();
  CXmlNode& operator=(const CXmlNodePtr& pNode);

  bool IsNull() const;
  std::string GetName() const;
  std::string GetText() const;
  bool SetText(const std::string& strText);
  // An absent attribute, or one with an empty value, yields strDefault.
  std::string GetAttribute(const std::string& strName, const std::string& strDefault = "") const;
  std::string GetXml() const;
  std::string GetInnerXml() const;
  CXmlNodePtr SelectSingleNode(const std::string& strPath) const;
  // Every node the expression selects, in document order; a null list for a
  // null node or an invalid expression.
  CXmlNodesPtr SelectNodes(const std::string& strPath) const;
  // The element children ("child::*"), in document order.
  CXmlNodesPtr GetChildren() const;
  CXmlNodePtr NewChild(const std::string& strTagName);

 private:
  friend class CXmlDocument;
  friend class CXmlNodes;
  static CXmlNodePtr Wrap(std::shared_ptr<_xmlNode> pNode);
  // Points into a document and shares its ownership.
  std::shared_ptr<_xmlNode> m_pNode;
};

class CXmlNodes {
 public:
  CXmlNodes() = default;
  CXmlNodes& operator=(const CXmlNodesPtr& pNodes);

  int GetCount() const;
  CXmlNodePtr GetItem(int nIndex) const;

 private:
  friend class CXmlNode;
  std::shared_ptr<const CDomNodeList> m_pNodeList;
};

}  // namespace VeldXml
