#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>

#include "SmallFilesystem.h"
#include "TempDir.h"
#include "support/Xml.h"

using namespace VeldXml;
namespace fs = std::filesystem;

namespace {

// A fresh directory for the files of one test, removed afterwards.
class XmlFiles : public ::testing::Test {
 protected:
  std::string PathOf(const std::string& name) const { return (m_dir / name).string(); }
  std::string Write(const std::string& name, const std::string& bytes) const {
    std::ofstream(PathOf(name), std::ios::binary) << bytes;
    return PathOf(name);
  }
  static std::string Read(const std::string& path) { return ReadWholeFile(path); }

  CTempDir m_tmp;
  fs::path m_dir = m_tmp.Path();
};

// The first text a new version file starts from.
const std::string kEmptyVersionFile = "<?xml version=\"1.0\"?><root></root>";

// A manifest as the web site publishes it, in GB2312: module shuxue at
// version "第二版", module 语文 at version "v1".
const std::string kGb2312Manifest =
    "<?xml version=\"1.0\" encoding=\"GB2312\"?>\n"
    "<config>\n"
    "  <title>\xca\xfd\xd1\xa7</title>\n"  // 数学
    "  <DelMod>\n"
    "    <shuxue>\xb5\xda\xb6\xfe\xb0\xe6</shuxue>\n"  // 第二版
    "    <!-- retired: yingyu -->\n"
    "    <\xd3\xef\xce\xc4>v1</\xd3\xef\xce\xc4>\n"  // 语文
    "  </DelMod>\n"
    "</config>\n";

const std::string kInvoke =
    "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array>"
    "<property id=\"0\"><string>u1</string></property>"
    "<property id=\"1\"><string>t1</string></property>"
    "<property id=\"2\"><string>1</string></property>"
    "</array></arguments></invoke>";

}  // namespace

// ------------------------------------------------------------ loading

TEST_F(XmlFiles, OpenOfMissingFileFailsAndKeepsTheLoadedDocument) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<keep><a/></keep>"));
  EXPECT_FALSE(doc.Open(PathOf("absent.xml")));
  EXPECT_FALSE(doc.Open(m_dir.string()));  // a directory is no file either
  EXPECT_EQ(doc.GetRoot()->GetName(), "keep");
  std::string pipe = PathOf("pipe");
  ASSERT_EQ(mkfifo(pipe.c_str(), 0600), 0);
  EXPECT_FALSE(doc.Open(pipe));  // opens without a writer, but is no document
}

TEST_F(XmlFiles, OpenOfBrokenFileLeavesAnEmptyDocumentThatSavesToThatPath) {
  std::string path = Write("broken.xml", "<root><a></root>");
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<before/>"));
  EXPECT_FALSE(doc.Open(path));
  EXPECT_TRUE(doc.GetRoot()->IsNull());
  EXPECT_TRUE(doc.SelectSingleNode("//a")->IsNull());
  EXPECT_TRUE(doc.Save());
  std::string written = Read(path);
  EXPECT_EQ(written.rfind("<?xml version=\"1.0\"", 0), 0u) << written;
  EXPECT_EQ(written.find("<a>"), std::string::npos);
}

TEST(XmlLoad, DeclarationAndEmptyRootGiveRootWithoutChildren) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml(kEmptyVersionFile));
  CXmlNode root = doc.GetRoot();
  EXPECT_EQ(root.GetName(), "root");
  EXPECT_EQ(root.GetChildren()->GetCount(), 0);
  EXPECT_EQ(root.GetXml(), "<root/>");
}

TEST(XmlLoad, BrokenTextFailsAndEveryLoadStartsFresh) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<first/>"));
  EXPECT_FALSE(doc.LoadXml("<second>"));
  EXPECT_TRUE(doc.GetRoot()->IsNull());
  EXPECT_FALSE(doc.LoadXml(""));
  EXPECT_FALSE(doc.LoadXml("<bad>\xff\xfe</bad>"));  // not UTF-8
  ASSERT_TRUE(doc.LoadXml("<third/>"));
  EXPECT_EQ(doc.GetRoot()->GetName(), "third");
  doc.Close();
  EXPECT_TRUE(doc.GetRoot()->IsNull());
}

TEST(XmlLoad, TextIsParsedAsUtf8WhateverTheDeclarationSays) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<?xml version=\"1.0\" encoding=\"GB2312\"?><r>数学</r>"));
  EXPECT_EQ(doc.GetRoot()->GetText(), "数学");
}

