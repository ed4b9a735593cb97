#include "support/Xml.h"

#include <fcntl.h>
#include <libxml/entities.h>
#include <libxml/parser.h>
#include <libxml/tree.h>
#include <libxml/xmlerror.h>
#include <libxml/xmlsave.h>
#include <libxml/xpath.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <optional>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/ReplaceFile.h"
#include "support/Handles.h"

namespace VeldXml {

namespace {

// Documents come from the network (the manifest) and from the movie, so the
// parser never touches the network and never substitutes entities itself:
// no DTD loading, no external entities (see CLibxmlGuard), no huge mode.
constexpr int kParseOptions = XML_PARSE_NONET | XML_PARSE_NOERROR | XML_PARSE_NOWARNING;

// Text that entity references of one document may stand for, in total. A
// manifest or a movie call needs none; "billion laughs" needs gigabytes.
constexpr size_t kMaxEntityExpansion = 1 << 20;

constexpr const char* kChildElements = "child::*";

// The multi-byte text of this platform, in which strings cross the wrapper.
constexpr const char* kTextEncoding = "UTF-8";

void IgnoreGenericError(void*, const char*, ...) {}
void IgnoreStructuredError(void*, xmlErrorPtr) {}
xmlParserInputPtr RefuseExternalEntity(const char*, const char*, xmlParserCtxtPtr) { return nullptr; }

// While a wrapper call runs, libxml2 prints nothing and loads nothing from
// outside the document; the previous handlers come back afterwards.
class CLibxmlGuard {
 public:
  CLibxmlGuard() {
    xmlInitParser();
    m_genericError = xmlGenericError;
    m_genericContext = xmlGenericErrorContext;
    m_structuredError = xmlStructuredError;
    m_structuredContext = xmlStructuredErrorContext;
    m_entityLoader = xmlGetExternalEntityLoader();
    xmlSetGenericErrorFunc(nullptr, IgnoreGenericError);
    xmlSetStructuredErrorFunc(nullptr, IgnoreStructuredError);
    xmlSetExternalEntityLoader(RefuseExternalEntity);
  }
  ~CLibxmlGuard() {
    xmlSetExternalEntityLoader(m_entityLoader);
    xmlSetStructuredErrorFunc(m_structuredContext, m_structuredError);
    xmlSetGenericErrorFunc(m_genericContext, m_genericError);
  }
  CLibxmlGuard(const CLibxmlGuard&) = delete;
  CLibxmlGuard& operator=(const CLibxmlGuard&) = delete;

 private:
  xmlGenericErrorFunc m_genericError;
  void* m_genericContext;
  xmlStructuredErrorFunc m_structuredError;
  void* m_structuredContext;
  xmlExternalEntityLoader m_entityLoader;
};

struct CDocFree {
  void operator()(xmlDocPtr p) const { xmlFreeDoc(p); }
};
struct CXPathContextFree {
  void operator()(xmlXPathContextPtr p) const { xmlXPathFreeContext(p); }
};
struct CXPathObjectFree {
  void operator()(xmlXPathObjectPtr p) const { xmlXPathFreeObject(p); }
};
struct CBufferFree {
  void operator()(xmlBufferPtr p) const { xmlBufferFree(p); }
};
struct CSaveClose {
  void operator()(xmlSaveCtxtPtr p) const { xmlSaveClose(p); }
};
using CSaveHandle = std::unique_ptr<xmlSaveCtxt, CSaveClose>;

// Flushes and closes; negative when the output failed.
int FinishSave(CSaveHandle& save) { return xmlSaveClose(save.release()); }
using CDocHandle = std::unique_ptr<xmlDoc, CDocFree>;

const xmlChar* AsXmlChars(const std::string& s) { return reinterpret_cast<const xmlChar*>(s.c_str()); }

std::string ToString(const xmlChar* s) { return s ? std::string(reinterpret_cast<const char*>(s)) : std::string(); }

// A string for the DOM must be whole UTF-8 text.
bool IsValidText(const std::string& s) { return s.find('\0') == std::string::npos && xmlCheckUTF8(AsXmlChars(s)) == 1; }

bool IsXmlBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

std::string TrimBlanks(const std::string& s) {
  size_t first = 0;
  size_t last = s.size();
  while (first < last && IsXmlBlank(s[first])) ++first;
  while (last > first && IsXmlBlank(s[last - 1])) --last;
  return s.substr(first, last - first);
}

// xml:space="preserve" on the node's element or an ancestor.
bool IsSpacePreserved(const xmlNode* node) {
  while (node != nullptr && node->type != XML_ELEMENT_NODE) node = node->parent;
  return node != nullptr && xmlNodeGetSpacePreserve(node) == 1;
}

xmlEntityPtr ReferencedEntity(const xmlNode* ref) {
  if (ref->children != nullptr && ref->children->type == XML_ENTITY_DECL) {
    return reinterpret_cast<xmlEntityPtr>(ref->children);
  }
  return xmlGetDocEntity(ref->doc, ref->name);
}

// Whitespace-only text between elements is not part of the document, as
// with a DOM that does not preserve white space; xml:space="preserve" keeps it.
void StripBlankText(xmlNodePtr parent) {
  xmlNodePtr child = parent->children;
  while (child != nullptr) {
    xmlNodePtr next = child->next;
    if (child->type == XML_TEXT_NODE && xmlIsBlankNode(child) && !IsSpacePreserved(parent)) {
      xmlUnlinkNode(child);
      xmlFreeNode(child);
    } else if (child->type == XML_ELEMENT_NODE) {
      StripBlankText(child);
    }
    child = next;
  }
}

// Counts the text that entity references stand for, each entity measured
// once, and gives up as soon as the total passes the limit.
class CEntityBudget {
 public:
  explicit CEntityBudget(size_t nLimit) : m_nLimit(nLimit) {}

