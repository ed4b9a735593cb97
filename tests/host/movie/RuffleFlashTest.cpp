#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QImage>
#include <QPixmap>
#include <QTimer>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineUrlRequestInterceptor>
#include <QWidget>
#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>

#include "RawOrigin.h"
#include "TempDir.h"
#include "host/app/QtLoopDriver.h"
#include "host/movie/CourseMovie.h"
#include "host/movie/PageHandlerText.h"
#include "host/movie/RuffleFlash.h"
#include "platform/MessageBox.h"

using namespace host;
using testing_support::CRawOrigin;

namespace {

// Generous: the first start of the web engine and of the player's
// WebAssembly takes seconds on a loaded machine.
constexpr int kMovieWaitMs = 90000;

class CRecordingEvents : public IFlashEvents {
 public:
  explicit CRecordingEvents(CShockwaveflash1& flash) : m_flash(flash) {}
  void OnFlashCall(const std::string& request) override {
    calls.push_back(request);
    if (request.find("name=\"getWelcome\"") != std::string::npos) m_flash.SetReturnValue("<string>client</string>");
  }
  void OnFSCommand(const std::string& command, const std::string& args) override {
    fsCommands.push_back(command + "|" + args);
  }
  bool Saw(const std::string& fragment) const {
    for (const auto& c : calls)
      if (c.find(fragment) != std::string::npos) return true;
    return false;
  }
  std::vector<std::string> calls;
  std::vector<std::string> fsCommands;

 private:
  CShockwaveflash1& m_flash;
};

// Every address the page asks for.
class CRequestRecorder : public QWebEngineUrlRequestInterceptor {
 public:
  void interceptRequest(QWebEngineUrlRequestInfo& info) override {
    std::lock_guard guard(m_lock);
    m_urls.push_back(info.requestUrl().toString().toStdString());
  }
  std::vector<std::string> Urls() const {
    std::lock_guard guard(m_lock);
    return m_urls;
  }

 private:
  mutable std::mutex m_lock;
  std::vector<std::string> m_urls;
};

// Runs the event loop (as the program does) until done() holds.
bool ProcessEventsUntil(const std::function<bool()>& done, int timeoutMs = kMovieWaitMs) {
  QEventLoop loop;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
    if (done()) loop.quit();
  });
  poll.start(50);
  QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
  if (!done()) loop.exec();
  return done();
}

std::string Movie200(const std::string& swf) {
  return "HTTP/1.0 200 OK\r\nContent-Length: " + std::to_string(swf.size()) +
         "\r\nConnection: close\r\nContent-Type: application/x-shockwave-flash\r\n\r\n" + swf;
}

class RuffleFlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = CRuffleFlash::FindMissingParts(CRuffleFlash::DefaultFilesDir()); !missing.empty())
      GTEST_SKIP() << "the Flash player is not installed (run scripts/setup.sh); missing: " << missing;
    m_window.resize(976, 632);
    m_window.show();
    m_flash = std::make_unique<CRuffleFlash>(&m_window, CRuffleFlash::DefaultFilesDir(), CRuffleFlash::kCjkFontPath,
                                             SavedDir());
    m_events = std::make_unique<CRecordingEvents>(*m_flash);
    m_flash->SetEventSink(m_events.get());
    m_flash->GetPage()->profile()->setUrlRequestInterceptor(&m_requests);
    auto handler = m_flash->GetPageHandler();
    m_server = std::make_unique<CRawOrigin>([this, handler](const CRawOrigin::Request& request, int) {
      if (request.header.rfind(std::string("GET ") + CMoviePageHandler::kPrefix + "saved ", 0) == 0 &&
          m_failSavedAnswers.fetch_sub(1) > 0)
        return std::string("HTTP/1.0 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
      if (request.TargetStartsWith(CMoviePageHandler::kPrefix))
        return testing_support::AnswerText(*handler, request.header + request.body);
      if (request.header.rfind("GET /course.swf ", 0) == 0) return Movie200(m_swf);
      for (const auto& [path, bytes] : m_files)
        if (request.header.rfind("GET " + path + " ", 0) == 0) return Movie200(bytes);
      return std::string("HTTP/1.0 404 Resource not found\r\nContent-Length: 0\r\n\r\n");
    });
    m_origin = "http://127.0.0.1:" + std::to_string(m_server->Port());
  }
  void TearDown() override {
    m_flash.reset();  // refuses further calls before the server goes
    m_server.reset();
  }
  void PlayCourseMovie(const std::string& path = "/course.swf") {
    m_events->calls.clear();
    m_flash->LoadMovie(0, m_origin + path);
    m_flash->Play();
    m_flash->MoveWindow(0, 0, 970, 607);
    ASSERT_TRUE(ProcessEventsUntil([&] { return m_events->Saw("name=\"ready\""); }))
        << "the movie did not reach its last call; requests: " << m_server->Requests().size();
  }
  std::string SavedDir() const { return m_saved.Path() + "/saved"; }

  CTempDir m_saved;
  QWidget m_window;
  CRequestRecorder m_requests;
  std::unique_ptr<CRuffleFlash> m_flash;
  std::unique_ptr<CRecordingEvents> m_events;
  std::unique_ptr<CRawOrigin> m_server;
  std::string m_origin;
  std::string m_swf = testing_support::BuildCourseMovie();
  std::map<std::string, std::string> m_files;  // more movies and their files, by path
  std::atomic<int> m_failSavedAnswers{0};        // the next n lists of saved entries fail
};

