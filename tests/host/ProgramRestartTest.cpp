// The program itself, started, ended and started again as a pupil does, with
// the pupil's saved data in between: its own process, offscreen, against the
// product site on 127.0.0.1. The movie reports what it read by asking its
// server for "/report/<label>-<value>.txt", which the server fetches from the
// site.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ProductSite.h"
#include "RawOrigin.h"
#include "TempDir.h"
#include "host/movie/CourseMovie.h"
#include "server/PortChoice.h"
#include "support/Handles.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testing_support::BuildSavedDataMovie;

namespace {

// Generous: the web engine and the player start slowly on a loaded machine.
constexpr auto kRunLimit = 90s;
constexpr int kFirstPort = 9898;

// One run of the program, in a process group of its own so that the web
// engine's helpers end with it; stdout and stderr go to log.
class CProgram {
 public:
  CProgram(const fs::path& workDir, const fs::path& log) {
    const std::string work = workDir.string(), logPath = log.string();
    m_pid = ::fork();
    if (m_pid == 0) {
      ::setpgid(0, 0);
      const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd < 0 || ::chdir(work.c_str()) != 0) ::_exit(126);
      ::dup2(fd, 1);
      ::dup2(fd, 2);
      ::execl(QUILLBY_PATH, QUILLBY_PATH, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ::setpgid(m_pid, m_pid);
  }
  CProgram(const CProgram&) = delete;
  CProgram& operator=(const CProgram&) = delete;
  ~CProgram() { Kill(); }

  // The exit status once the program has ended by itself, or none when it
  // still runs after limit.
  std::optional<int> WaitForExit(std::chrono::seconds limit = kRunLimit) {
    for (auto end = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < end;) {
      int status = 0;
      if (::waitpid(m_pid, &status, WNOHANG) == m_pid) {
        m_bEnded = true;
        ::kill(-m_pid, SIGKILL);  // helpers left behind
        return status;
      }
      std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
  }
  pid_t Pid() const { return m_pid; }
  // As a power cut or the task manager ends it: at once, nothing runs after.
  void Kill() {
    if (m_pid <= 0) return;
    ::kill(-m_pid, SIGKILL);
    if (!m_bEnded) ::waitpid(m_pid, nullptr, 0);
    m_bEnded = true;
  }

 private:
  pid_t m_pid = -1;
  bool m_bEnded = false;
};

// A neighbour's socket on 127.0.0.1:port: listening, so the program takes
// another port; or only bound (bListen false), which the TCP table does not
// show.
class CHeldPort {
 public:
  explicit CHeldPort(int port, bool bListen = true) : m_fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // The first run's connections may linger there in TIME_WAIT.
    const int on = 1;
    if (bListen) ::setsockopt(m_fd.Get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    m_bHeld = ::bind(m_fd.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && (!bListen || Listen());
  }
  bool Held() const { return m_bHeld; }
  // True when nobody else listens there: the port is still this socket's.
  bool Listen() { return ::listen(m_fd.Get(), 1) == 0; }

 private:
  support::CFd m_fd;
  bool m_bHeld = false;
};

class ProgramRestartTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // The player the program plays the movie with, installed beside it from npm.
    if (!fs::exists(fs::path(QUILLBY_PATH).parent_path() / "moviehost" / "ruffle.js"))
      GTEST_SKIP() << "the Flash player is not installed (run scripts/setup.sh): no moviehost/ruffle.js beside "
                   << QUILLBY_PATH;
    fs::create_directories(Work());
    site.PointProgramAt(m_root.Path());
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    setenv("no_proxy", "127.0.0.1", 1);
    site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  }

  fs::path Work() const { return fs::path(m_root.Path()) / "work"; }
  fs::path SavedDir() const { return fs::path(m_root.Path()) / "appdata" / "quillby" / "saved"; }
  fs::path OutboxDir() const { return fs::path(m_root.Path()) / "appdata" / "quillby" / "outbox"; }
  fs::path Log(int run) const { return fs::path(m_root.Path()) / ("run" + std::to_string(run) + ".log"); }

  // Starts the program with movie as the boot movie.
  std::unique_ptr<CProgram> Start(const std::string& movie) {
    site.Set("/qzboot.swf", movie);
    return std::make_unique<CProgram>(Work(), Log(++m_nRuns));
  }
  // The report "label-value" reached the site.
  bool WaitForReport(const std::string& report) {
    for (auto end = std::chrono::steady_clock::now() + kRunLimit; std::chrono::steady_clock::now() < end;) {
      if (site.Count("/report/" + report + ".txt") > 0) return true;
      std::this_thread::sleep_for(100ms);
    }
    return false;
  }
  // Starts the program with a movie that reads progress (and the other
  // objects named) and closes the program; true once it ended well.
  bool StartAndRead(const std::vector<std::string>& names = {"progress"}) {
    std::vector<testing_support::SavedObject> objects;
    for (const auto& name : names) objects.push_back({name, ""});
    auto program = Start(BuildSavedDataMovie(objects, false, {"CloseWinExe"}));
    const std::optional<int> status = program->WaitForExit();
    EXPECT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0)
        << "run " << m_nRuns << ": " << ReadWholeFile(Log(m_nRuns).string());
    return status.has_value();
  }

