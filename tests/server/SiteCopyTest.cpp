// The course served from a copy of the product web site on disk: a folder,
// a ZIP archive, and either of them ahead of the web site.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "SmallFilesystem.h"
#include "TempDir.h"
#include "TestArchive.h"
#include "server/HTTPServer.h"
#include "server/ProductSite.h"
#include "server/TestOrigins.h"

namespace fs = std::filesystem;

namespace {

// The site's layout, as a school's copy holds it.
const std::vector<std::pair<std::string, std::string>> kCourse = {
    {"tovan.xml", "<config><DelMod><course>v1</course></DelMod></config>"},
    {"qzboot.swf", "FWS-boot"},
    {"course/unit1/a.mp3", "MP3-a"},
    {"course/中文.swf", "FWS-zh"},
    {"course/empty.txt", ""},
};
const std::string kSecret = "SECRET outside the copy";
// Larger than the small disk of the full-disk case.
const std::string kBigSound(512 * 1024, 'm');

std::vector<CArchiveEntry> CourseEntries() {
  std::vector<CArchiveEntry> entries;
  for (const auto& [strName, strBytes] : kCourse) entries.push_back({strName, strBytes});
  return entries;
}

// Every file below dir, relative, with its bytes.
std::map<std::string, std::string> FilesBelow(const fs::path& dir) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files[fs::relative(entry.path(), dir).string()] = ReadWholeFile(entry.path());
  return files;
}

class SiteCopyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const auto& [strName, strBytes] : kCourse) WriteWholeFile(Folder() / strName, strBytes);
    WriteWholeFile(Folder() / "course" / "big.mp3", kBigSound);
    WriteWholeFile(Root() / "secret.swf", kSecret);
    // What a copy may hold that must not be served: links out of it, a name
    // that climbs out, an absolute name, a directory by its mode.
    fs::create_symlink("../../secret.swf", Folder() / "course" / "link.swf");
    fs::create_directory_symlink(Root(), Folder() / "linked");
    std::vector<CArchiveEntry> entries = CourseEntries();
    entries.push_back({"course/big.mp3", kBigSound});
    entries.push_back({"course/link.swf", "../../secret.swf", S_IFLNK | 0777});
    entries.push_back({"linked/", "", S_IFDIR | 0755});
    entries.push_back({"linked/secret.swf", "", S_IFLNK | 0777});
    entries.push_back({"../secret.swf", "from the archive"});
    entries.push_back({"course/../../secret.swf", "from the archive"});
    entries.push_back({"/abs.swf", "from the archive"});
    entries.push_back({"course/box", "", S_IFDIR | 0755});
    ASSERT_TRUE(WriteArchive(Archive().string(), entries));
    fs::create_directories(Cache());
  }

  fs::path Root() const { return m_dir.Path(); }
  fs::path Folder() const { return Root() / "copy"; }
  fs::path Archive() const { return Root() / "Course.ZIP"; }
  fs::path Cache() const { return Root() / "cache"; }
  std::string Local(const std::string& strName) const { return (Cache() / strName).string(); }

  CTempDir m_dir;
};

// The same cases for a folder and an archive, each in one of its two spellings.
class EachCopyTest : public SiteCopyTest, public ::testing::WithParamInterface<bool> {
 protected:
  std::string Base() const { return GetParam() ? "file://" + Archive().string() : Folder().string() + "/"; }
};

TEST_P(EachCopyTest, ServesTheSiteLayoutWithoutTheQuery) {
  const CProductSite site(Base());
  EXPECT_EQ(site.Problems(), std::vector<std::string>{});

  EXPECT_TRUE(site.Fetch("course/unit1/a.mp3?ver2", Local("ver2a.mp3")));
  EXPECT_TRUE(site.Fetch("tovan.xml", Local("tovan.xml")));
  // The movie's web engine escapes what is not ASCII, as a web server expects.
  EXPECT_TRUE(site.Fetch("course/%E4%B8%AD%E6%96%87.swf?v1", Local("zh.swf")));
  EXPECT_TRUE(site.Fetch("course/empty.txt", Local("empty.txt")));

  // What the copy lacks, or holds as a directory: nothing written, an old file kept.
  WriteWholeFile(Local("old.mp3"), "old");
  EXPECT_FALSE(site.Fetch("course/unit1/missing.mp3?ver2", Local("old.mp3")));
  EXPECT_FALSE(site.Fetch("course/unit1?ver2", Local("old.mp3")));
  EXPECT_FALSE(site.Fetch("course/box", Local("old.mp3")));
  // A fetch stopped by its caller writes nothing either.
  const std::atomic<bool> bStop{true};
  CFetchSettings stopped;
  stopped.m_pbStop = &bStop;
  EXPECT_FALSE(site.Fetch("qzboot.swf", Local("qzboot.swf"), stopped));

  EXPECT_EQ(FilesBelow(Cache()), (std::map<std::string, std::string>{{"ver2a.mp3", "MP3-a"},
                                                                     {"tovan.xml", kCourse[0].second},
                                                                     {"zh.swf", "FWS-zh"},
                                                                     {"empty.txt", ""},
                                                                     {"old.mp3", "old"}}));
}