TEST_F(RuffleFlashTest, MovieCallsReachTheProgramAsInvokeDocuments) {
  PlayCourseMovie();
  const auto& calls = m_events->calls;
  ASSERT_EQ(calls.size(), 5u);
  EXPECT_EQ(calls[0], "<invoke name=\"getWelcome\" returntype=\"xml\"><arguments></arguments></invoke>");
  // The value given to SetReturnValue reached the movie and came back.
  EXPECT_EQ(calls[1],
            "<invoke name=\"echo\" returntype=\"xml\"><arguments><string>client</string></arguments></invoke>");
  EXPECT_EQ(calls[2],
            "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array><property id=\"0\"><string>u1</string>"
            "</property><property id=\"1\"><string>t2</string></property><property id=\"2\"><string>1</string>"
            "</property></array></arguments></invoke>");
  EXPECT_EQ(calls[3],
            "<invoke name=\"types\" returntype=\"xml\"><arguments><number>7</number><true/><null/>"
            "<string>&lt;a&amp;b&gt;&quot;&apos;</string><object><property id=\"k\"><string>v</string></property>"
            "</object></arguments></invoke>");
  EXPECT_EQ(m_events->fsCommands, std::vector<std::string>{"quit|now"});

  // The movie came through the reserved page, and the secret never went on the wire.
  std::vector<std::string> lines;
  for (const auto& request : m_server->Requests()) lines.push_back(request.Line());
  ASSERT_FALSE(lines.empty());
  EXPECT_EQ(lines[0].rfind(std::string("GET ") + CMoviePageHandler::kPrefix + "host.html?movie=", 0), 0u) << lines[0];
  for (const auto& line : lines) EXPECT_EQ(line.find(m_flash->GetPageHandler()->GetSecret()), std::string::npos);
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto& l) { return l.rfind("GET /course.swf ", 0) == 0; }));
  EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](auto& l) { return l.find(".wasm ") != std::string::npos; }));

  // Sound plays without a user gesture.
  std::string audioState;
  m_flash->GetPage()->runJavaScript("new AudioContext().state",
                                    [&](const QVariant& state) { audioState = state.toString().toStdString(); });
  ProcessEventsUntil([&] { return !audioState.empty(); }, 10000);
  EXPECT_EQ(audioState, "running");

  // Nothing left 127.0.0.1.
  const auto urls = m_requests.Urls();
  ASSERT_FALSE(urls.empty());
  for (const auto& url : urls) EXPECT_EQ(url.rfind(m_origin + "/", 0), 0u) << url;
}

TEST_F(RuffleFlashTest, CallFunctionRunsTheMoviesCallbackWhichMayCallOut) {
  PlayCourseMovie();
  m_events->calls.clear();
  // The notification in the bridge's format (single quotes, no escaping).
  const std::string result =
      m_flash->CallFunction("<invoke name='UPOK' returntype='xml'><arguments><string>hi</string></arguments></invoke>");
  EXPECT_EQ(result, "<string>done:hi</string>");
  // The callback called out while the program waited for it.
  ASSERT_EQ(m_events->calls.size(), 1u);
  EXPECT_EQ(m_events->calls[0],
            "<invoke name=\"upokCalled\" returntype=\"xml\"><arguments><string>hi</string></arguments></invoke>");

  EXPECT_EQ(m_flash->CallFunction("<invoke name='UPOK' returntype='xml'><arguments><string>a&amp;b</string>"
                                  "</arguments></invoke>"),
            "<string>done:a&amp;b</string>");
  EXPECT_EQ(m_flash->CallFunction("<invoke name='NOPE' returntype='xml'><arguments></arguments></invoke>"), "");
}

