#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ProductSite.h"
#include "RawOrigin.h"
#include "SmallFilesystem.h"
#include "TempDir.h"
#include "server/HTTPServer.h"
#include "server/Socket.h"
#include "server/TestOrigins.h"

namespace fs = std::filesystem;

namespace {

constexpr int kClientTimeoutMs = 5000;
constexpr int kPatienceMs = 5000;

const std::string kNotFound =
    "HTTP/1.0 404 Resource not found\r\nContent-Length: 0\r\nContent-Type: text/html\r\nDate: *\r\nServer: "
    "Web1.0\r\n\r\n";
const std::string kNotImplemented =
    "HTTP/1.0 501 Not Implemented\r\nContent-Length: 0\r\nContent-Type: text/html\r\nDate: *\r\nServer: "
    "Web1.0\r\n\r\n";

// The expected 200 response with the date masked.
std::string Ok(const std::string& strType, const std::string& strBody, const std::string& strConnection = "close") {
  return "HTTP/1.0 200 OK\r\nDate: *\r\nServer: Web1.0\r\nAccept-Ranges: bytes\r\nContent-Length: " +
         std::to_string(strBody.size()) + "\r\nConnection: " + strConnection + "\r\nContent-Type: " + strType +
         "\r\n\r\n" + strBody;
}

// Replaces the value of the Date header by "*" after checking its form.
std::string MaskDate(const std::string& strResponse) {
  static const std::regex date("Date: [^\r]*\r\n");
  static const std::regex form(
      "Date: (Mon|Tue|Wed|Thu|Fri|Sat|Sun), [0-3][0-9] (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
      "20[0-9][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] GMT\r\n");
  std::smatch match;
  if (std::regex_search(strResponse, match, date)) {
    EXPECT_TRUE(std::regex_match(match.str(), form)) << match.str();
  }
  return std::regex_replace(strResponse, date, "Date: *\r\n", std::regex_constants::format_first_only);
}

// The server as the program runs it, with fetches that give up at once on a
// site that is down.
class CTestHTTPServer : public CHTTPServer {
 public:
  CTestHTTPServer() {
    m_fetchSettings.m_nConnectRetries = 0;
    m_fetchSettings.m_nConnectTimeoutMs = 2000;
    m_fetchSettings.m_nReceiveTimeoutMs = 2000;
  }
  // Connection threads make virtual calls: they must end before this object
  // starts turning back into its base classes.
  ~CTestHTTPServer() override { Stop(); }