TEST_F(XmlFiles, Gb2312ManifestReadsAsUtf8AndRoundTrips) {
  std::string path = Write("tovan.xml", kGb2312Manifest);
  CXmlDocument manifest;
  ASSERT_TRUE(manifest.Open(path));
  CXmlNode delMod = manifest.SelectSingleNode("//config/DelMod");
  ASSERT_FALSE(delMod.IsNull());
  CXmlNodes modules;
  modules = delMod.GetChildren();
  ASSERT_EQ(modules.GetCount(), 2);  // the comment and the blanks are no modules
  EXPECT_EQ(modules.GetItem(0)->GetName(), "shuxue");
  EXPECT_EQ(modules.GetItem(0)->GetText(), "第二版");
  EXPECT_EQ(modules.GetItem(1)->GetName(), "语文");
  EXPECT_EQ(modules.GetItem(1)->GetText(), "v1");
  EXPECT_EQ(manifest.SelectSingleNode("title")->GetText(), "数学");

  // Written back in its own encoding, and read again unchanged.
  std::string copy = PathOf("copy.xml");
  ASSERT_TRUE(manifest.Save(copy));
  std::string bytes = Read(copy);
  EXPECT_NE(bytes.find("encoding=\"GB2312\""), std::string::npos) << bytes;
  EXPECT_NE(bytes.find("\xb5\xda\xb6\xfe\xb0\xe6"), std::string::npos);
  CXmlDocument again;
  ASSERT_TRUE(again.Open(copy));
  EXPECT_EQ(again.SelectSingleNode("//DelMod/shuxue")->GetText(), "第二版");
  EXPECT_EQ(again.SelectSingleNode("//DelMod/语文")->GetText(), "v1");
}

TEST_F(XmlFiles, Utf16FileWithByteOrderMarkIsRead) {
  std::string utf16 = "\xff\xfe";  // byte order mark, little-endian
  for (char16_t c : std::u16string(u"<r>版</r>")) {
    utf16 += static_cast<char>(c & 0xff);
    utf16 += static_cast<char>(c >> 8);
  }
  CXmlDocument doc;
  ASSERT_TRUE(doc.Open(Write("u16.xml", utf16)));
  EXPECT_EQ(doc.GetRoot()->GetText(), "版");
}

// ------------------------------------------------------------ saving

TEST_F(XmlFiles, SaveNeedsADocumentAndAPath) {
  CXmlDocument doc;
  EXPECT_FALSE(doc.Save());
  EXPECT_FALSE(doc.Save(PathOf("never.xml")));
  ASSERT_TRUE(doc.LoadXml(kEmptyVersionFile));
  EXPECT_FALSE(doc.Save());  // LoadXml leaves no path
  EXPECT_FALSE(fs::exists(PathOf("never.xml")));
}

TEST_F(XmlFiles, VersionFileGetsDeclarationAndModulesInOrderAndSavesAgainToItsPath) {
  std::string path = PathOf("VerDel.Dat");
  CXmlDocument version;
  ASSERT_TRUE(version.LoadXml(kEmptyVersionFile));
  CXmlNode root = version.GetRoot();
  CXmlNode math = root.NewChild("shuxue");
  ASSERT_TRUE(math.SetText("第二版"));
  ASSERT_TRUE(root.NewChild("语文")->SetText("a<b&c"));
  ASSERT_TRUE(version.Save(path));
  EXPECT_EQ(Read(path).rfind("<?xml version=\"1.0\"?>", 0), 0u) << Read(path);

  CXmlDocument reread;
  ASSERT_TRUE(reread.Open(path));
  CXmlNodes modules;
  modules = reread.GetRoot()->GetChildren();
  ASSERT_EQ(modules.GetCount(), 2);
  EXPECT_EQ(modules.GetItem(0)->GetName(), "shuxue");
  EXPECT_EQ(modules.GetItem(0)->GetText(), "第二版");
  EXPECT_EQ(modules.GetItem(1)->GetName(), "语文");
  EXPECT_EQ(modules.GetItem(1)->GetText(), "a<b&c");

  // The path Save took is where a Save without path goes.
  ASSERT_TRUE(math.SetText("第三版"));
  ASSERT_TRUE(version.Save());
  ASSERT_TRUE(reread.Open(path));
  EXPECT_EQ(reread.SelectSingleNode("//root/shuxue")->GetText(), "第三版");
}