  ProductSite site;

 protected:
  // The program's cache directory.
  fs::path Cache() const { return fs::path(m_root.Path()) / "appdata" / "quillby" / "sz"; }

 private:
  CTempDir m_root;
  int m_nRuns = 0;
};

// The port a process listens on over IPv4, found by its sockets' inodes;
// 0 when it listens on none.
int ListeningPortOf(pid_t pid) {
  std::vector<std::string> inodes;
  for (const auto& fd :
       fs::directory_iterator("/proc/" + std::to_string(pid) + "/fd", fs::directory_options::skip_permission_denied)) {
    std::error_code error;
    const std::string target = fs::read_symlink(fd.path(), error).string();
    if (target.rfind("socket:[", 0) == 0) inodes.push_back(target.substr(8, target.size() - 9));
  }
  std::istringstream table(ReadWholeFile("/proc/net/tcp"));
  std::string row;
  std::getline(table, row);
  while (std::getline(table, row)) {
    std::istringstream fields(row);
    std::string slot, local, remote, state, queues, timer, retransmits, uid, timeout, inode;
    fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >> timeout >> inode;
    if (state == "0A" && std::find(inodes.begin(), inodes.end(), inode) != inodes.end())
      return std::stoi(local.substr(local.find(':') + 1), nullptr, 16);
  }
  return 0;
}

// flush() returned true and the program died at once: the next start has it.
TEST_F(ProgramRestartTest, SavedDataComesBackAfterTheProgramIsKilledRightAfterFlush) {
  auto first = Start(BuildSavedDataMovie({{"progress", "alpha"}}, true));
  ASSERT_TRUE(WaitForReport("flushed-progress-true")) << ReadWholeFile(Log(1).string());
  first->Kill();
  ASSERT_TRUE(StartAndRead());
  EXPECT_EQ(site.Count("/report/read-progress-alpha.txt"), 1);
}

// Another program holds the port of the first start: the second start's
// page has another origin, and the saved data still comes back.
TEST_F(ProgramRestartTest, SavedDataComesBackWhenThePortChanged) {
  const int firstPort = ChooseFreePort(kFirstPort);
  auto first = Start(BuildSavedDataMovie({{"progress", "alpha"}}, false, {"CloseWinExe"}));
  ASSERT_TRUE(first->WaitForExit()) << ReadWholeFile(Log(1).string());
  CHeldPort held(firstPort);
  ASSERT_TRUE(held.Held());
  ASSERT_NE(ChooseFreePort(kFirstPort), firstPort);
  ASSERT_TRUE(StartAndRead());
  EXPECT_EQ(site.Count("/report/read-progress-alpha.txt"), 1);
}

// A saved file damaged on disk: skipped with one line, the program starts,
// the movie gets the rest.
TEST_F(ProgramRestartTest, DamagedSavedFileIsSkippedAndTheRestComesBack) {
  auto first = Start(BuildSavedDataMovie({{"progress", "alpha"}, {"other", "beta"}}, true, {"CloseWinExe"}));
  ASSERT_TRUE(first->WaitForExit()) << ReadWholeFile(Log(1).string());
  fs::path damaged;
  for (const auto& entry : fs::directory_iterator(SavedDir()))
    if (ReadWholeFile(entry.path()).find("/qzboot.swf/progress") != std::string::npos) damaged = entry.path();
  ASSERT_FALSE(damaged.empty());
  fs::resize_file(damaged, fs::file_size(damaged) - 10);

  const int unreadBefore = site.Count("/report/read-progress-undefined.txt");  // the first run's
  ASSERT_TRUE(StartAndRead({"progress", "other"}));
  EXPECT_EQ(site.Count("/report/read-progress-undefined.txt"), unreadBefore + 1);
  EXPECT_EQ(site.Count("/report/read-other-beta.txt"), 1);
  const std::string log = ReadWholeFile(Log(2).string());
  const std::string line = "saved data " + damaged.string() + " skipped: truncated";
  EXPECT_NE(log.find(line), std::string::npos) << log;
  EXPECT_EQ(log.find(line), log.rfind(line)) << log;
}

// The upload service is down when the pupil uploads: the movie hears UPOK
// all the same (it closes the program on it), and the recording waits. The
// next start, with the service back, delivers it once and lets it go.
TEST_F(ProgramRestartTest, UploadWhileTheServiceIsDownIsDeliveredOnceAtTheNextStart) {
  const std::string recording = "ID3 the pupil's words";
  WriteWholeFile(Work() / "test.mp3", recording);
  setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(testing_support::ClosedPort())).c_str(), 1);
  auto first = Start(testing_support::BuildUploadThenCloseMovie());
  const std::optional<int> status = first->WaitForExit();
  ASSERT_TRUE(status && WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << ReadWholeFile(Log(1).string());
  ASSERT_EQ(std::distance(fs::directory_iterator(OutboxDir()), fs::directory_iterator()), 1);
  EXPECT_TRUE(site.Uploads().empty());

  setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(site.Port())).c_str(), 1);
  WriteWholeFile(Work() / "test.mp3", "a later recording");
  auto second = Start(BuildSavedDataMovie({}, false));
  const auto delivered = [&] { return !site.Uploads().empty() && fs::is_empty(OutboxDir()); };
  for (auto end = std::chrono::steady_clock::now() + kRunLimit; !delivered() && std::chrono::steady_clock::now() < end;)
    std::this_thread::sleep_for(100ms);
  second->Kill();
  ASSERT_TRUE(delivered()) << ReadWholeFile(Log(2).string());
  const auto uploads = site.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].rfind("/Upfile_en.ashx\n", 0), 0u) << uploads[0];
  for (const std::string& part : {std::string("\nuid=u1\n"), std::string("\ntid=t2\n"), "\ntxtfile=" + recording})
    EXPECT_NE(uploads[0].find(part), std::string::npos) << uploads[0];
}

