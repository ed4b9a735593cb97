#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <thread>

#include "DemoCourse.h"
#include "DemoSite.h"
#include "support/Handles.h"
#include "TempDir.h"

namespace fs = std::filesystem;
using demosite::CDemoSite;

namespace {

// The multipart body exactly as the shell's upload builds it: the two field
// parts, the file part (header, bytes, CR LF) and the closing block.
constexpr char kBoundary[] = "---------------------------114782935826962";

std::string FieldPart(const std::string& name, const std::string& value) {
  return std::string("--") + kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"" + name + "\"" + "\r\n\r\n" +
         value + "\r\n";
}

std::string ShellUploadBody(const std::string& uid, const std::string& tid, const std::string* mp3) {
  std::string body = FieldPart("uid", uid) + FieldPart("tid", tid);
  if (mp3)
    body += std::string("--") + kBoundary + "\r\n" +
            "Content-Disposition: form-data; name=\"txtfile\"; filename=\"test.mp3\"" + "\r\n" +
            "Content-Type: application/octet-stream" + "\r\n\r\n" + *mp3 + "\r\n";
  body += std::string("\r\n") + "--" + kBoundary + "\r\n" + "Content-Disposition: form-data; name=\"Submit\"" +
          "\r\n\r\n" + "hello" + "\r\n" + "--" + kBoundary + "--" + "\r\n";
  return body;
}

// Sends the request bytes as they are and returns the whole response.
std::string RawExchange(int port, const std::string& request) {
  const support::CFd s(::socket(AF_INET, SOCK_STREAM, 0));
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::connect(s.Get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return "";
  for (size_t sent = 0; sent < request.size();) {
    const ssize_t n = ::send(s.Get(), request.data() + sent, request.size() - sent, MSG_NOSIGNAL);
    if (n <= 0) return "";
    sent += static_cast<size_t>(n);
  }
  // Read one response: the header, then Content-Length bytes (the connection
  // may stay open, as the shell asks for keep-alive).
  std::string response;
  char buf[4096];
  for (ssize_t n; (n = ::recv(s.Get(), buf, sizeof buf, 0)) > 0;) {
    response.append(buf, static_cast<size_t>(n));
    const size_t end = response.find("\r\n\r\n");
    if (end == std::string::npos) continue;
    const size_t length = response.find("Content-Length: ");
    if (length == std::string::npos || length > end) break;
    if (response.size() >= end + 4 + std::stoul(response.substr(length + 16))) break;
  }
  return response;
}

// The POST the shell sends: its three headers, then the body.
std::string ShellUploadRequest(const std::string& path, const std::string& body) {
  return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept: */*\r\nConnection:Keep-Alive\r\n" +
         "Content-Type: multipart/form-data; boundary=" + kBoundary + "\r\n" +
         "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
}

class DemoSite : public ::testing::Test {
 protected:
  void SetUp() override {
    demo::WriteDemoCourse((m_dir / "site").string(), "v1");
    m_options = {(m_dir / "site").string(), (m_dir / "store").string(), (m_dir / "lame_enc.so").string()};
    Start();
  }
  void TearDown() override { Stop(); }
  void Start() {
    m_site = std::make_unique<CDemoSite>(m_options);
    m_nPort = m_site->Bind(0);
    ASSERT_GT(m_nPort, 0);
    m_thread = std::thread([this] { m_site->Listen(); });
  }
  void Stop() {
    if (!m_site) return;
    m_site->Stop();
    m_thread.join();
    m_site.reset();
  }
  httplib::Result Get(const std::string& path) { return httplib::Client("127.0.0.1", m_nPort).Get(path); }

  CTempDir m_tmp;
  fs::path m_dir = m_tmp.Path();
  demosite::CDemoSiteOptions m_options;
  std::unique_ptr<CDemoSite> m_site;
  std::thread m_thread;
  int m_nPort = 0;
};

}  // namespace

TEST_F(DemoSite, ServesCourseFilesWhateverTheVersionQueryAndTheManifest) {
  auto lesson = Get("/course/unit1/lesson1.swf?v1");
  ASSERT_TRUE(lesson);
  EXPECT_EQ(lesson->status, 200);
  EXPECT_EQ(lesson->body, ReadWholeFile(m_dir / "site/course/unit1/lesson1.swf"));
  auto boot = Get("/qzboot.swf");
  ASSERT_TRUE(boot);
  EXPECT_EQ(boot->body, ReadWholeFile(m_dir / "site/qzboot.swf"));
  EXPECT_EQ(boot->get_header_value("Content-Length"), std::to_string(boot->body.size()));
  auto manifest = Get("/tovan.xml");
  ASSERT_TRUE(manifest);
  EXPECT_NE(manifest->body.find("<DelMod>"), std::string::npos);
  auto index = Get("/INDEX.HTML");
  ASSERT_TRUE(index);
  EXPECT_EQ(index->status, 200);

  auto missing = Get("/course/unit1/nothing.swf?v1");
  ASSERT_TRUE(missing);
  EXPECT_EQ(missing->status, 404);
  // Nothing outside the course directory is reachable.
  std::ofstream(m_dir / "secret.txt") << "secret";
  const std::string outside = RawExchange(m_nPort, "GET /../secret.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ(outside.find("secret\n"), std::string::npos);
  EXPECT_EQ(outside.rfind("HTTP/1.1 200", 0), std::string::npos) << outside;
}

TEST_F(DemoSite, ServesTheEncoderLibraryUnderBothNamesOnceItIsBuilt) {
  auto before = Get("/lame_enc.dll");
  ASSERT_TRUE(before);
  EXPECT_EQ(before->status, 404);
  const std::string library(
      "\x7f"
      "ELF\0\1\2library bytes",
      20);
  std::ofstream(m_dir / "lame_enc.so", std::ios::binary) << library;
  for (const char* path : {"/lame_enc.dll", "/lame_enc.so"}) {
    auto got = Get(path);
    ASSERT_TRUE(got) << path;
    EXPECT_EQ(got->status, 200) << path;
    EXPECT_EQ(got->body, library) << path;
  }
}

TEST_F(DemoSite, StoresTheShellsUploadAndListsIt) {
  std::string mp3("\xFF\xF3\x48\xC4", 4);
  for (int i = 0; i < 3000; ++i) mp3 += static_cast<char>(i * 7);
  mp3 += "\r\n--not the boundary\r\n";  // file bytes that look like markup stay intact
  const std::string uid = "10001", tid = "2001";
  const std::string body = ShellUploadBody(uid, tid, &mp3);
  ASSERT_EQ(body.size(), 499 + uid.size() + tid.size() + mp3.size()) << "the shell's announced length";

  const std::string response = RawExchange(m_nPort, ShellUploadRequest("/Upfile.ashx", body));
  EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;

  const auto records = m_site->Store().List();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].nId, 1);
  EXPECT_EQ(records[0].strUid, uid);
  EXPECT_EQ(records[0].strTid, tid);
  EXPECT_FALSE(records[0].bEnglish);
  EXPECT_EQ(records[0].strEndpoint, "/Upfile.ashx");
  EXPECT_EQ(records[0].strFileName, "test.mp3");
  // The file part ends with the extra CR LF the shell puts before the closing block.
  const auto stored = m_site->Store().FilePath(1);
  ASSERT_TRUE(stored);
  EXPECT_EQ(ReadWholeFile(*stored), mp3 + "\r\n");
  EXPECT_EQ(records[0].nFileBytes, mp3.size() + 2);

  auto json = Get("/uploads.json");
  ASSERT_TRUE(json);
  EXPECT_EQ(json->get_header_value("Content-Type"), "application/json");
  EXPECT_NE(json->body.find("\"uid\": \"10001\", \"tid\": \"2001\", \"file\": \"test.mp3\""), std::string::npos)
      << json->body;
  EXPECT_NE(json->body.find("\"english\": false"), std::string::npos);
  auto page = Get("/uploads");
  ASSERT_TRUE(page);
  EXPECT_NE(page->body.find("<td>10001</td><td>2001</td>"), std::string::npos) << page->body;
  auto file = Get("/uploads/1/file");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->body, mp3 + "\r\n");
}

TEST_F(DemoSite, EnglishPathAndAnUploadWithoutRecordingAreKeptAndSurviveARestart) {
  const std::string uid = "小明", tid = "t\"1\"\n";
  const std::string body = ShellUploadBody(uid, tid, nullptr);
  ASSERT_EQ(body.size(), 340 + uid.size() + tid.size()) << "the shell's length when test.mp3 is missing";
  const std::string response = RawExchange(m_nPort, ShellUploadRequest("/Upfile_en.ashx", body));
  EXPECT_EQ(response.rfind("HTTP/1.1 200", 0), 0u) << response;

  Stop();
  Start();  // a new site over the same store
  const auto records = m_site->Store().List();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_TRUE(records[0].bEnglish);
  EXPECT_EQ(records[0].strEndpoint, "/Upfile_en.ashx");
  EXPECT_EQ(records[0].strUid, uid);
  // Without a file part the last field carries the CR LF that the shell
  // puts before its closing block; the site keeps what it received.
  EXPECT_EQ(records[0].strTid, tid + "\r\n");
  EXPECT_TRUE(records[0].strFileName.empty());
  EXPECT_FALSE(m_site->Store().FilePath(1));

  auto json = Get("/uploads.json");
  ASSERT_TRUE(json);
  EXPECT_NE(json->body.find("\"uid\": \"小明\", \"tid\": \"t\\\"1\\\"\\n\\r\\n\""), std::string::npos) << json->body;
  EXPECT_NE(json->body.find("\"url\": null"), std::string::npos);
  // The next upload continues the numbering.
  RawExchange(m_nPort, ShellUploadRequest("/Upfile.ashx", ShellUploadBody("a", "b", nullptr)));
  ASSERT_EQ(m_site->Store().List().size(), 2u);
  EXPECT_EQ(m_site->Store().List()[1].nId, 2);
}

TEST_F(DemoSite, RefusesAnUploadThatIsNotAForm) {
  const std::string response = RawExchange(
      m_nPort,
      "POST /Upfile.ashx HTTP/1.1\r\nContent-Type: text/plain\r\nContent-Length: 5\r\nConnection: close\r\n\r\nhello");
  EXPECT_EQ(response.rfind("HTTP/1.1 400", 0), 0u) << response;
  EXPECT_TRUE(m_site->Store().List().empty());
  EXPECT_TRUE(fs::is_empty(m_dir / "store"));
}

TEST(DemoSiteText, JsonAndHtmlKeepUtf8AndReplaceWhatIsNotText) {
  EXPECT_EQ(demosite::JsonString("上传\t\"x\"\\\x01"), "\"上传\\t\\\"x\\\"\\\\\\u0001\"");
  EXPECT_EQ(demosite::JsonString(std::string("a\xC3", 2)), "\"a\xEF\xBF\xBD\"");  // cut sequence
  EXPECT_EQ(demosite::JsonString("\xC0\xAF"), "\"\xEF\xBF\xBD\xEF\xBF\xBD\"");    // overlong '/'
  EXPECT_EQ(demosite::HtmlText("<b>&\"小\""), "&lt;b&gt;&amp;&quot;小&quot;");
  EXPECT_EQ(demosite::SafeFileName("C:\\rec\\test.mp3"), "test.mp3");
  EXPECT_EQ(demosite::SafeFileName("../.."), "upload.bin");
}

TEST(DemoSiteProgram, PrintsItsPortServesAndStopsOnSigterm) {
  CTempDir tmp;
  const fs::path dir = tmp.Path();
  demo::WriteDemoCourse((dir / "site").string(), "v1");
  int out[2];
  ASSERT_EQ(::pipe(out), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const std::string root = (dir / "site").string(), store = (dir / "store").string();
  const char* argv[] = {DEMOSITE_EXE, "--port", "0", "--root", root.c_str(), "--store", store.c_str(), nullptr};
  pid_t pid;
  ASSERT_EQ(posix_spawn(&pid, DEMOSITE_EXE, &actions, nullptr, const_cast<char**>(argv), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  std::string line;
  char c;
  while (::read(out[0], &c, 1) == 1 && c != '\n') line += c;
  ::close(out[0]);
  const size_t at = line.find("http://127.0.0.1:");
  ASSERT_NE(at, std::string::npos) << line;
  const int port = std::stoi(line.substr(at + 17));
  auto manifest = httplib::Client("127.0.0.1", port).Get("/tovan.xml");
  EXPECT_TRUE(manifest && manifest->status == 200);
  ::kill(pid, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;

  // A missing argument is a usage error.
  const char* bad[] = {DEMOSITE_EXE, "--port", "0", nullptr};
  ASSERT_EQ(posix_spawn(&pid, DEMOSITE_EXE, nullptr, nullptr, const_cast<char**>(bad), environ), 0);
  ASSERT_EQ(::waitpid(pid, &status, 0), pid);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
}