  int OnClientAccepted(const std::string& strAddress, std::uint16_t nPort) override {
    ++m_nAccepted;
    return CHTTPServer::OnClientAccepted(strAddress, nPort);
  }
  std::atomic<int> m_nAccepted{0};
};

// One connection as the movie's player holds it.
class CConnection {
 public:
  explicit CConnection(int nPort, int nReceiveBuffer = 0) : m_socket(::socket(AF_INET, SOCK_STREAM, 0)) {
    if (nReceiveBuffer > 0)
      ::setsockopt(m_socket.Get(), SOL_SOCKET, SO_RCVBUF, &nReceiveBuffer, sizeof(nReceiveBuffer));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<std::uint16_t>(nPort));
    m_bConnected = ::connect(m_socket.Get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  bool Connected() const { return m_bConnected; }
  void Send(const std::string& strData) { testing_support::SendAll(m_socket.Get(), strData); }

  // One response: the head up to the empty line and Content-Length bytes after it.
  std::string ReadResponse() {
    std::size_t nHeadEnd;
    while ((nHeadEnd = m_strPending.find("\r\n\r\n")) == std::string::npos)
      if (!ReceiveMore()) return std::exchange(m_strPending, {});
    nHeadEnd += 4;
    static const std::regex length("Content-Length: ([0-9]+)\r\n");
    std::smatch match;
    const std::string strHead = m_strPending.substr(0, nHeadEnd);
    const std::size_t nBody = std::regex_search(strHead, match, length) ? std::stoull(match[1]) : 0;
    while (m_strPending.size() < nHeadEnd + nBody)
      if (!ReceiveMore()) break;
    std::string strResponse = m_strPending.substr(0, nHeadEnd + nBody);
    m_strPending.erase(0, strResponse.size());
    return strResponse;
  }
  // At least n bytes of what arrives, or fewer when the connection ends first.
  std::string ReadAtLeast(std::size_t n) {
    while (m_strPending.size() < n)
      if (!ReceiveMore()) break;
    return m_strPending;
  }
  // Everything until the server closes the connection.
  std::string ReadUntilClosed() {
    while (ReceiveMore()) {
    }
    return std::exchange(m_strPending, {});
  }
  // True when the server closes the connection with nothing more sent.
  bool ClosedByServer() { return !ReceiveMore() && m_strPending.empty() && m_bClosed; }
  // Goes away in the middle of a reply, as a client that gives up does: its
  // side ends, then the socket closes with the reply unread (a reset).
  void Leave() {
    ::shutdown(m_socket.Get(), SHUT_WR);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    m_socket.Close();
  }
  // True when the connection is still open and silent after a short wait.
  bool StillOpen() {
    pollfd pfd{m_socket.Get(), POLLIN, 0};
    return ::poll(&pfd, 1, 200) == 0;
  }

 private:
  bool ReceiveMore() {
    pollfd pfd{m_socket.Get(), POLLIN, 0};
    if (::poll(&pfd, 1, kPatienceMs) <= 0) return false;
    char buffer[65536];
    const ssize_t nGot = ::recv(m_socket.Get(), buffer, sizeof(buffer), 0);
    if (nGot <= 0) {
      m_bClosed = true;
      return false;
    }
    m_strPending.append(buffer, static_cast<std::size_t>(nGot));
    return true;
  }

  CSocket m_socket;
  bool m_bConnected = false;
  bool m_bClosed = false;
  std::string m_strPending;
};

// Every file and directory below dir with the files' contents.
std::map<std::string, std::string> Snapshot(const fs::path& dir) {
  std::map<std::string, std::string> snapshot;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    snapshot[entry.path().string()] = entry.is_regular_file() ? ReadWholeFile(entry.path().string()) : "<dir>";
  return snapshot;
}

class HttpServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("QUILLBY_BASE_URL", m_site->Url("/").c_str(), 1);
    m_root = fs::path(m_home.Path()) / "quillby" / "sz";
  }
  void TearDown() override { ::unsetenv("QUILLBY_BASE_URL"); }

  // On the system's free port (0): the choice from a first port has a test of its own.
  void Start(CHTTPServer& server) { ASSERT_TRUE(server.Start(m_root.string(), "INDEX.HTML", 0, kClientTimeoutMs)); }
  void Start() { Start(m_server); }

  // The response to one request on a connection of its own, date masked;
  // the connection must close after it.
  std::string Get(const std::string& strRequest, CHTTPServer& server) {
    CConnection connection(server.m_nPort);
    EXPECT_TRUE(connection.Connected());
    connection.Send(strRequest);
    const std::string strResponse = MaskDate(connection.ReadResponse());
    EXPECT_TRUE(connection.ClosedByServer()) << strRequest;
    return strResponse;
  }
  std::string Get(const std::string& strRequest) { return Get(strRequest, m_server); }
  static std::string RequestFor(const std::string& strPath) { return "GET " + strPath + " HTTP/1.0\r\n\r\n"; }

  std::string RunLog() const { return m_logDir.LogText(); }

  CLogDir m_logDir;
  CTempDir m_home;
  fs::path m_root;
  std::unique_ptr<ProductSite> m_site = std::make_unique<ProductSite>();
  CTestHTTPServer m_server;  // last: stops before the site and directories go
};