TEST_F(XmlFiles, FailedSaveReportsFalseAndKeepsThePreviousPath) {
  std::string path = PathOf("kept.xml");
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<root><m>1</m></root>"));
  ASSERT_TRUE(doc.Save(path));
  ::testing::internal::CaptureStderr();
  EXPECT_FALSE(doc.Save(PathOf("no/such/dir/x.xml")));
  EXPECT_FALSE(doc.Save("/dev/full"));  // opens, but the write fails
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
  EXPECT_TRUE(std::filesystem::is_character_file("/dev/full"));  // written to, not replaced
  doc.GetRoot()->NewChild("n");
  ASSERT_TRUE(doc.Save());
  EXPECT_NE(Read(path).find("<n/>"), std::string::npos);
}

// ------------------------------------------------------------ XPath

TEST(XmlSelect, InvokeDocumentYieldsTheRecUploadArguments) {
  CXmlDocument request;
  ASSERT_TRUE(request.LoadXml(kInvoke));
  EXPECT_EQ(request.GetRoot()->GetAttribute("name"), "RecUpload");
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=0]/string")->GetInnerXml(), "u1");
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=1]/string")->GetInnerXml(), "t1");
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=2]/string")->GetInnerXml(), "1");
  EXPECT_TRUE(request.SelectSingleNode("//invoke/arguments/array/property[@id=3]/string")->IsNull());
}

TEST(XmlSelect, ArgumentsKeepTheirMarkupAndNonAsciiText) {
  CXmlDocument request;
  ASSERT_TRUE(
      request.LoadXml("<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array>"
                      "<property id=\"0\"><string>李&amp;&lt;明&gt;</string></property>"
                      "<property id=\"1\"><string></string></property>"
                      "</array></arguments></invoke>"));
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=0]/string")->GetInnerXml(),
            "李&amp;&lt;明&gt;");
  // Written self-closing, an empty string element still has no inner markup.
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=1]/string")->GetInnerXml(), "");
}

TEST(XmlSelect, BlankArgumentsStayTextOnlyWhereWhiteSpaceIsPreserved) {
  const std::string invoke =
      "<invoke name=\"RecUpload\"><arguments><array><property id=\"0\"><string>  </string></property>"
      "<property id=\"1\"><string>\t\n</string></property></array></arguments></invoke>";
  const std::string first = "//invoke/arguments/array/property[@id=0]/string";
  CXmlDocument request;
  request.SetPreserveWhiteSpace(true);
  ASSERT_TRUE(request.LoadXml(invoke));
  EXPECT_EQ(request.SelectSingleNode(first)->GetInnerXml(), "  ");
  EXPECT_EQ(request.SelectSingleNode("//invoke/arguments/array/property[@id=1]/string")->GetInnerXml(), "\t\n");
  // The setting holds for every later load; the default drops blank text.
  ASSERT_TRUE(request.LoadXml(invoke));
  EXPECT_EQ(request.SelectSingleNode(first)->GetInnerXml(), "  ");
  CXmlDocument manifest;
  ASSERT_TRUE(manifest.LoadXml(invoke));
  EXPECT_EQ(manifest.SelectSingleNode(first)->GetInnerXml(), "");
}

TEST(XmlSelect, ExpressionsStartAtTheDocumentElement) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<config><DelMod><a>1</a></DelMod><x><DelMod/></x></config>"));
  EXPECT_EQ(doc.SelectSingleNode("DelMod/a")->GetText(), "1");
  EXPECT_EQ(doc.SelectSingleNode("//config/DelMod")->GetChildren()->GetCount(), 1);
  EXPECT_EQ(doc.SelectSingleNode("x/DelMod")->GetXml(), "<DelMod/>");
  EXPECT_TRUE(doc.SelectSingleNode("//root/a")->IsNull());
}