// A notification whose result nobody reads returns at once: no event loop
// runs inside it, so nothing re-enters the program there.
TEST_F(RuffleFlashTest, NotificationReturnsBeforeTheMovieHasRunIt) {
  PlayCourseMovie();
  m_events->calls.clear();
  m_flash->NotifyFunction("<invoke name='UPOK' returntype='xml'><arguments><string>hi</string></arguments></invoke>");
  EXPECT_TRUE(m_events->calls.empty());
  // The callback runs all the same, and its call out reaches the program.
  ASSERT_TRUE(ProcessEventsUntil([&] { return m_events->Saw("name=\"upokCalled\""); }, 20000));
}

// The page, the player's scripts and the font come once per run; a course
// file, like this movie, each time it is asked for. (The WebAssembly is
// larger than the web engine keeps in its memory cache.)
TEST_F(RuffleFlashTest, PlayerFilesComeOncePerRunAndCourseFilesEachTime) {
  const auto count = [&](const std::string& fragment) {
    int n = 0;
    for (const auto& request : m_server->Requests()) n += request.Line().find(fragment) != std::string::npos ? 1 : 0;
    return n;
  };
  m_files["/two/course.swf"] = m_swf;
  PlayCourseMovie();
  PlayCourseMovie("/two/course.swf");
  PlayCourseMovie();
  for (const char* pszFile : {"/host.js ", "/ruffle.js ", "/core.ruffle.", "/cjk-font "})
    EXPECT_EQ(count(pszFile), 1) << pszFile;
  EXPECT_EQ(count("GET /course.swf "), 2);
}

// Device text without an embedded font, in Chinese, is drawn with the CJK
// font the player is given (its own fallback font has no CJK glyphs).
TEST_F(RuffleFlashTest, ChineseDeviceTextIsDrawn) {
  m_swf = testing_support::BuildDeviceTextMovie("中文字体");
  PlayCourseMovie();
  // The movie read its text back to us: UTF-8 both ways.
  ASSERT_FALSE(m_events->calls.empty());
  EXPECT_EQ(m_events->calls.back(),
            "<invoke name=\"ready\" returntype=\"xml\"><arguments><string>中文字体</string></arguments></invoke>");
  // Dark pixels where the text field is (inside the movie, clear of the
  // letterbox bars); a few frames may pass before it is drawn.
  int inked = 0;
  const auto countInk = [&] {
    const QImage image = m_flash->GetWidget()->grab().toImage();
    inked = 0;
    for (int y = image.height() * 3 / 100; y < image.height() / 3; ++y)
      for (int x = image.width() / 8; x < image.width() * 7 / 8; ++x) inked += qGray(image.pixel(x, y)) < 128 ? 1 : 0;
    return inked > 1500;
  };
  ProcessEventsUntil(countInk, 20000);
  EXPECT_GT(inked, 1500);
}

// Each movie has the saved data it wrote, wherever the program stores it
// from: a second movie on the same site sees none of the first one's. A
// movie replaced by another ends normally: what it did not flush is kept.
TEST_F(RuffleFlashTest, TwoMoviesKeepSeparateSavedData) {
  const std::string reader = testing_support::BuildSavedDataMovie({{"progress", ""}}, false);
  m_files["/one/qzboot.swf"] = testing_support::BuildSavedDataMovie({{"progress", "one"}}, true);
  m_files["/two/qzboot.swf"] = testing_support::BuildSavedDataMovie({{"progress", "two"}}, false);
  PlayCourseMovie("/one/qzboot.swf");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "read-progress"), "<undefined/>");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "flushed-progress"), "<true/>");
  PlayCourseMovie("/two/qzboot.swf");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "read-progress"), "<undefined/>");
  m_files["/one/qzboot.swf"] = reader;
  PlayCourseMovie("/one/qzboot.swf");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "read-progress"), "<string>one</string>");
  // The program holds them apart: the player's key is host, movie path
  // and name, without the port.
  const auto stored = host::CSharedObjectStore(SavedDir()).LoadAll();
  EXPECT_EQ(stored.size(), 2u);
  EXPECT_EQ(stored.count("127.0.0.1/one/qzboot.swf/progress"), 1u);
  EXPECT_EQ(stored.count("127.0.0.1/two/qzboot.swf/progress"), 1u);
  m_files["/two/qzboot.swf"] = reader;
  PlayCourseMovie("/two/qzboot.swf");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "read-progress"), "<string>two</string>");
}