  bool Within(const xmlNode* list) { return Measure(list, true) <= m_nLimit; }

 private:
  size_t Add(size_t a, size_t b) const { return (a > m_nLimit || b > m_nLimit - a) ? m_nLimit + 1 : a + b; }

  size_t EntitySize(xmlEntityPtr ent) {
    if (ent == nullptr) return 0;
    auto found = m_sizes.find(ent);
    if (found != m_sizes.end()) return found->second;
    m_sizes[ent] = m_nLimit + 1;  // a reference loop counts as too much
    size_t size = Measure(ent->children, false);
    m_sizes[ent] = size;
    return size;
  }

  // With bCountRefsOnly the text of the list itself is not counted, only
  // what its entity references add.
  size_t Measure(const xmlNode* list, bool bCountRefsOnly) {
    size_t total = 0;
    for (const xmlNode* node = list; node != nullptr && total <= m_nLimit; node = node->next) {
      switch (node->type) {
        case XML_TEXT_NODE:
        case XML_CDATA_SECTION_NODE:
          if (!bCountRefsOnly) total = Add(total, xmlStrlen(node->content));
          break;
        case XML_ENTITY_REF_NODE:
          total = Add(total, EntitySize(ReferencedEntity(node)));
          break;
        case XML_ELEMENT_NODE:
          for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
            total = Add(total, Measure(attr->children, bCountRefsOnly));
          }
          total = Add(total, Measure(node->children, bCountRefsOnly));
          break;
        default:
          break;
      }
    }
    return total;
  }