TEST(XmlSelect, InvalidOrNonNodeExpressionsGiveNullNodesSilently) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<root><a/></root>"));
  ::testing::internal::CaptureStderr();
  EXPECT_TRUE(doc.SelectSingleNode("//root/")->IsNull());
  EXPECT_TRUE(doc.SelectSingleNode("count(//a)")->IsNull());
  EXPECT_TRUE(doc.SelectSingleNode("//a[")->IsNull());
  EXPECT_TRUE(doc.SelectSingleNode("//x:a")->IsNull());  // undeclared prefix
  EXPECT_FALSE(doc.LoadXml("<broken"));
  EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST(XmlSelect, NothingIsSelectedFromADocumentWithoutElement) {
  CXmlDocument doc;
  EXPECT_TRUE(doc.SelectSingleNode("//a")->IsNull());
  EXPECT_FALSE(doc.LoadXml("<a>"));
  EXPECT_TRUE(doc.SelectSingleNode("//a")->IsNull());
  CXmlNode none;
  EXPECT_TRUE(none.SelectSingleNode("a")->IsNull());
}

// ------------------------------------------------------------ nodes

TEST(XmlNode, AttributesFallBackToTheDefaultWhenAbsentOrEmpty) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<r name=\"RecStart\" empty=\"\" amp=\"a&amp;b\" xmlns:p=\"urn:p\" p:q=\"pq\"/>"));
  CXmlNode r = doc.GetRoot();
  EXPECT_EQ(r.GetAttribute("name"), "RecStart");
  EXPECT_EQ(r.GetAttribute("name", "dflt"), "RecStart");
  EXPECT_EQ(r.GetAttribute("absent"), "");
  EXPECT_EQ(r.GetAttribute("absent", "0"), "0");
  EXPECT_EQ(r.GetAttribute("empty"), "");
  EXPECT_EQ(r.GetAttribute("empty", "0"), "0");
  EXPECT_EQ(r.GetAttribute("amp"), "a&b");
  EXPECT_EQ(r.GetAttribute("p:q"), "pq");
  EXPECT_EQ(r.GetAttribute("xmlns:p"), "urn:p");
  EXPECT_EQ(CXmlNode().GetAttribute("name", "d"), "d");
}

TEST(XmlNode, InnerXmlOfTextEmptyAndSelfClosingElements) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<r><text>abc</text><empty></empty><closed/><mixed>x<b>y</b></mixed></r>"));
  EXPECT_EQ(doc.SelectSingleNode("text")->GetInnerXml(), "abc");
  // Without content there is no inner markup, whichever form the element had.
  EXPECT_EQ(doc.SelectSingleNode("empty")->GetInnerXml(), "");
  EXPECT_EQ(doc.SelectSingleNode("closed")->GetInnerXml(), "");
  EXPECT_EQ(doc.SelectSingleNode("mixed")->GetInnerXml(), "x<b>y</b>");
  CXmlNode text = doc.SelectSingleNode("text");
  text.SetText("");
  EXPECT_EQ(text.GetXml(), "<text/>");
  EXPECT_EQ(CXmlNode().GetInnerXml(), "");
  EXPECT_EQ(doc.SelectSingleNode("text/@nothing")->GetXml(), "");
}

TEST(XmlNode, TextIsAllDescendantTextWithoutBlanksBetweenElements) {
  CXmlDocument doc;
  ASSERT_TRUE(
      doc.LoadXml("<r>\n  <a> one </a>\n  <b>two<c>three</c><![CDATA[<4>]]></b>\n"
                  "  <keep xml:space=\"preserve\"> <s/> </keep>\n</r>"));
  EXPECT_EQ(doc.SelectSingleNode("a")->GetText(), "one");
  EXPECT_EQ(doc.SelectSingleNode("b")->GetText(), "twothree<4>");
  EXPECT_EQ(doc.SelectSingleNode("keep")->GetText(), "  ");
  EXPECT_EQ(doc.GetRoot()->GetText(), "one twothree<4>");
  EXPECT_EQ(doc.SelectSingleNode("a/text()")->GetName(), "#text");
  EXPECT_EQ(CXmlNode().GetText(), "");
}

TEST(XmlNode, ChildrenAreElementsOnlyAndNullListsCountMinusOne) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<r>text<!-- c --><a/><?pi x?>more<b/><![CDATA[d]]></r>"));
  CXmlNodes children;
  children = doc.GetRoot()->GetChildren();
  ASSERT_EQ(children.GetCount(), 2);
  EXPECT_EQ(children.GetItem(0)->GetName(), "a");
  EXPECT_EQ(children.GetItem(1)->GetName(), "b");
  EXPECT_TRUE(children.GetItem(2)->IsNull());
  EXPECT_TRUE(children.GetItem(-1)->IsNull());

  CXmlNode none;
  EXPECT_EQ(none.GetChildren()->GetCount(), -1);
  EXPECT_TRUE(none.GetChildren()->GetItem(0)->IsNull());
  CXmlNodes empty;
  EXPECT_EQ(empty.GetCount(), -1);
}