TEST_P(EachCopyTest, LinksAndNamesLeavingTheCopyAreNotServed) {
  const CProductSite site(Base());
  for (const char* pszPath : {"course/link.swf", "linked/secret.swf", "../secret.swf", "%2e%2e/secret.swf",
                              "course/../../secret.swf", "course/..%2F..%2Fsecret.swf", "/abs.swf", "%2Fabs.swf",
                              "course//unit1/a.mp3", "./qzboot.swf", "course\\unit1\\a.mp3", "?qzboot.swf"})
    EXPECT_FALSE(site.Fetch(pszPath, Local("x.swf"))) << pszPath;
  EXPECT_EQ(FilesBelow(Cache()), (std::map<std::string, std::string>{}));
  EXPECT_EQ(ReadWholeFile((Root() / "secret.swf").string()), kSecret);
}

TEST_P(EachCopyTest, ACacheDiskThatFillsUpKeepsTheFileItHad) {
  CSmallFilesystem disk(128 * 1024);
  const std::string strLocal = disk.Path() + "/v1big.mp3";
  WriteWholeFile(strLocal, "the sound as cached before");
  disk.Fill();
  EXPECT_FALSE(CProductSite(Base()).Fetch("course/big.mp3?v1", strLocal));
  EXPECT_EQ(ReadWholeFile(strLocal), "the sound as cached before");
  for (const auto& entry : fs::directory_iterator(disk.Path()))
    EXPECT_TRUE(entry.path().filename() == "v1big.mp3" || entry.path().filename() == "filler") << entry.path();
}

INSTANTIATE_TEST_SUITE_P(FolderAndArchive, EachCopyTest, ::testing::Bool(),
                         [](const auto& test) { return test.param ? "Archive" : "Folder"; });

TEST_F(SiteCopyTest, DamagedMemberIsNotServedAndTheRestIs) {
  const std::string strBytes = "FWS-these-bytes-are-stored-as-they-are-0123456789";
  std::vector<CArchiveEntry> entries = CourseEntries();
  entries.push_back({"course/bad.swf", strBytes, S_IFREG | 0644, true});
  ASSERT_TRUE(WriteArchive(Archive().string(), entries));
  std::string strArchive = ReadWholeFile(Archive().string());
  const std::size_t nAt = strArchive.find(strBytes);
  ASSERT_NE(nAt, std::string::npos);
  strArchive[nAt + 10] ^= 0x20;  // the checksum no longer matches
  std::ofstream(Archive(), std::ios::binary | std::ios::trunc) << strArchive;

  const CProductSite site(Archive().string());
  WriteWholeFile(Local("bad.swf"), "old");
  EXPECT_FALSE(site.Fetch("course/bad.swf?v1", Local("bad.swf")));
  EXPECT_TRUE(site.Fetch("qzboot.swf", Local("qzboot.swf")));
  EXPECT_EQ(FilesBelow(Cache()), (std::map<std::string, std::string>{{"bad.swf", "old"}, {"qzboot.swf", "FWS-boot"}}));
}