  size_t m_nLimit;
  std::unordered_map<xmlEntityPtr, size_t> m_sizes;
};

// Quoted values that one tag may carry: its attributes, or the defaults and
// entity texts of a document type. libxml2 compares each attribute of a tag
// with all before it, so a tag with a hundred thousand of them takes half a
// minute; a manifest or a movie call needs a handful.
constexpr size_t kMaxValuesPerTag = 1000;

// True unless one tag, or the document type declaration, holds more quoted
// values than the limit. Works on the text's code units (1, 2 or 4 bytes,
// from the byte order or the first '<'), where markup characters are the
// ASCII ones in every encoding libxml2 reads.
bool WithinValuesPerTag(const std::string& bytes) {
  size_t nUnit = 1;
  bool bBigEndian = false;
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  if (bytes.size() >= 4 && ((p[0] == 0 && p[1] == 0 && (p[2] == 0xFE || p[3] == '<')) ||
                            (p[2] == 0 && p[3] == 0 && (p[0] == 0xFF || p[0] == '<')))) {
    nUnit = 4;
    bBigEndian = p[0] == 0;
  } else if (bytes.size() >= 2 && ((p[0] == 0xFE && p[1] == 0xFF) || (p[0] == 0 && p[1] == '<'))) {
    nUnit = 2;
    bBigEndian = true;
  } else if (bytes.size() >= 2 && ((p[0] == 0xFF && p[1] == 0xFE) || (p[0] == '<' && p[1] == 0))) {
    nUnit = 2;
  }
  const size_t nCount = bytes.size() / nUnit;
  auto at = [&](size_t i) -> unsigned long {
    if (i >= nCount) return 0;
    unsigned long c = 0;
    for (size_t b = 0; b < nUnit; ++b)
      c |= static_cast<unsigned long>(p[i * nUnit + b]) << (8 * (bBigEndian ? nUnit - 1 - b : b));
    return c;
  };
  auto startsWith = [&](size_t i, std::string_view text) {
    for (size_t k = 0; k < text.size(); ++k)
      if (at(i + k) != static_cast<unsigned char>(text[k])) return false;
    return true;
  };
  // The position just after the next occurrence of text from i, or the end.
  auto skipPast = [&](size_t i, std::string_view text) {
    while (i < nCount && !startsWith(i, text)) ++i;
    return std::min(nCount, i + text.size());
  };

  size_t i = 0;
  while (i < nCount) {
    if (at(i) != '<') {
      ++i;
      continue;
    }
    if (startsWith(i, "<!--")) {
      i = skipPast(i + 4, "-->");
    } else if (startsWith(i, "<![CDATA[")) {
      i = skipPast(i + 9, "]]>");
    } else if (startsWith(i, "<?")) {
      i = skipPast(i + 2, "?>");
    } else {
      // A tag, or the document type with everything in its brackets.
      size_t nValues = 0;
      int nDepth = 0;
      for (++i; i < nCount; ++i) {
        const unsigned long c = at(i);
        if (c == '"' || c == '\'') {
          if (++nValues > kMaxValuesPerTag) return false;
          for (++i; i < nCount && at(i) != c; ++i) {
          }
        } else if (startsWith(i, "<!--")) {
          i = skipPast(i + 4, "-->") - 1;
        } else if (startsWith(i, "<?")) {
          i = skipPast(i + 2, "?>") - 1;
        } else if (c == '[') {
          ++nDepth;
        } else if (c == ']') {
          --nDepth;
        } else if (c == '>' && nDepth <= 0) {
          break;
        }
      }
      ++i;
    }
  }
  return true;
}

// Parses and applies the load-time rules; null when the text is not a
// usable document.
CDocHandle Parse(const std::string& bytes, const char* url, const char* encoding, int extraOptions,
                 bool bPreserveWhiteSpace) {
  if (bytes.size() > static_cast<size_t>(INT_MAX)) return nullptr;
  if (!WithinValuesPerTag(bytes)) return nullptr;
  CDocHandle doc(
      xmlReadMemory(bytes.data(), static_cast<int>(bytes.size()), url, encoding, kParseOptions | extraOptions));
  if (!doc) return nullptr;
  if (!CEntityBudget(kMaxEntityExpansion).Within(doc->children)) return nullptr;
  if (!bPreserveWhiteSpace) StripBlankText(reinterpret_cast<xmlNodePtr>(doc.get()));
  return doc;
}

// The text of every text and CDATA section below the node, entity
// references replaced by their text.
void CollectText(const xmlNode* node, std::string& out) {
  switch (node->type) {
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
      out += ToString(node->content);
      break;
    case XML_ENTITY_REF_NODE:
      if (xmlEntityPtr ent = ReferencedEntity(node)) {
        for (const xmlNode* child = ent->children; child != nullptr; child = child->next) CollectText(child, out);
      }
      break;
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_NODE:
    case XML_DOCUMENT_FRAG_NODE:
      for (const xmlNode* child = node->children; child != nullptr; child = child->next) CollectText(child, out);
      break;
    default:  // comments and processing instructions below a node are not its text
      break;
  }
}

std::string QualifiedName(const xmlNode* node) {
  std::string name = ToString(node->name);
  if (node->ns != nullptr && node->ns->prefix != nullptr) name = ToString(node->ns->prefix) + ":" + name;
  return name;
}

// The node names a DOM reports.
std::string NodeName(const xmlNode* node) {
  switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
      return QualifiedName(node);
    case XML_TEXT_NODE:
      return "#text";
    case XML_CDATA_SECTION_NODE:
      return "#cdata-section";
    case XML_COMMENT_NODE:
      return "#comment";
    case XML_DOCUMENT_NODE:
      return "#document";
    case XML_DOCUMENT_FRAG_NODE:
      return "#document-fragment";
    default:
      return ToString(node->name);
  }
}