TEST(XmlNode, NewChildAppendsLastAndNeedsANodeAndAName) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<root><a>1</a></root>"));
  CXmlNode none;
  EXPECT_TRUE(none.NewChild("x")->IsNull());
  EXPECT_FALSE(none.SetText("x"));
  CXmlNode root = doc.GetRoot();
  EXPECT_TRUE(root.NewChild("bad name")->IsNull());
  EXPECT_TRUE(root.NewChild("")->IsNull());
  CXmlNodePtr added = root.NewChild("b");
  ASSERT_FALSE(added->IsNull());
  EXPECT_EQ(root.GetXml(), "<root><a>1</a><b/></root>");
  EXPECT_TRUE(doc.SelectSingleNode("a/text()")->NewChild("x")->IsNull());  // text holds no elements
}

TEST(XmlNode, WrappersStayValidAfterTheirDocumentAndAfterEdits) {
  CXmlNode a;
  CXmlNodes list;
  {
    CXmlDocument doc;
    ASSERT_TRUE(doc.LoadXml("<root><a><deep>x</deep></a><b/></root>"));
    a = doc.SelectSingleNode("a");
    list = doc.GetRoot()->GetChildren();
    CXmlNode deep = doc.SelectSingleNode("a/deep");
    ASSERT_TRUE(a.SetText("replaced"));  // takes deep out of the tree
    EXPECT_EQ(deep.GetXml(), "<deep>x</deep>");
    EXPECT_TRUE(doc.SelectSingleNode("a/deep")->IsNull());
  }
  EXPECT_EQ(a.GetXml(), "<a>replaced</a>");
  ASSERT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.GetItem(1)->GetName(), "b");
  EXPECT_FALSE(a.NewChild("late")->IsNull());
}

// ------------------------------------------------------------ untrusted documents

TEST_F(XmlFiles, ExternalEntityNeverReadsALocalFile) {
  std::string secret = Write("secret.txt", "TOPSECRET");
  for (const std::string& system : {secret, "file://" + secret}) {
    CXmlDocument doc;
    std::string xml = "<!DOCTYPE r [<!ENTITY s SYSTEM \"" + system + "\">]><r><v>&s;</v></r>";
    if (doc.LoadXml(xml)) {
      EXPECT_EQ(doc.GetRoot()->GetText().find("TOPSECRET"), std::string::npos);
      EXPECT_EQ(doc.GetRoot()->GetXml().find("TOPSECRET"), std::string::npos);
      EXPECT_EQ(doc.SelectSingleNode("v[contains(., 'TOP')]")->IsNull(), true);
    }
    std::string path = Write("entity.xml", xml);
    if (doc.Open(path)) {
      EXPECT_EQ(doc.GetRoot()->GetText().find("TOPSECRET"), std::string::npos);
    }
  }
}

TEST(XmlUntrusted, ExternalDtdAndEntitiesNeverReachTheNetwork) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  ASSERT_GE(listener, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
  ASSERT_EQ(listen(listener, 8), 0);
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len), 0);
  std::string base = "http://127.0.0.1:" + std::to_string(ntohs(addr.sin_port)) + "/";

  CXmlDocument doc;
  doc.LoadXml("<!DOCTYPE r SYSTEM \"" + base + "r.dtd\"><r>&x;</r>");
  doc.LoadXml("<!DOCTYPE r [<!ENTITY x SYSTEM \"" + base + "x.xml\">]><r>&x;</r>");
  doc.LoadXml("<!DOCTYPE r [<!ENTITY % p SYSTEM \"" + base + "p.dtd\"> %p;]><r/>");
  doc.GetRoot()->GetText();
  doc.GetRoot()->GetXml();

  pollfd pending{listener, POLLIN, 0};
  EXPECT_EQ(poll(&pending, 1, 0), 0) << "the parser connected to " << base;
  close(listener);
}

TEST(XmlUntrusted, InternalEntitiesWithinBoundsStillWork) {
  CXmlDocument doc;
  ASSERT_TRUE(doc.LoadXml("<!DOCTYPE r [<!ENTITY v \"2.0\">]><r><m>&v;</m></r>"));
  EXPECT_EQ(doc.SelectSingleNode("m")->GetText(), "2.0");
  EXPECT_EQ(doc.SelectSingleNode("m")->GetInnerXml(), "&v;");
}