TEST_F(SiteCopyTest, UnusableBasesAreReportedOneLineEachAndServeNothing) {
  const std::string strArchive = ReadWholeFile(Archive().string());
  WriteWholeFile(Root() / "truncated.zip", strArchive.substr(0, strArchive.size() / 2));
  WriteWholeFile(Root() / "notes.zip", "not an archive");
  WriteWholeFile(Root() / "plain-file", "not a folder");
  const std::vector<std::string> bad = {
      "/nonexistent/course",           "/nonexistent/course.zip",        (Root() / "truncated.zip").string(),
      (Root() / "notes.zip").string(), (Root() / "plain-file").string(), "file://server/share/course.zip",
      "ftp://127.0.0.1/course/",
  };
  std::string strBases = Folder().string() + " " + Archive().string() + " http://127.0.0.1:1/";
  for (const std::string& strBase : bad) strBases += "  " + strBase;

  const std::vector<std::string> problems = CProductSite(strBases).Problems();
  ASSERT_EQ(problems.size(), bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_NE(problems[i].find("cannot come from " + bad[i] + ": "), std::string::npos) << problems[i];

  std::string strOnlyBad;
  for (const std::string& strBase : bad) strOnlyBad += strBase + " ";
  EXPECT_FALSE(CProductSite(strOnlyBad).Fetch("tovan.xml", Local("tovan.xml")));
  EXPECT_EQ(FilesBelow(Cache()), (std::map<std::string, std::string>{}));
}

// A pipe (or a device) named as the copy would keep a reader waiting for a
// writer for ever: it is refused at start, never opened.
TEST_F(SiteCopyTest, PipeOrDeviceAsTheCopyIsRefusedWithoutWaiting) {
  ASSERT_EQ(::mkfifo((Root() / "course.zip").c_str(), 0600), 0);
  ASSERT_EQ(::mkfifo((Root() / "course").c_str(), 0600), 0);
  const std::vector<std::string> bad = {(Root() / "course.zip").string(), "file://" + (Root() / "course").string(),
                                        "/dev/null"};
  std::string strBases;
  for (const std::string& strBase : bad) strBases += strBase + " ";

  // Run aside: a reader that blocks must fail the test, not hang it.
  auto result = std::make_shared<std::promise<std::pair<std::vector<std::string>, bool>>>();
  std::future<std::pair<std::vector<std::string>, bool>> done = result->get_future();
  std::thread([strBases, result, local = Local("qzboot.swf")] {
    const CProductSite site(strBases);
    result->set_value({site.Problems(), site.Fetch("qzboot.swf", local)});
  }).detach();
  ASSERT_EQ(done.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [problems, bFetched] = done.get();
  ASSERT_EQ(problems.size(), bad.size());
  for (std::size_t i = 0; i < bad.size(); ++i)
    EXPECT_NE(problems[i].find("cannot come from " + bad[i] + ": neither a file nor a folder"), std::string::npos)
        << problems[i];
  EXPECT_FALSE(bFetched);
}

// Archivers on Chinese Windows store names in code page 936 without the
// UTF-8 flag; the movie asks for them in UTF-8 (or, as the Windows player
// did, in code page 936 itself).
TEST_F(SiteCopyTest, ArchiveNamesInCodePage936AreFound) {
  const std::string strLesson = "\xBF\xCE\xB3\xCC\xD2\xBB.swf";  // 课程一.swf
  const std::string strUnit = "\xB5\xA5\xD4\xAA/\xCD\xBC.gif";   // 单元/图.gif
  CArchiveEntry lesson{strLesson, "FWS-lesson"}, picture{strUnit, "GIF-picture"};
  lesson.bGuessEncoding = picture.bGuessEncoding = true;
  ASSERT_TRUE(WriteArchive(Archive().string(), {lesson, picture, {"course/中文.swf", "FWS-zh"}}));
  const CProductSite site(Archive().string());

  EXPECT_TRUE(site.Fetch("%E8%AF%BE%E7%A8%8B%E4%B8%80.swf", Local("utf8.swf")));
  EXPECT_TRUE(site.Fetch("单元/图.gif?v2", Local("picture.gif")));
  EXPECT_TRUE(site.Fetch("%BF%CE%B3%CC%D2%BB.swf", Local("gbk.swf")));
  EXPECT_TRUE(site.Fetch("course/中文.swf", Local("zh.swf")));
  EXPECT_EQ(FilesBelow(Cache()), (std::map<std::string, std::string>{{"utf8.swf", "FWS-lesson"},
                                                                     {"picture.gif", "GIF-picture"},
                                                                     {"gbk.swf", "FWS-lesson"},
                                                                     {"zh.swf", "FWS-zh"}}));
}

TEST_F(SiteCopyTest, ReplacedOrRemovedArchiveIsSeenAtTheNextFetch) {
  const CProductSite site(Archive().string());
  EXPECT_TRUE(site.Fetch("qzboot.swf", Local("boot")));
  const fs::path next = Root() / "next.zip";
  ASSERT_TRUE(WriteArchive(next.string(), {{"qzboot.swf", "FWS-boot-2"}}));
  fs::rename(next, Archive());
  EXPECT_TRUE(site.Fetch("qzboot.swf", Local("boot")));
  EXPECT_EQ(ReadWholeFile(Local("boot")), "FWS-boot-2");

  fs::remove(Archive());
  EXPECT_FALSE(site.Fetch("qzboot.swf", Local("boot")));
  EXPECT_EQ(ReadWholeFile(Local("boot")), "FWS-boot-2");
  EXPECT_EQ(site.Problems().size(), 1u);
}

// The web site behind the copy: answers what it has, remembers what was asked.
class CLoggingOrigin {
 public:
  explicit CLoggingOrigin(std::map<std::string, std::string> files) : m_files(std::move(files)) {
    m_origin.Server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
      std::lock_guard<std::mutex> lock(m_lock);
      m_log.push_back(req.target);
      const auto it = m_files.find(req.target);
      if (it == m_files.end())
        res.status = 404;
      else
        res.set_content(it->second, "application/octet-stream");
    });
    m_origin.Start();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_log;
  }
  std::string Url() const { return m_origin.Url("/"); }

 private:
  std::mutex m_lock;
  const std::map<std::string, std::string> m_files;
  std::vector<std::string> m_log;
  testing_origins::CHttplibOrigin m_origin;  // last: stops before what its handler uses goes
};