// The page asks for the saved entries as it starts, without waiting; when
// that answer fails, the movie's first use of its storage asks again.
TEST_F(RuffleFlashTest, SavedEntriesReachTheMovieWhenThePagesFirstAskFails) {
  m_files["/one/qzboot.swf"] = testing_support::BuildSavedDataMovie({{"progress", "kept"}}, true);
  PlayCourseMovie("/one/qzboot.swf");
  ASSERT_EQ(testing_support::SavedDataReport(m_events->calls, "flushed-progress"), "<true/>");
  m_files["/one/qzboot.swf"] = testing_support::BuildSavedDataMovie({{"progress", ""}}, false);
  m_failSavedAnswers = 1;
  PlayCourseMovie("/one/qzboot.swf");
  EXPECT_LT(m_failSavedAnswers, 0) << "the page did not ask again";
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "read-progress"), "<string>kept</string>");
}

// As under the Flash control, the movie shown now loaded again starts again.
TEST_F(RuffleFlashTest, TheSameMovieLoadedAgainStartsAgain) {
  PlayCourseMovie();
  PlayCourseMovie();
  EXPECT_TRUE(m_events->Saw("name=\"getWelcome\""));
}

// Relative names are the movie's own address's, whichever movie was loaded
// last, never the program's page's.
TEST_F(RuffleFlashTest, RelativeNamesFollowTheLoadedMovie) {
  testing_support::CAvm1Script script;
  testing_support::LoadText(script, "t", "files/text.txt", "ready");
  const std::string movie = testing_support::BuildSwf(script);
  m_files["/one/qzboot.swf"] = movie;
  m_files["/one/files/text.txt"] = "第一";
  m_files["/two/lesson.swf"] = movie;
  m_files["/two/files/text.txt"] = "second";
  PlayCourseMovie("/one/qzboot.swf");
  EXPECT_EQ(m_events->calls.back(),
            "<invoke name=\"ready\" returntype=\"xml\"><arguments><string>第一</string></arguments></invoke>");
  PlayCourseMovie("/two/lesson.swf");
  EXPECT_EQ(m_events->calls.back(),
            "<invoke name=\"ready\" returntype=\"xml\"><arguments><string>second</string></arguments></invoke>");
}

// A page still busy when the program ends, as on a crowded machine, hands
// over what the movie did not flush once it gets to it: Close waits.
TEST_F(RuffleFlashTest, UnflushedDataOfABusyPageIsKeptOnClose) {
  m_swf = testing_support::BuildSavedDataMovie({{"progress", "kept"}}, false);
  PlayCourseMovie();
  m_flash->GetPage()->runJavaScript("for (const end = Date.now() + 6500; Date.now() < end;);");
  m_flash->Close();
  EXPECT_EQ(host::CSharedObjectStore(SavedDir()).LoadAll().count("127.0.0.1/course.swf/progress"), 1u);
}

// Nowhere to keep it: flush() says so, the program says so once, and the
// movie goes on with what it holds.
TEST_F(RuffleFlashTest, FlushAnswersFalseWhenTheStoreCannotBeWritten) {
  std::ofstream(SavedDir()) << "a file where the directory should be";
  m_swf = testing_support::BuildSavedDataMovie({{"progress", "one"}, {"other", "two"}}, true);
  ::testing::internal::CaptureStderr();
  PlayCourseMovie();
  const std::string lines = ::testing::internal::GetCapturedStderr();
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "flushed-progress"), "<false/>");
  EXPECT_EQ(testing_support::SavedDataReport(m_events->calls, "flushed-other"), "<false/>");
  EXPECT_EQ(CountOf(lines, "saved data cannot be written"), 1) << lines;
  EXPECT_NE(lines.find("saved data cannot be written to " + SavedDir()), std::string::npos) << lines;
}

TEST(RuffleFlashInstall, MissingPlayerFilesGiveOneClearMessage) {
  auto recorder = std::make_shared<platform::CRecordingPresenter>();
  auto previous = platform::SetMessageBoxPresenter(recorder);
  const auto emptyDir = std::filesystem::temp_directory_path() / ("moviehost-empty-" + std::to_string(::getpid()));
  std::filesystem::create_directories(emptyDir);
  {
    QWidget window;
    CRuffleFlash flash(&window, emptyDir.string());
    flash.LoadMovie(0, "http://127.0.0.1:9/qzboot.swf");
    flash.LoadMovie(0, "http://127.0.0.1:9/qzboot.swf");
  }
  platform::SetMessageBoxPresenter(previous);
  std::filesystem::remove_all(emptyDir);
  const auto texts = recorder->Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_NE(texts[0].find("课程播放组件缺失"), std::string::npos);
  EXPECT_NE(texts[0].find("ruffle.js"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
  setenv("QT_QPA_PLATFORM", "offscreen", 0);  // no X server needed
  CRuffleFlash::PrepareEnvironment();
  QApplication app(argc, argv);
  // The movie's calls come through the program's message loop, as in the program.
  host::CQtLoopDriver driver;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