TEST(XmlUntrusted, BillionLaughsIsRefused) {
  std::ostringstream xml;
  xml << "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  xml << "<!ENTITY lol1 \"&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;&lol;\">";
  for (int i = 2; i <= 9; ++i) {
    xml << "<!ENTITY lol" << i << " \"";
    for (int j = 0; j < 10; ++j) xml << "&lol" << i - 1 << ";";
    xml << "\">";
  }
  xml << "]><lolz a=\"&lol9;\">&lol9;</lolz>";
  CXmlDocument doc;
  EXPECT_FALSE(doc.LoadXml(xml.str()));
  EXPECT_TRUE(doc.GetRoot()->IsNull());
}

TEST(XmlUntrusted, QuadraticBlowupIsRefused) {
  // One 100 kB entity referenced 20000 times: 2 GB of text.
  std::string xml = "<!DOCTYPE r [<!ENTITY big \"" + std::string(100000, 'x') + "\">]><r>";
  for (int i = 0; i < 20000; ++i) xml += "&big;";
  xml += "</r>";
  CXmlDocument doc;
  if (doc.LoadXml(xml)) {
    EXPECT_LE(doc.GetRoot()->GetText().size(), 1u << 20);
  }
  EXPECT_TRUE(doc.GetRoot()->IsNull());
}

// A tag with n attributes (or a document type with n attribute defaults) in
// a document of element r.
std::string WithValues(int n, bool bInDocumentType) {
  std::string values;
  for (int i = 0; i < n; ++i)
    values += bInDocumentType ? " a" + std::to_string(i) + " CDATA \"x\"" : " a" + std::to_string(i) + "=''";
  return bInDocumentType ? "<!DOCTYPE r [<!-- ' --><!ATTLIST r" + values + ">]><r/>" : "<r" + values + "/>";
}

TEST(XmlUntrusted, TagsWithThousandsOfAttributesAreRefused) {
  CXmlDocument doc;
  for (bool bInDocumentType : {false, true}) {
    EXPECT_TRUE(doc.LoadXml(WithValues(1000, bInDocumentType))) << bInDocumentType;
    EXPECT_FALSE(doc.LoadXml(WithValues(100000, bInDocumentType))) << bInDocumentType;
  }
  // The same in a file in UTF-16, and quotes in comments and text count for nothing.
  std::string strUtf16 = "\xFF\xFE";
  for (char c : WithValues(1001, false)) strUtf16 += std::string{c, '\0'};
  const std::string strPath = (fs::temp_directory_path() / ("xml-attrs-" + std::to_string(::getpid()))).string();
  std::ofstream(strPath, std::ios::binary) << strUtf16;
  EXPECT_FALSE(doc.Open(strPath));
  fs::remove(strPath);
  EXPECT_TRUE(doc.LoadXml("<r><!-- " + std::string(5000, '"') + " --><m>" + std::string(5000, '\'') + "</m></r>"));
}

TEST_F(XmlFiles, SaveOnAFullDiskFailsAndLeavesThePreviousFileWhole) {
  CSmallFilesystem disk(64 * 1024);
  const std::string path = disk.Path() + "/VerDel.Dat";
  CXmlDocument versions;
  ASSERT_TRUE(versions.LoadXml(kEmptyVersionFile));
  CXmlNode root = versions.GetRoot();
  for (int i = 0; i < 1000; ++i) root.NewChild("m" + std::to_string(i))->SetText("v1");
  ASSERT_TRUE(versions.Save(path));
  const std::string strBefore = Read(path);
  ASSERT_GT(strBefore.size(), 12000u);
  disk.Fill();

  // Six times the size: more than the disk has, even in place of the old file.
  for (int i = 1000; i < 6000; ++i) root.NewChild("m" + std::to_string(i))->SetText("v1");
  EXPECT_FALSE(versions.Save(path));
  EXPECT_EQ(Read(path), strBefore);
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(disk.Path())) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  const std::vector<std::string> expected =
      disk.IsTmpfs() ? std::vector<std::string>{"VerDel.Dat", "filler"} : std::vector<std::string>{"VerDel.Dat"};
  EXPECT_EQ(names, expected);
}