TEST_F(SiteCopyTest, BasesAreTriedInOrderForEachFile) {
  CLoggingOrigin web({{"/qzboot.swf", "FWS-web"}, {"/course/more.swf?v2", "FWS-more"}});
  const CProductSite copyFirst(Archive().string() + " " + web.Url());
  EXPECT_TRUE(copyFirst.Fetch("qzboot.swf", Local("boot-1")));
  EXPECT_TRUE(copyFirst.Fetch("course/more.swf?v2", Local("more")));
  EXPECT_FALSE(copyFirst.Fetch("course/none.swf?v2", Local("none")));
  // The web site is asked only for what the copy lacks, query and all.
  EXPECT_EQ(web.Log(), (std::vector<std::string>{"/course/more.swf?v2", "/course/none.swf?v2"}));

  const CProductSite webFirst(web.Url() + " " + Folder().string());
  EXPECT_TRUE(webFirst.Fetch("qzboot.swf", Local("boot-2")));
  EXPECT_TRUE(webFirst.Fetch("course/unit1/a.mp3?ver2", Local("a.mp3")));
  EXPECT_EQ(FilesBelow(Cache()),
            (std::map<std::string, std::string>{
                {"boot-1", "FWS-boot"}, {"more", "FWS-more"}, {"boot-2", "FWS-web"}, {"a.mp3", "MP3-a"}}));
}

// The resource server over an archive, with the movie's many connections.
TEST_F(SiteCopyTest, ServerFillsTheCacheFromAnArchiveUnderQueryNamesAndRefetchesXml) {
  constexpr int kFiles = 200;
  constexpr int kClients = 16;  // more than the archive has handles: some wait for one
  std::vector<CArchiveEntry> entries = CourseEntries();
  for (int i = 0; i < kFiles; ++i)
    entries.push_back({"course/f" + std::to_string(i) + ".swf", "FWS-" + std::string(i * 37 % 4096, 'x')});
  ASSERT_TRUE(WriteArchive(Archive().string(), entries));
  ::setenv("WINDIR", Root().c_str(), 1);
  ::setenv("QUILLBY_BASE_URL", Archive().c_str(), 1);
  CHTTPServer server;
  ASSERT_TRUE(server.Start(Cache().string(), "INDEX.HTML", 0, 5000));
  ::unsetenv("QUILLBY_BASE_URL");

  std::atomic<int> nWrong{0};
  std::vector<std::thread> clients;
  for (int c = 0; c < kClients; ++c)
    clients.emplace_back([&, c] {
      httplib::Client client("127.0.0.1", server.m_nPort);
      for (int i = c; i < kFiles; i += kClients) {
        const auto res = client.Get("/course/f" + std::to_string(i) + ".swf?v1");
        if (!res || res->status != 200 || res->body != entries[kCourse.size() + i].strBytes) ++nWrong;
      }
    });
  for (auto& client : clients) client.join();
  EXPECT_EQ(nWrong.load(), 0);
  EXPECT_EQ(ReadWholeFile(Local("course/v1f7.swf")), entries[kCourse.size() + 7].strBytes);

  httplib::Client client("127.0.0.1", server.m_nPort);
  EXPECT_EQ(client.Get("/course/missing.swf?v1")->status, 404);
  EXPECT_EQ(client.Get("/tovan.xml?t=1")->body, kCourse[0].second);
  ASSERT_TRUE(WriteArchive(Archive().string(), {{"tovan.xml", "<config/>"}}));
  EXPECT_EQ(client.Get("/tovan.xml?t=2")->body, "<config/>");
  EXPECT_TRUE(server.Stop());
}

}  // namespace