// A neighbour has bound the first port and not listened yet, so the TCP
// table does not show it: the program takes another port, the movie plays
// from there, and the neighbour's port stays its own.
TEST_F(ProgramRestartTest, NeighbourBoundToTheFirstPortIsLeftAlone) {
  const int firstPort = ChooseFreePort(kFirstPort);
  CHeldPort neighbour(firstPort, false);
  ASSERT_TRUE(neighbour.Held());
  auto program = Start(BuildSavedDataMovie({{"progress", ""}}, false));
  ASSERT_TRUE(WaitForReport("read-progress-undefined")) << ReadWholeFile(Log(1).string());
  EXPECT_TRUE(neighbour.Listen());
}

// The server's own pages only: a post without the secret is refused from
// its header, whatever body it announces, and a request a page of another
// site made through the browser touches nothing.
TEST_F(ProgramRestartTest, StrangersOnTheMachineAreRefusedAtOnce) {
  auto program = Start(BuildSavedDataMovie({{"progress", ""}}, false));
  ASSERT_TRUE(WaitForReport("read-progress-undefined")) << ReadWholeFile(Log(1).string());
  const int port = ListeningPortOf(program->Pid());
  ASSERT_GE(port, kFirstPort);

  const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
  const std::string post = testing_support::HttpExchange(
      port, "POST /__quillby__/saved?key=progress HTTP/1.1\r\n" + host + "Content-Length: 1048576\r\n\r\n");
  EXPECT_EQ(post.rfind("HTTP/1.0 403 Forbidden\r\n", 0), 0u) << post;

  const std::string image = testing_support::HttpExchange(
      port, "GET /lesson/x.swf?1 HTTP/1.1\r\n" + host + "Sec-Fetch-Site: cross-site\r\n\r\n");
  EXPECT_EQ(image.rfind("HTTP/1.0 404 Resource not found\r\n", 0), 0u) << image;
  EXPECT_EQ(site.Count("/lesson/x.swf"), 0);
  EXPECT_FALSE(fs::exists(Cache() / "lesson"));
}

}  // namespace