TEST_F(HttpServerTest, ServesCachedFilesWithTheTypeOfTheirExtension) {
  WriteWholeFile(m_root / "INDEX.HTML", "<html>home</html>");
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  WriteWholeFile(m_root / "B.SWF", "FWS-B");
  WriteWholeFile(m_root / "pics" / "p.png", "PNG");
  WriteWholeFile(m_root / "notes", "plain");
  WriteWholeFile(m_root / "s" / "t.CSS", "body{}");
  Start();

  EXPECT_EQ(Get("GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), Ok("text/html", "<html>home</html>"));
  EXPECT_EQ(Get(RequestFor("/a.swf")), Ok("application/x-shockwave-flash", "FWS-a"));
  EXPECT_EQ(Get(RequestFor("//a.swf")), Ok("application/x-shockwave-flash", "FWS-a"));
  EXPECT_EQ(Get(RequestFor("/B.SWF")), Ok("application/x-shockwave-flash", "FWS-B"));
  EXPECT_EQ(Get(RequestFor("/pics/p.png")), Ok("text/html", "PNG"));
  EXPECT_EQ(Get(RequestFor("/notes")), Ok("text/html", "plain"));
  EXPECT_EQ(Get(RequestFor("/s/t.CSS")), Ok("text/css", "body{}"));
  EXPECT_TRUE(m_site->Requests().empty());

  // The cached name keeps its case: b.swf is another file, and the site has none.
  EXPECT_EQ(Get(RequestFor("/b.swf")), kNotFound);
  EXPECT_EQ(m_site->Requests(), std::vector<std::string>{"/b.swf"});
}

TEST_F(HttpServerTest, MissingFileIsFetchedOnceAndCachedUnderItsQuery) {
  m_site->Set("/course/unit1/a.mp3?ver2", "MP3-v2");
  Start();

  EXPECT_EQ(Get(RequestFor("/course/unit1/a.mp3?ver2")), Ok("audio/mpeg", "MP3-v2"));
  EXPECT_EQ(ReadWholeFile((m_root / "course" / "unit1" / "ver2a.mp3").string()), "MP3-v2");
  EXPECT_FALSE(fs::exists(m_root / "course" / "unit1" / "a.mp3"));

  m_site->Set("/course/unit1/a.mp3?ver2", "changed on the site");
  EXPECT_EQ(Get(RequestFor("/course/unit1/a.mp3?ver2")), Ok("audio/mpeg", "MP3-v2"));
  EXPECT_EQ(m_site->Requests(), std::vector<std::string>{"/course/unit1/a.mp3?ver2"});
}

TEST_F(HttpServerTest, FileNeitherCachedNorOnTheSiteIsNotFound) {
  Start();
  EXPECT_EQ(Get(RequestFor("/lesson/missing.swf?v1")), kNotFound);
  EXPECT_EQ(m_site->Requests(), std::vector<std::string>{"/lesson/missing.swf?v1"});
  // The directory is made only when a file comes for it.
  EXPECT_FALSE(fs::exists(m_root / "lesson"));
  m_site->Set("/lesson/there.swf", "FWS-there");
  EXPECT_EQ(Get(RequestFor("/lesson/unit/there.swf")), kNotFound);
  EXPECT_FALSE(fs::exists(m_root / "lesson"));
  EXPECT_EQ(Get(RequestFor("/lesson/there.swf")), Ok("application/x-shockwave-flash", "FWS-there"));
  EXPECT_EQ(ReadWholeFile(m_root / "lesson" / "there.swf"), "FWS-there");
}

TEST_F(HttpServerTest, XmlAndBootMovieAreFetchedOnEveryRequestAndServedFromCacheWhenSiteIsDown) {
  m_site->Set("/data/list.xml?ver3", "<list v='1'/>");
  m_site->Set("/qzboot.swf", "BOOT-1");
  Start();

  EXPECT_EQ(Get(RequestFor("/data/list.xml?ver3")), Ok("text/html", "<list v='1'/>"));
  EXPECT_EQ(ReadWholeFile((m_root / "data" / "list.xml").string()), "<list v='1'/>");
  EXPECT_EQ(Get(RequestFor("/qzboot.swf")), Ok("application/x-shockwave-flash", "BOOT-1"));

  m_site->Set("/data/list.xml?ver3", "<list v='2'/>");
  m_site->Set("/qzboot.swf", "BOOT-2");
  EXPECT_EQ(Get(RequestFor("/data/list.xml?ver3")), Ok("text/html", "<list v='2'/>"));
  EXPECT_EQ(Get(RequestFor("/qzboot.swf")), Ok("application/x-shockwave-flash", "BOOT-2"));
  EXPECT_EQ(m_site->Requests(),
            (std::vector<std::string>{"/data/list.xml?ver3", "/qzboot.swf", "/data/list.xml?ver3", "/qzboot.swf"}));

  m_site.reset();
  EXPECT_EQ(Get(RequestFor("/data/list.xml?ver3")), Ok("text/html", "<list v='2'/>"));
  EXPECT_EQ(Get(RequestFor("/qzboot.swf")), Ok("application/x-shockwave-flash", "BOOT-2"));
}

TEST_F(HttpServerTest, KeepAliveOnlyForTheExactHeaderAndUntilA404) {
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  Start();

  CConnection kept(m_server.m_nPort);
  kept.Send("GET /a.swf HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(MaskDate(kept.ReadResponse()), Ok("application/x-shockwave-flash", "FWS-a", "Keep-Alive"));
  EXPECT_TRUE(kept.StillOpen());
  // Once asked for, keep-alive holds for the following requests.
  kept.Send("GET /a.swf HTTP/1.1\r\n\r\n");
  EXPECT_EQ(MaskDate(kept.ReadResponse()), Ok("application/x-shockwave-flash", "FWS-a", "Keep-Alive"));
  EXPECT_TRUE(kept.StillOpen());
  kept.Send("GET /gone.swf HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n");
  EXPECT_EQ(MaskDate(kept.ReadResponse()), kNotFound);
  EXPECT_TRUE(kept.ClosedByServer());

  EXPECT_EQ(Get("GET /a.swf HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"), Ok("application/x-shockwave-flash", "FWS-a"));
}

TEST_F(HttpServerTest, MethodsOtherThanGetAreNotImplemented) {
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  Start();
  EXPECT_EQ(Get("HEAD /sub/a.swf HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"), kNotImplemented);
  EXPECT_EQ(Get("get /a.swf HTTP/1.0\r\n\r\n"), kNotImplemented);
  EXPECT_EQ(Get("POST /a.swf HTTP/1.0\r\n\r\n"), kNotImplemented);
  EXPECT_FALSE(fs::exists(m_root / "sub"));
  EXPECT_TRUE(m_site->Requests().empty());
}

TEST_F(HttpServerTest, RequestWithoutSpaceIsDroppedAndLogged) {
  Start();
  CConnection connection(m_server.m_nPort);
  connection.Send("GARBAGE\r\n\r\n");
  EXPECT_EQ(connection.ReadUntilClosed(), "");
  EXPECT_NE(RunLog().find(" - No 'space' found in Request String #2.\t[ParseRequest]\t[0]\r\n"), std::string::npos)
      << RunLog();
}

TEST_F(HttpServerTest, PathsLeavingTheCacheAreRefusedWithoutTouchingDiskOrSite) {
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  WriteWholeFile(m_root / "a..b.swf", "dots inside a name");
  WriteWholeFile(fs::path(m_home.Path()) / "outside.swf", "SECRET");
  WriteWholeFile(fs::path(m_home.Path()) / "quillby" / "outside.xml", "<secret/>");
  Start();
  const auto before = Snapshot(m_home.Path());

  // One of each way out; RequestMapping holds the whole list.
  const std::vector<std::string> attempts = {
      "/../../outside.swf",         "///" + m_home.Path() + "/outside.swf",
      "/%2e%2e/%2e%2e/outside.swf", "/a.swf?../../../outside",
      "/qzboot.swf?/../../x",       "/../outside.xml",
  };
  for (const std::string& strPath : attempts) {
    EXPECT_EQ(Get("GET " + strPath + " HTTP/1.1\r\nConnection: Keep-Alive\r\n\r\n"), kNotFound) << strPath;
  }
  EXPECT_EQ(Snapshot(m_home.Path()), before);
  EXPECT_TRUE(m_site->Requests().empty());

  // The server goes on, and dots inside a name are no dot segment.
  EXPECT_EQ(Get(RequestFor("/a..b.swf")), Ok("application/x-shockwave-flash", "dots inside a name"));
  EXPECT_EQ(Get(RequestFor("/a.swf")), Ok("application/x-shockwave-flash", "FWS-a"));
}

TEST_F(HttpServerTest, ReservedPrefixIsAnsweredByItsHandler) {
  const std::string strHandlerReply = "HTTP/1.0 200 OK\r\nContent-Length: 2\r\n\r\nok";
  std::mutex mutex;
  std::vector<std::string> handled;
  m_server.SetReservedHandler("/__host/", [&](const std::string& strRequest) {
    std::lock_guard<std::mutex> lock(mutex);
    handled.push_back(strRequest);
    return strHandlerReply;
  });
  Start();

  const std::string strCall = "GET /__host/call?RecStart HTTP/1.1\r\nConnection: Keep-Alive\r\nHost: localhost\r\n\r\n";
  EXPECT_EQ(Get(strCall), strHandlerReply);
  {
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(handled, std::vector<std::string>{strCall});
  }
  EXPECT_FALSE(fs::exists(m_root / "__host"));
  EXPECT_TRUE(m_site->Requests().empty());

  // Exact bytes, GET only: anything else takes the usual way.
  EXPECT_EQ(Get(RequestFor("//__host/a.swf")), kNotFound);
  EXPECT_EQ(Get(RequestFor("/__hos/a.swf")), kNotFound);
  EXPECT_EQ(Get("HEAD /__host/call HTTP/1.0\r\n\r\n"), kNotImplemented);
  EXPECT_EQ(m_site->Requests(), (std::vector<std::string>{"/__host/a.swf", "/__hos/a.swf"}));
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(handled.size(), 1u);
}

// A movie's call may be far larger than any course request: its body is
// read by its length up to the handler's limit, in pieces, whatever bytes it
// holds. Everything else keeps the 64 KiB limit.
TEST_F(HttpServerTest, ReservedPostIsReadToTheEndOfItsBodyUpToItsLimit) {
  constexpr std::size_t kLimit = 300000;
  std::mutex mutex;
  std::vector<std::string> handled;
  m_server.SetReservedHandler(
      "/__host/",
      [&](const std::string& strRequest) {
        std::lock_guard<std::mutex> lock(mutex);
        handled.push_back(strRequest);
        return std::string("HTTP/1.0 200 OK\r\nContent-Length: 0\r\n\r\n");
      },
      kLimit);
  Start();
  auto post = [](const std::string& strBody, std::size_t nAnnounced) {
    return "POST /__host/call HTTP/1.1\r\nContent-Length: " + std::to_string(nAnnounced) + "\r\n\r\n" + strBody;
  };
  std::string strBody;
  while (strBody.size() < kLimit) strBody += "数\r\n\r\n";
  strBody.resize(kLimit);
  {
    CConnection connection(m_server.m_nPort);
    const std::string strRequest = post(strBody, strBody.size());
    // Pieces that end on an empty line inside the body.
    for (std::size_t nAt = 0; nAt < strRequest.size(); nAt += 70001) {
      connection.Send(strRequest.substr(nAt, 70001));
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_EQ(connection.ReadResponse().substr(0, 15), "HTTP/1.0 200 OK");
  }
  // Longer than the limit: the handler sees the header alone.
  EXPECT_EQ(Get(post("", kLimit + 1)).substr(0, 15), "HTTP/1.0 200 OK");
  {
    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(handled.size(), 2u);
    EXPECT_TRUE(handled[0] == post(strBody, strBody.size()));
    EXPECT_EQ(handled[1], post("", kLimit + 1));
  }
  // A course request past 64 KiB still gets no reply at all.
  CConnection connection(m_server.m_nPort);
  connection.Send("GET /a.swf HTTP/1.0\r\nX-Pad: " + std::string(70000, 'x'));
  EXPECT_TRUE(connection.ClosedByServer());
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(handled.size(), 2u);
}

TEST_F(HttpServerTest, WithoutHandlerTheReservedPrefixIsAFilePath) {
  WriteWholeFile(m_root / "__host" / "a.swf", "FWS-host");
  CTestHTTPServer server;
  Start(server);
  EXPECT_EQ(Get(RequestFor("/__host/a.swf"), server), Ok("application/x-shockwave-flash", "FWS-host"));
}

TEST_F(HttpServerTest, StartEmptiesTheLogCreatesTheRootAndTakesTheNextFreePort) {
  std::ofstream(m_logDir.LogPath()) << "a line of the last run\r\n";
  m_site->Set("/site/a.swf", "from the site's path");
  // Without the trailing slash, which Start adds.
  ::setenv("QUILLBY_BASE_URL", m_site->Url("/site").c_str(), 1);
  testing_origins::CHttplibOrigin taken;  // a listener on the first port asked for

  ASSERT_TRUE(m_server.Start(m_root.string(), "INDEX.HTML", taken.Port(), kClientTimeoutMs));
  EXPECT_GT(m_server.m_nPort, taken.Port());
  EXPECT_FALSE(fs::exists(m_logDir.LogPath()));
  EXPECT_TRUE(fs::is_directory(m_root));

  EXPECT_EQ(Get(RequestFor("/a.swf")), Ok("application/x-shockwave-flash", "from the site's path"));
  EXPECT_EQ(m_site->Requests(), std::vector<std::string>{"/site/a.swf"});

  EXPECT_TRUE(m_server.Stop());
  EXPECT_FALSE(m_server.Stop());
}

TEST_F(HttpServerTest, EmptyRootIsRefused) {
  EXPECT_FALSE(m_server.Start("", "INDEX.HTML", 0, kClientTimeoutMs));
  EXPECT_NE(RunLog().find("Empty cache directory.\t[Start]\t[0]"), std::string::npos) << RunLog();
}

// Resident memory of this process, which runs the server, in kB.
long ResidentKb() {
  std::ifstream status("/proc/self/status");
  std::string strLine;
  while (std::getline(status, strLine))
    if (strLine.rfind("VmRSS:", 0) == 0) return std::stol(strLine.substr(6));
  return -1;
}

TEST_F(HttpServerTest, LargeFileGoesOutFromDiskWhileItsClientsDoNotRead) {
  constexpr std::size_t kFileSize = 50 * 1024 * 1024;
  constexpr int kClients = 20;
  std::string strChunk(1024 * 1024, '\0');
  for (std::size_t i = 0; i < strChunk.size(); ++i) strChunk[i] = static_cast<char>((i * 131 + i / 4099) & 0xff);
  {
    fs::create_directories(m_root / "video");
    std::ofstream file(m_root / "video" / "big.mov", std::ios::binary);
    for (std::size_t n = 0; n < kFileSize; n += strChunk.size()) file << strChunk;
  }
  Start();

  std::vector<std::unique_ptr<CConnection>> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.push_back(std::make_unique<CConnection>(m_server.m_nPort));
    clients.back()->Send(RequestFor("/video/big.mov"));
  }
  // Each reply has begun: whatever a connection holds of the file, it holds now.
  for (auto& client : clients) ASSERT_GT(client->ReadAtLeast(200).size(), 199u);
  EXPECT_LT(ResidentKb(), 200 * 1024);

  // The bytes are the file's, whole.
  const std::string strResponse = clients.front()->ReadResponse();
  const std::string strHead = "Content-Length: " + std::to_string(kFileSize) + "\r\nConnection: close\r\n";
  ASSERT_NE(strResponse.find(strHead), std::string::npos) << strResponse.substr(0, 300);
  const std::size_t nBody = strResponse.find("\r\n\r\n") + 4;
  ASSERT_EQ(strResponse.size() - nBody, kFileSize);
  for (std::size_t n = 0; n < kFileSize; n += strChunk.size())
    ASSERT_EQ(strResponse.compare(nBody + n, strChunk.size(), strChunk), 0) << "at " << n;
}

TEST_F(HttpServerTest, ReadOnlyCacheIsServed) {
  CSmallFilesystem disk(1024 * 1024);
  m_root = fs::path(disk.Path()) / "quillby" / "sz";
  WriteWholeFile(m_root / "course" / "a.swf", "FWS-ro");
  WriteWholeFile(m_root / "data" / "list.xml", "<cached/>");
  m_site->Set("/data/list.xml", "<fresh/>");
  disk.MakeReadOnly();
  Start();

  EXPECT_EQ(Get(RequestFor("/course/a.swf")), Ok("application/x-shockwave-flash", "FWS-ro"));
  // The fresh copy cannot be stored: the cached one is served.
  EXPECT_EQ(Get(RequestFor("/data/list.xml")), Ok("text/html", "<cached/>"));
  EXPECT_EQ(m_site->Requests(), std::vector<std::string>{"/data/list.xml"});
}

TEST_F(HttpServerTest, OnlyRequestsForThisMachineByNameReachTheCache) {
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  m_server.SetReservedHandler("/__host/", [](const std::string&) { return std::string("handled"); });
  Start();

  for (const char* pszHost : {"evil.example", "127.0.0.1.evil.example", "localhost.evil.example:80", "127.0.0.2",
                              "localhost:80x", "", "0.0.0.0"}) {
    const std::string strHeader = std::string("Host: ") + pszHost + "\r\n";
    EXPECT_EQ(Get("GET /a.swf HTTP/1.1\r\n" + strHeader + "\r\n"), kNotFound) << pszHost;
    EXPECT_EQ(Get("GET /lesson/b.swf HTTP/1.1\r\nConnection: Keep-Alive\r\n" + strHeader + "\r\n"), kNotFound);
    EXPECT_EQ(Get("GET /__host/call HTTP/1.1\r\nhost: 127.0.0.1\r\nHOST:" + std::string(pszHost) + "\r\n\r\n"),
              kNotFound);
  }
  EXPECT_TRUE(m_site->Requests().empty());
  EXPECT_FALSE(fs::exists(m_root / "lesson"));

  for (const char* pszHost : {"127.0.0.1", "127.0.0.1:9898", "localhost", "LocalHost:80", " localhost:65535 "})
    EXPECT_EQ(Get(std::string("GET /a.swf HTTP/1.1\r\nHost:") + pszHost + "\r\n\r\n"),
              Ok("application/x-shockwave-flash", "FWS-a"))
        << pszHost;
  EXPECT_EQ(Get("GET /__host/call HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n"), "handled");
}

// A web page the pupil opens may point an image or a form at this server:
// the browser says where such a request comes from, and it touches nothing.
TEST_F(HttpServerTest, RequestsThatOtherSitesPagesMadeTouchNothing) {
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  m_site->Set("/lesson/b.swf", "FWS-b");
  Start();
  const std::string strHere = "http://127.0.0.1:" + std::to_string(m_server.m_nPort);
  const std::string strOtherPort = "http://127.0.0.1:" + std::to_string(m_server.m_nPort + 1);

  for (const std::string& strHeader : std::vector<std::string>{
           "Sec-Fetch-Site: cross-site", "Sec-Fetch-Site: same-site", "sec-fetch-site:  CROSS-SITE",
           "Origin: http://evil.example", "Origin: null", "Origin: " + strOtherPort,
           "Origin: " + strHere + ".evil.example", "Referer: http://evil.example/page.html",
           "Referer: " + strOtherPort + "/__quillby__/host.html"}) {
    for (const char* pszPath : {"/a.swf", "/lesson/b.swf?v2", "/lesson/c.xml"})
      EXPECT_EQ(Get(std::string("GET ") + pszPath + " HTTP/1.1\r\nHost: 127.0.0.1\r\n" + strHeader + "\r\n\r\n"),
                kNotFound)
          << strHeader << " " << pszPath;
  }
  EXPECT_TRUE(m_site->Requests().empty());
  EXPECT_FALSE(fs::exists(m_root / "lesson"));

  // The movie's own requests, and the window's first one.
  for (const std::string& strHeader :
       std::vector<std::string>{"Sec-Fetch-Site: same-origin\r\nReferer: " + strHere + "/__quillby__/host.html?movie=x",
                                "Sec-Fetch-Site: none", "Origin: " + strHere,
                                "Origin: http://localhost:" + std::to_string(m_server.m_nPort)})
    EXPECT_EQ(Get("GET /a.swf HTTP/1.1\r\nHost: 127.0.0.1\r\n" + strHeader + "\r\n\r\n"),
              Ok("application/x-shockwave-flash", "FWS-a"))
        << strHeader;
}

// A post to the reserved prefix from another host, or from another site's
// page, is refused from its header: its body is never waited for.
TEST_F(HttpServerTest, ReservedPostFromElsewhereIsRefusedBeforeItsBody) {
  std::atomic<int> nHandled{0};
  m_server.SetReservedHandler(
      "/__host/",
      [&](const std::string&) {
        ++nHandled;
        return std::string("HTTP/1.0 204 No Content\r\n\r\n");
      },
      1 << 20);
  Start();
  for (const char* pszHeader : {"Host: evil.example", "Origin: http://evil.example", "Sec-Fetch-Site: cross-site"}) {
    CConnection connection(m_server.m_nPort);
    connection.Send(std::string("POST /__host/saved?key=k HTTP/1.1\r\n") + pszHeader +
                    "\r\nContent-Length: 1048576\r\n\r\n");
    EXPECT_EQ(MaskDate(connection.ReadResponse()), kNotFound) << pszHeader;
  }
  EXPECT_EQ(nHandled, 0);
}

// The product site's address names this very server: no request leads back
// to it, and the start says so.
TEST_F(HttpServerTest, ServerNeverFetchesFromItself) {
  for (const std::string strBase : {"http://127.0.0.1:", "http://localhost:"}) {
    const int nPort = testing_support::ClosedPort();
    ::setenv("QUILLBY_BASE_URL", (strBase + std::to_string(nPort) + "/").c_str(), 1);
    CTestHTTPServer server;
    ASSERT_TRUE(server.Start(m_root.string(), "INDEX.HTML", nPort, kClientTimeoutMs));
    ASSERT_EQ(server.m_nPort, nPort);

    EXPECT_EQ(Get(RequestFor("/lesson/a.swf"), server), kNotFound) << strBase;
    EXPECT_EQ(Get(RequestFor("/data/list.xml"), server), kNotFound) << strBase;
    EXPECT_EQ(server.m_nAccepted, 2) << strBase;
    const std::vector<std::string> problems = CProductSite(::getenv("QUILLBY_BASE_URL")).Problems();
    ASSERT_EQ(problems.size(), 1u) << strBase;
    EXPECT_NE(problems[0].find(strBase + std::to_string(nPort) + "/: it is this program's own server"),
              std::string::npos)
        << problems[0];
    EXPECT_TRUE(server.Stop());
  }
}

// sendfile raises SIGPIPE when the client has reset; a host process that
// keeps SIGPIPE's default (here a child that does) must live on.
TEST_F(HttpServerTest, ClientThatResetsMidReplyDoesNotEndTheProcess) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  WriteWholeFile(m_root / "big.swf", std::string(16 << 20, 'x'));
  WriteWholeFile(m_root / "a.swf", "FWS-a");
  EXPECT_EXIT(
      {
        std::signal(SIGPIPE, SIG_DFL);
        Start();
        for (int i = 0; i < 3; ++i) {
          CConnection client(m_server.m_nPort, 4096);
          client.Send(RequestFor("/big.swf"));
          client.ReadAtLeast(1000);
          // The reply waits for the client to read: the reset comes mid-reply.
          std::this_thread::sleep_for(std::chrono::milliseconds(200));
          client.Leave();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::_Exit(Get(RequestFor("/a.swf")) == Ok("application/x-shockwave-flash", "FWS-a") ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

// Headers of a 200 with a long body, then a byte every 200 ms until the
// fetch goes away.
std::string Trickle(const testing_support::CRawOrigin::Request&, int fd) {
  testing_support::SendAll(fd, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
  for (int i = 0; i < 1000; ++i) {
    if (::send(fd, "x", 1, MSG_NOSIGNAL) != 1) break;
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
  }
  return {};
}

std::vector<std::string> FilesBelow(const fs::path& dir) {
  std::vector<std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(dir))
    if (entry.is_regular_file()) files.push_back(fs::relative(entry.path(), dir).string());
  return files;
}

TEST_F(HttpServerTest, StopEndsAFetchFromATricklingSiteAndLeavesNoTemporaryFile) {
  testing_support::CRawOrigin trickling(Trickle);
  ::setenv("QUILLBY_BASE_URL", trickling.Url("/").c_str(), 1);
  Start();
  CConnection connection(m_server.m_nPort);
  connection.Send(RequestFor("/lesson/slow.swf?v1"));
  ASSERT_EQ(trickling.WaitForRequests(1).size(), 1u);
  std::this_thread::sleep_for(std::chrono::milliseconds(500));  // bytes are arriving

  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(m_server.Stop());
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  EXPECT_EQ(FilesBelow(m_root), std::vector<std::string>{});
}

TEST_F(HttpServerTest, StartRemovesWhatKilledRunsWereFetching) {
  // A process that has ended: its pid is free.
  const pid_t nDead = ::fork();
  if (nDead == 0) ::_exit(0);
  ASSERT_GT(nDead, 0);
  ::waitpid(nDead, nullptr, 0);
  const std::string strDead = "." + std::to_string(nDead) + "-7.part";
  const std::string strLive = "." + std::to_string(::getpid()) + "-0.part";
  WriteWholeFile(m_root / "course" / ("a.swf" + strDead), "half");
  WriteWholeFile(m_root / ("VerDel.Dat" + strDead), "half");
  WriteWholeFile(m_root / "course" / ("b.swf" + strLive), "being written");
  WriteWholeFile(m_root / "course" / "notes.part", "a course file");
  Start();
  std::vector<std::string> files = FilesBelow(m_root);
  std::sort(files.begin(), files.end());
  EXPECT_EQ(files, (std::vector<std::string>{"course/b.swf" + strLive, "course/notes.part"}));
}

}  // namespace