// The node's markup as UTF-8 text, without an XML declaration.
std::optional<std::string> Serialize(xmlNodePtr node) {
  std::unique_ptr<xmlBuffer, CBufferFree> buffer(xmlBufferCreate());
  if (!buffer) return std::nullopt;
  CSaveHandle save(xmlSaveToBuffer(buffer.get(), kTextEncoding, XML_SAVE_NO_DECL));
  if (!save) return std::nullopt;
  long written = xmlSaveTree(save.get(), node);
  if (FinishSave(save) < 0 || written < 0) return std::nullopt;
  std::string xml(reinterpret_cast<const char*>(xmlBufferContent(buffer.get())),
                  static_cast<size_t>(xmlBufferLength(buffer.get())));
  // An attribute is written as it stands in its element, after a space.
  if (node->type == XML_ATTRIBUTE_NODE && !xml.empty() && xml.front() == ' ') xml.erase(0, 1);
  return xml;
}

// The nodes an XPath 1.0 expression selects from the context node, in
// document order; nothing for an invalid expression or one whose value is
// not a node set.
std::optional<std::vector<xmlNodePtr>> Select(xmlNodePtr context, const std::string& strPath) {
  if (!IsValidText(strPath)) return std::nullopt;
  std::unique_ptr<xmlXPathContext, CXPathContextFree> xpath(xmlXPathNewContext(context->doc));
  if (!xpath) return std::nullopt;
  xpath->node = context;
  xpath->error = IgnoreStructuredError;
  std::unique_ptr<xmlXPathObject, CXPathObjectFree> result(xmlXPathEval(AsXmlChars(strPath), xpath.get()));
  if (!result || result->type != XPATH_NODESET) return std::nullopt;
  std::vector<xmlNodePtr> nodes;
  if (xmlNodeSetPtr set = result->nodesetval) {
    for (int i = 0; i < set->nodeNr; ++i) {
      // Namespace nodes are copies that die with the result.
      if (set->nodeTab[i]->type != XML_NAMESPACE_DECL) nodes.push_back(set->nodeTab[i]);
    }
  }
  return nodes;
}

}  // namespace

// Owns a libxml2 document; every node wrapper shares this ownership, so a
// node stays valid after its CXmlDocument has been closed or destroyed.
// Nodes taken out of the tree by an edit are kept until the end, since a
// wrapper may still point at them.
class CDomDocument {
 public:
  explicit CDomDocument(CDocHandle doc) : m_doc(std::move(doc)) { m_doc->_private = this; }
  ~CDomDocument() {
    for (xmlNodePtr node : m_detached) {
      if (node != nullptr) xmlFreeNode(node);
    }
  }
  CDomDocument(const CDomDocument&) = delete;
  CDomDocument& operator=(const CDomDocument&) = delete;

  xmlDocPtr Get() const { return m_doc.get(); }

  static CDomDocument& Of(const xmlNode* node) { return *static_cast<CDomDocument*>(node->doc->_private); }

  void Detach(xmlNodePtr node) {
    m_detached.push_back(nullptr);  // may throw; the node is still in the tree then
    xmlUnlinkNode(node);
    m_detached.back() = node;
  }

 private:
  CDocHandle m_doc;
  std::vector<xmlNodePtr> m_detached;
};

class CDomNodeList {
 public:
  std::vector<std::shared_ptr<xmlNode>> m_nodes;
};

// ---------------------------------------------------------------- CXmlDocument

CXmlDocument::CXmlDocument() = default;

CXmlDocument::~CXmlDocument() { Close(); }

void CXmlDocument::Close() {
  m_pDoc.reset();
  m_strFilePath.clear();
  m_nVersion = 0;
}

bool CXmlDocument::CreateDom() {
  Close();
  CDocHandle doc(xmlNewDoc(BAD_CAST "1.0"));
  if (!doc) return false;
  m_pDoc = std::make_shared<CDomDocument>(std::move(doc));
  // libxml2 is the only document class: no version to record, no parser
  // switch to set. Selection is always XPath 1.0.
  m_nVersion = 0;
  m_strFilePath.clear();
  return true;
}

bool CXmlDocument::FileExists(const std::string& strFilePath) {
  // Non-blocking, so that a pipe does not wait for a writer.
  support::CFd file(::open(strFilePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  // A directory cannot be opened as a file there either.
  return file.IsValid() && ::fstat(file.Get(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool CXmlDocument::Open(const std::string& strFilePath) {
  if (!FileExists(strFilePath)) return false;
  if (!CreateDom()) return false;
  m_strFilePath = strFilePath;

  // Read the file here rather than let libxml2 resolve the path, which it
  // would also take as a URL.
  support::CFd file(::open(strFilePath.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
  struct stat st {};
  // Only a regular file has an end to read up to.
  if (!file.IsValid() || ::fstat(file.Get(), &st) != 0 || !S_ISREG(st.st_mode)) return false;
  std::string bytes;
  char chunk[65536];
  for (;;) {
    ssize_t n = ::read(file.Get(), chunk, sizeof chunk);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    bytes.append(chunk, static_cast<size_t>(n));
    if (bytes.size() > static_cast<size_t>(INT_MAX)) return false;  // more than the parser takes
  }

  CLibxmlGuard guard;
  // The encoding comes from the byte order mark or the declaration.
  CDocHandle doc = Parse(bytes, strFilePath.c_str(), nullptr, 0, m_bPreserveWhiteSpace);
  if (!doc) return false;
  m_pDoc = std::make_shared<CDomDocument>(std::move(doc));
  return true;
}

bool CXmlDocument::LoadXml(const std::string& strXml) {
  if (!CreateDom()) return false;
  if (!IsValidText(strXml)) return false;

  CLibxmlGuard guard;
  // The text is already decoded; a declared encoding does not apply to it.
  CDocHandle doc = Parse(strXml, nullptr, kTextEncoding, XML_PARSE_IGNORE_ENC, m_bPreserveWhiteSpace);
  if (!doc) return false;
  // Saved as the text it came from: UTF-8 under a plain declaration.
  xmlFree(const_cast<xmlChar*>(doc->encoding));
  doc->encoding = nullptr;
  m_pDoc = std::make_shared<CDomDocument>(std::move(doc));
  return true;
}

bool CXmlDocument::Save() {
  if (!m_pDoc) return false;
  return WriteFile(*m_pDoc, m_strFilePath);
}

bool CXmlDocument::Save(const std::string& strFilePath) {
  if (!m_pDoc) return false;
  if (!WriteFile(*m_pDoc, strFilePath)) return false;
  m_strFilePath = strFilePath;
  return true;
}

namespace {

int WriteToFile(void* context, const char* buffer, int len) {
  auto* pFile = static_cast<platform::CReplacingFile*>(context);
  return pFile->Write(buffer, static_cast<size_t>(len)) ? len : -1;
}

}  // namespace

// libxml2's own serialisation: the declaration, then the document in the
// encoding it declared (UTF-8 when it declared none), unindented. Written
// beside the target and put in its place only when whole and on the disk, so
// a save that fails (a full disk) leaves the previous file as it was.
bool CXmlDocument::WriteFile(const CDomDocument& doc, const std::string& strFilePath) {
  if (strFilePath.empty()) return false;
  // Written here rather than by libxml2, which would also take the path as
  // a URL (and unescape it).
  platform::CReplacingFile file(strFilePath);
  if (!file.Create()) return false;

  CLibxmlGuard guard;
  CSaveHandle save(xmlSaveToIO(WriteToFile, nullptr, &file, nullptr, 0));
  if (!save) return false;
  long written = xmlSaveDoc(save.get(), doc.Get());
  bool bFlushed = FinishSave(save) >= 0;
  return written >= 0 && bFlushed && file.Commit(true);
}

CXmlNodePtr CXmlDocument::GetRoot() const {
  xmlNodePtr root = m_pDoc ? xmlDocGetRootElement(m_pDoc->Get()) : nullptr;
  if (root == nullptr) return CXmlNode::Wrap(nullptr);
  return CXmlNode::Wrap(std::shared_ptr<xmlNode>(m_pDoc, root));
}

CXmlNodePtr CXmlDocument::SelectSingleNode(const std::string& strPath) const {
  CXmlNodePtr result = CXmlNode::Wrap(nullptr);
  if (GetRoot()->IsNull()) return result;
  result = GetRoot()->SelectSingleNode(strPath);
  return result;
}

CXmlNodesPtr CXmlDocument::SelectNodes(const std::string& strPath) const { return GetRoot()->SelectNodes(strPath); }

// -------------------------------------------------------------------- CXmlNode

CXmlNodePtr CXmlNode::Wrap(std::shared_ptr<xmlNode> pNode) {
  CXmlNodePtr node = std::make_shared<CXmlNode>();
  node->m_pNode = std::move(pNode);
  return node;
}

CXmlNode::CXmlNode(const CXmlNodePtr& pNode) : m_pNode(pNode ? pNode->m_pNode : nullptr) {}

CXmlNode& CXmlNode::operator=(const CXmlNodePtr& pNode) {
  m_pNode = pNode ? pNode->m_pNode : nullptr;
  return *this;
}

bool CXmlNode::IsNull() const { return m_pNode == nullptr; }

std::string CXmlNode::GetName() const { return m_pNode ? NodeName(m_pNode.get()) : std::string(); }

std::string CXmlNode::GetText() const {
  if (!m_pNode) return std::string();
  const xmlNode* node = m_pNode.get();
  std::string text;
  if (node->type == XML_COMMENT_NODE || node->type == XML_PI_NODE) {
    text = ToString(node->content);
  } else {
    CollectText(node, text);
  }
  // Without preserved white space a DOM gives the text without leading and
  // trailing blanks.
  return IsSpacePreserved(node) ? text : TrimBlanks(text);
}

bool CXmlNode::SetText(const std::string& strText) {
  if (!m_pNode || !IsValidText(strText)) return false;
  xmlNodePtr node = m_pNode.get();
  CLibxmlGuard guard;
  switch (node->type) {
    case XML_ELEMENT_NODE:
    case XML_ATTRIBUTE_NODE:
    case XML_DOCUMENT_FRAG_NODE: {
      // The new text replaces every child.
      CDomDocument& owner = CDomDocument::Of(node);
      while (node->children != nullptr) owner.Detach(node->children);
      if (strText.empty()) return true;
      xmlNodePtr text = xmlNewDocText(node->doc, AsXmlChars(strText));
      if (text == nullptr) return false;
      if (xmlAddChild(node, text) == nullptr) {
        xmlFreeNode(text);
        return false;
      }
      return true;
    }
    case XML_TEXT_NODE:
    case XML_CDATA_SECTION_NODE:
    case XML_COMMENT_NODE:
    case XML_PI_NODE:
      xmlNodeSetContent(node, AsXmlChars(strText));  // taken literally for these node types
      return true;
    default:
      return false;
  }
}

std::string CXmlNode::GetAttribute(const std::string& strName, const std::string& strDefault) const {
  std::string result;
  const xmlNode* node = m_pNode.get();
  if (node != nullptr && node->type == XML_ELEMENT_NODE) {
    for (const xmlAttr* attr = node->properties; attr != nullptr; attr = attr->next) {
      if (QualifiedName(reinterpret_cast<const xmlNode*>(attr)) == strName) {
        CollectText(reinterpret_cast<const xmlNode*>(attr), result);
        break;
      }
    }
    // Namespace declarations are attributes of the element in a DOM.
    if (strName == "xmlns" || strName.starts_with("xmlns:")) {
      std::string prefix = strName == "xmlns" ? std::string() : strName.substr(6);
      for (const xmlNs* ns = node->nsDef; ns != nullptr; ns = ns->next) {
        if (ToString(ns->prefix) == prefix) {
          result = ToString(ns->href);
          break;
        }
      }
    }
  }
  if (result.empty()) result = strDefault;
  return result;
}

std::string CXmlNode::GetXml() const {
  if (!m_pNode) return std::string();
  CLibxmlGuard guard;
  return Serialize(m_pNode.get()).value_or(std::string());
}

std::string CXmlNode::GetInnerXml() const {
  // An element without content has no inner markup, however the serialiser
  // writes it: "<string/>" is the movie's empty string, not its value.
  if (m_pNode && m_pNode->type == XML_ELEMENT_NODE && m_pNode->children == nullptr) return std::string();
  std::string s = GetXml();
  // UTF-8 never has '<' or '>' inside a multi-byte character.
  long first = s.empty() ? -1 : static_cast<long>(s.find('>'));
  long last = s.empty() ? -1 : static_cast<long>(s.rfind('<'));
  if (first > 0 && last > 0 && last > first) return s.substr(first + 1, last - first - 1);
  return s;
}

CXmlNodePtr CXmlNode::SelectSingleNode(const std::string& strPath) const {
  if (!m_pNode) return Wrap(nullptr);
  CLibxmlGuard guard;
  std::optional<std::vector<xmlNodePtr>> nodes = Select(m_pNode.get(), strPath);
  if (!nodes || nodes->empty()) return Wrap(nullptr);
  return Wrap(std::shared_ptr<xmlNode>(m_pNode, nodes->front()));
}

CXmlNodesPtr CXmlNode::GetChildren() const { return SelectNodes(kChildElements); }

CXmlNodesPtr CXmlNode::SelectNodes(const std::string& strPath) const {
  CXmlNodesPtr list = std::make_shared<CXmlNodes>();
  if (!m_pNode) return list;
  CLibxmlGuard guard;
  std::optional<std::vector<xmlNodePtr>> nodes = Select(m_pNode.get(), strPath);
  if (!nodes) return list;
  auto domList = std::make_shared<CDomNodeList>();
  domList->m_nodes.reserve(nodes->size());
  for (xmlNodePtr node : *nodes) domList->m_nodes.emplace_back(m_pNode, node);
  list->m_pNodeList = std::move(domList);
  return list;
}

CXmlNodePtr CXmlNode::NewChild(const std::string& strTagName) {
  if (!m_pNode || !IsValidText(strTagName)) return Wrap(nullptr);
  xmlNodePtr parent = m_pNode.get();
  CLibxmlGuard guard;
  // What a DOM lets an element be appended to: an element, a fragment, or a
  // document that has no document element yet.
  bool bCanHoldElement = parent->type == XML_ELEMENT_NODE || parent->type == XML_DOCUMENT_FRAG_NODE ||
                         (parent->type == XML_DOCUMENT_NODE && xmlDocGetRootElement(parent->doc) == nullptr);
  if (!bCanHoldElement || xmlValidateName(AsXmlChars(strTagName), 0) != 0) return Wrap(nullptr);
  xmlNodePtr element = xmlNewDocNode(parent->doc, nullptr, AsXmlChars(strTagName), nullptr);
  if (element == nullptr) return Wrap(nullptr);
  if (xmlAddChild(parent, element) == nullptr) {
    xmlFreeNode(element);
    return Wrap(nullptr);
  }
  return Wrap(std::shared_ptr<xmlNode>(m_pNode, element));
}

// ------------------------------------------------------------------- CXmlNodes

CXmlNodes& CXmlNodes::operator=(const CXmlNodesPtr& pNodes) {
  m_pNodeList = pNodes ? pNodes->m_pNodeList : nullptr;
  return *this;
}

int CXmlNodes::GetCount() const { return m_pNodeList ? static_cast<int>(m_pNodeList->m_nodes.size()) : -1; }

CXmlNodePtr CXmlNodes::GetItem(int nIndex) const {
  if (!m_pNodeList || nIndex < 0 || static_cast<size_t>(nIndex) >= m_pNodeList->m_nodes.size()) {
    return CXmlNode::Wrap(nullptr);
  }
  return CXmlNode::Wrap(m_pNodeList->m_nodes[static_cast<size_t>(nIndex)]);
}

}  // namespace VeldXml
