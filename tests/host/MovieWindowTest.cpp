// The window as the program runs it: in its modal loop, with the real movie
// control, the resource server and the product site on 127.0.0.1, and a real
// movie making the calls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QTimer>
#include <QUrl>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "ProductSite.h"
#include "RawOrigin.h"
#include "audio/SimWaveDevice.h"
#include "host/app/QtLoopDriver.h"
#include "host/app/TesselApp.h"
#include "host/app/TesselDlg.h"
#include "host/movie/CourseMovie.h"
#include "host/movie/RuffleFlash.h"
#include "net/Outbox.h"
#include "platform/MessageBox.h"
#include "support/Libraries.h"
#include "support/PulseServer.h"
#include "support/SoundCheck.h"
#include "support/Text.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// Generous: the web engine and the player start slowly on a loaded machine.
constexpr auto kRunLimit = 90s;

struct SeenCall {
  std::string request;
  bool fullScreen;
  bool visible;
};

// The program's window, watched: each call the movie makes is noted with
// the window's state, then answered by the window itself. React runs after
// the call has returned, from the window's own loop.
class CWatchedDlg : public host::CTesselDlg {
 public:
  using React = std::function<void(CWatchedDlg&, const SeenCall&)>;
  CWatchedDlg(audio::IWaveDevices& devices, React react)
      : CTesselDlg(host::MakeMovieControl, devices), m_react(std::move(react)) {}

  void OnFlashCall(const std::string& request) override {
    SeenCall call{request, (windowState() & Qt::WindowFullScreen) != 0, isVisible()};
    calls.push_back(call);
    CTesselDlg::OnFlashCall(request);
    QTimer::singleShot(0, this, [this, call] { m_react(*this, call); });
  }
  // The first call whose invoke document names it, or null.
  std::vector<std::string> Requests() const {
    std::vector<std::string> requests;
    for (const auto& call : calls) requests.push_back(call.request);
    return requests;
  }
  const SeenCall* Find(const std::string& name) const {
    for (const auto& call : calls)
      if (call.request.find("<invoke name=\"" + name + "\"") == 0) return &call;
    return nullptr;
  }
  // The arguments of the first call named name, as the invoke document has them.
  std::string Arguments(const std::string& name) const {
    const SeenCall* call = Find(name);
    if (!call) return "no call " + name;
    const auto start = call->request.find("<arguments>") + 11;
    return call->request.substr(start, call->request.find("</arguments>") - start);
  }

  std::vector<SeenCall> calls;

 private:
  React m_react;
};

bool Names(const SeenCall& call, const std::string& name) {
  return call.request.find("<invoke name=\"" + name + "\"") == 0;
}

// Closes the window as its close button does, once the movie calls name.
CWatchedDlg::React CloseOn(const std::string& name) {
  return [name](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, name)) window.close();
  };
}

// Closes the window once the movie has made every one of these calls.
CWatchedDlg::React CloseOnceAll(std::vector<std::string> names) {
  return [names](CWatchedDlg& window, const SeenCall&) {
    if (std::all_of(names.begin(), names.end(), [&](const std::string& n) { return window.Find(n) != nullptr; }))
      window.close();
  };
}

// Runs then, from the window's loop, once done holds or after limit.
void WhenDone(QObject* context, std::function<bool()> done, std::function<void()> then,
              std::chrono::milliseconds limit = 20s) {
  auto* poll = new QTimer(context);
  const auto end = std::chrono::steady_clock::now() + limit;
  QObject::connect(poll, &QTimer::timeout, context, [poll, done, then, end] {
    if (!done() && std::chrono::steady_clock::now() < end) return;
    poll->deleteLater();
    poll->stop();
    then();
  });
  poll->start(50);
}

// Stands in for the desktop's browser and mail program: every address the
// program hands to the desktop, whatever its scheme.
class CDesktopOpener : public QObject {
  Q_OBJECT

 public:
  static constexpr const char* kSchemes[] = {"http", "https", "mailto", "file", "javascript", "ftp"};
  CDesktopOpener() {
    for (const char* scheme : kSchemes) QDesktopServices::setUrlHandler(scheme, this, "Open");
  }
  ~CDesktopOpener() override {
    for (const char* scheme : kSchemes) QDesktopServices::unsetUrlHandler(scheme);
  }
  Q_INVOKABLE void Open(const QUrl& url) { opened.push_back(url.toString(QUrl::FullyEncoded).toStdString()); }

  std::vector<std::string> opened;
};

// The ActionScript 3 movie, compiled by the build.
std::string As3Movie() {
  std::ifstream in(AS3_MOVIE_PATH, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), {});
}

// The loudest sample.
int Peak(const soundtest::Samples& samples) {
  int peak = 0;
  for (auto sample : samples) peak = std::max(peak, std::abs(static_cast<int>(sample)));
  return peak;
}

// The sound server the web engine plays through, started before it.
soundtest::CPulseServer* g_pSoundServer = nullptr;

// A key typed with nothing clicked: it goes where the focus is.
void TypeKey(int key, const QString& text) {
  QWidget* target = QApplication::focusWidget();
  ASSERT_NE(target, nullptr) << "nothing has the keyboard focus";
  for (QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
    QKeyEvent event(type, key, Qt::NoModifier, text);
    QApplication::sendEvent(target, &event);
  }
}

class MovieWindowTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (const std::string missing = host::CRuffleFlash::FindMissingParts(host::CRuffleFlash::DefaultFilesDir());
        !missing.empty())
      GTEST_SKIP() << "the Flash player is not installed (run scripts/setup.sh); missing: " << missing;
    root = fs::temp_directory_path() / ("movie-window-" + std::to_string(::getpid()));
    fs::remove_all(root);
    fs::create_directories(root / "work");
    site.PointProgramAt(root);
    setenv("no_proxy", "127.0.0.1", 1);
    m_previousDir = fs::current_path();
    fs::current_path(root / "work");
    std::ofstream("test.mp3", std::ios::binary) << "MP3DATA";
    site.Set("/tovan.xml", Manifest("<course>v1</course>"));
    m_previousBoxes = platform::SetMessageBoxPresenter(boxes);
    host::g_windowedMode = 0;
  }
  void TearDown() override {
    if (IsSkipped()) return;
    unsetenv("QUILLBY_TRACE_LOG");
    platform::SetMessageBoxPresenter(m_previousBoxes);
    fs::current_path(m_previousDir);
    fs::remove_all(root);
  }

  // Serves movie as the boot movie and runs the window modally, as the
  // program does, until it closes (or the limit passes).
  std::unique_ptr<CWatchedDlg> Run(const std::string& movie, CWatchedDlg::React react) {
    site.Set("/qzboot.swf", movie);
    auto dlg = std::make_unique<CWatchedDlg>(devices, std::move(react));
    QTimer limit;
    limit.setSingleShot(true);
    QObject::connect(&limit, &QTimer::timeout, dlg.get(), [&] {
      std::string seen;
      for (const auto& call : dlg->calls) seen += "\n" + call.request.substr(0, 80);
      ADD_FAILURE() << "the window was still open after the limit; the movie's calls:" << seen;
      dlg->close();
    });
    limit.start(kRunLimit);
    dlg->DoModal();
    return dlg;
  }

  // The files the course movies load by relative name, beside the boot movie.
  void ServeCourseFiles() {
    site.Set("/files/data.xml", "<lesson>第一课</lesson>");
    site.Set("/files/text.txt", "小明有 3 个苹果");
    site.Set("/files/child.swf", testing_support::BuildChildMovie());
    site.Set("/files/child.txt", "child's own");
    site.Set("/files/sound.mp3", support::ReadWholeFile(DEMO_SOUND_PATH).value_or(""));
  }

  ProductSite site;
  audio::CSimWaveDevices devices;
  fs::path root;
  std::shared_ptr<platform::CRecordingPresenter> boxes = std::make_shared<platform::CRecordingPresenter>();

 private:
  fs::path m_previousDir;
  std::shared_ptr<platform::IMessageBoxPresenter> m_previousBoxes;
};

// The movie toggles full screen twice and goes on: the window stays open in
// its modal loop and answers the next call; keys still reach the movie.
TEST_F(MovieWindowTest, GetWinSizeTwiceThenTheNextCallIsAnswered) {
  auto dlg = Run(testing_support::BuildWindowModeMovie(), [](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "answer")) TypeKey(Qt::Key_B, "b");
    if (Names(call, "key")) window.close();
  });
  const SeenCall* after = dlg->Find("afterFirst");
  ASSERT_NE(after, nullptr) << "the first getWinSize ended the window";
  EXPECT_TRUE(after->fullScreen);
  EXPECT_TRUE(after->visible);
  const SeenCall* answer = dlg->Find("answer");
  ASSERT_NE(answer, nullptr) << "the second getWinSize ended the window";
  EXPECT_FALSE(answer->fullScreen);
  EXPECT_TRUE(answer->visible);
  EXPECT_NE(answer->request.find("<arguments><string>client</string></arguments>"), std::string::npos)
      << answer->request;
  EXPECT_EQ(host::g_windowedMode, 1);
  EXPECT_EQ(dlg->size(), QSize(970, 607));
  const SeenCall* key = dlg->Find("key");
  ASSERT_NE(key, nullptr) << "the key did not reach the movie";
  EXPECT_NE(key->request.find("<number>66</number>"), std::string::npos) << key->request;
}

// Straight after start-up, before any click, typed keys and Enter go to the
// movie; Enter does not close the window.
TEST_F(MovieWindowTest, KeysReachTheMovieWithoutAClick) {
  auto dlg = Run(testing_support::BuildKeyMovie(), [](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "ready")) TypeKey(Qt::Key_A, "a");
    if (Names(call, "key") && call.request.find("<number>65</number>") != std::string::npos)
      TypeKey(Qt::Key_Return, "\r");
    if (Names(call, "key") && call.request.find("<number>13</number>") != std::string::npos) window.close();
  });
  std::vector<std::string> keys;
  for (const auto& call : dlg->calls)
    if (Names(call, "key")) keys.push_back(call.request);
  ASSERT_EQ(keys.size(), 2u) << "keys reached the movie: " << keys.size();
  EXPECT_NE(keys[0].find("<number>65</number>"), std::string::npos) << keys[0];
  EXPECT_NE(keys[1].find("<number>13</number>"), std::string::npos) << keys[1];
  EXPECT_EQ(dlg->result(), QDialog::Rejected);  // closed by the test, not by Enter

  // The first key typed once an ActionScript 3 movie runs reaches it too.
  auto as3 = Run(As3Movie(), [](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "ready")) TypeKey(Qt::Key_A, "a");
    if (Names(call, "key")) window.close();
  });
  EXPECT_EQ(as3->Arguments("key"), "<number>65</number>");
}

// A course names its files relatively: XML, text (Chinese, in UTF-8), a child
// movie that loads a file of its own, and an MP3. They are the boot movie's
// neighbours on the server, for the boot movie and the child alike.
TEST_F(MovieWindowTest, RelativeNamesResolveAgainstTheBootMovie) {
  ServeCourseFiles();
  auto avm1 = Run(testing_support::BuildCourseFilesMovie(),
                  CloseOnceAll({"xmlLoaded", "textLoaded", "childText", "soundLoaded"}));
  EXPECT_EQ(avm1->Arguments("xmlLoaded"), "<string>&lt;lesson&gt;第一课&lt;/lesson&gt;</string>");
  EXPECT_EQ(avm1->Arguments("textLoaded"), "<string>小明有 3 个苹果</string>");
  EXPECT_EQ(avm1->Arguments("childText"), "<string>child&apos;s own</string>");
  EXPECT_EQ(avm1->Arguments("soundLoaded"), "<true/>");

  auto as3 = Run(As3Movie(), CloseOnceAll({"xmlLoaded", "textLoaded", "childLoaded", "soundLoaded"}));
  EXPECT_EQ(as3->Arguments("xmlLoaded"), "<string>&lt;lesson&gt;第一课&lt;/lesson&gt;</string>");
  EXPECT_EQ(as3->Arguments("textLoaded"), "<string>小明有 3 个苹果</string>");
  EXPECT_EQ(as3->Arguments("childLoaded"),
            "<number>" + std::to_string(testing_support::BuildChildMovie().size()) + "</number>");
  EXPECT_EQ(as3->Arguments("soundLoaded"), "<true/>");
}

// A movie's loaded MP3 plays to its end, through the sound server, and the
// movie hears that it ended; in both generations.
TEST_F(MovieWindowTest, LoadedSoundPlaysToItsEnd) {
  ASSERT_TRUE(g_pSoundServer && g_pSoundServer->IsRunning()) << "no private sound server";
  ServeCourseFiles();
  for (const std::string& movie : {testing_support::BuildCourseFilesMovie(), As3Movie()}) {
    soundtest::CSourceTap speaker("speaker.monitor");
    ASSERT_TRUE(speaker.IsRunning());
    auto dlg = Run(movie, CloseOn("soundComplete"));
    speaker.Stop();
    EXPECT_NE(dlg->Find("soundComplete"), nullptr) << "the movie did not hear its sound end";
    // The tone is loud; silence is 0.
    EXPECT_GT(Peak(speaker.Captured()), 8000) << g_pSoundServer->Log();
  }
}

// Calls nobody answers give the movie null, as the Flash control did; a
// call without a name reaches nobody.
TEST_F(MovieWindowTest, UnansweredCallsGiveNull) {
  auto avm1 = Run(testing_support::BuildUnansweredMovie(), CloseOn("ready"));
  std::vector<std::string> names;
  for (const auto& call : avm1->calls) names.push_back(call.request.substr(0, call.request.find(" returntype")));
  EXPECT_EQ(names, (std::vector<std::string>{"<invoke name=\"noSuchFunction\"", "<invoke name=\"unanswered\"",
                                             "<invoke name=\"nameless\"", "<invoke name=\"ready\""}));
  EXPECT_EQ(avm1->Arguments("unanswered"), "<null/><string>null</string>");
  EXPECT_EQ(avm1->Arguments("nameless"), "<null/><string>null</string>");

  auto as3 = Run(As3Movie(), CloseOn("ready"));
  EXPECT_EQ(as3->Arguments("unanswered"), "<null/><string>object</string>");
}

// Web and mail addresses the movie opens go to the desktop, whatever the
// window; scripts, files and the program's own address go nowhere; the movie
// plays on in its page.
TEST_F(MovieWindowTest, LinksOpenOnTheDesktopAndTheMovieStays) {
  CDesktopOpener desktop;
  const std::vector<std::pair<std::string, std::string>> links = {
      {"http://example.com/lesson?id=1", "_blank"},
      {"mailto:teacher@example.com", ""},
      {"https://example.com/self", "_self"},
      {"javascript:void(fetch('/report/script-here.txt'))", ""},
      {"javascript:void(fetch('/report/script-blank.txt'))", "_blank"},
      {"file:///etc/hostname", "_top"},
  };
  auto avm1 = Run(testing_support::BuildLinksMovie(links), [&desktop](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "ready"))
      WhenDone(
          &window, [&desktop] { return desktop.opened.size() >= 3; }, [&window] { window.NotifyMovie("UPOK", ""); });
    if (Names(call, "alive")) window.close();
  });
  EXPECT_NE(avm1->Find("alive"), nullptr) << "the movie's page went away";
  std::sort(desktop.opened.begin(), desktop.opened.end());
  EXPECT_EQ(desktop.opened, (std::vector<std::string>{"http://example.com/lesson?id=1", "https://example.com/self",
                                                      "mailto:teacher@example.com"}));
  EXPECT_EQ(site.Count("/report/script-here.txt") + site.Count("/report/script-blank.txt"), 0);

  desktop.opened.clear();
  auto as3 = Run(As3Movie(), [&desktop](CWatchedDlg& window, const SeenCall& call) {
    if (!Names(call, "ready")) return;
    window.NotifyMovie("openLink", "https://example.com/as3?id=2");
    WhenDone(
        &window, [&desktop] { return !desktop.opened.empty(); }, [&window] { window.close(); });
  });
  EXPECT_EQ(desktop.opened, std::vector<std::string>{"https://example.com/as3?id=2"});
}

// With QUILLBY_TRACE_LOG set, what the movie traces is appended to that file,
// one line each, in UTF-8; in both generations.
TEST_F(MovieWindowTest, TraceLinesReachTheLog) {
  const fs::path log = root / "trace.log";
  std::ofstream(log) << "earlier\n";
  setenv("QUILLBY_TRACE_LOG", log.c_str(), 1);
  Run(testing_support::BuildTraceMovie({"第一行", "second line"}), CloseOn("ready"));
  Run(As3Movie(), CloseOn("ready"));
  EXPECT_EQ(support::ReadWholeFile(log.string()).value_or(""), "earlier\n第一行\nsecond line\nas3 trace: 第一课\n");
}

// Calls larger than a request may be, a broken UTF-16 string, and blank
// upload identifiers: each reaches the program as the movie gave it, or the
// movie hears plainly that it did not.
TEST_F(MovieWindowTest, ArgumentsReachTheProgramAsTheMovieGaveThem) {
  auto dlg = Run(testing_support::BuildArgumentsMovie(), [](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "upokSeen")) window.close();
  });
  const SeenCall* big = dlg->Find("getClient");
  ASSERT_NE(big, nullptr);
  EXPECT_GT(big->request.size(), 393216u);  // 131,072 times "数"
  const SeenCall* bigAnswer = dlg->Find("bigAnswer");
  ASSERT_NE(bigAnswer, nullptr);
  EXPECT_NE(bigAnswer->request.find("<string>client</string>"), std::string::npos) << bigAnswer->request;
  // Over the limit: never sent, the movie gets undefined.
  int getClients = 0;
  for (const auto& call : dlg->calls) getClients += Names(call, "getClient") ? 1 : 0;
  EXPECT_EQ(getClients, 1);
  const SeenCall* tooBig = dlg->Find("tooBigAnswer");
  ASSERT_NE(tooBig, nullptr);
  EXPECT_NE(tooBig->request.find("<arguments><undefined/></arguments>"), std::string::npos) << tooBig->request;
  const SeenCall* surrogate = dlg->Find("surrogate");
  ASSERT_NE(surrogate, nullptr);
  EXPECT_NE(surrogate->request.find("<string>a\xEF\xBF\xBD"
                                    "b</string>"),
            std::string::npos)
      << surrogate->request;

  const auto uploads = site.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_NE(uploads[0].find("\nuid=\n"), std::string::npos) << uploads[0];
  EXPECT_NE(uploads[0].find("\ntid=  \n"), std::string::npos) << uploads[0];
  ASSERT_NE(dlg->Find("upokSeen"), nullptr);
}

// An ActionScript 3 movie from a real compiler goes the same way as the
// older player's: its queries are answered, its upload goes out and it
// hears UPOK.
TEST_F(MovieWindowTest, ActionScript3MovieQueriesUploadsAndHearsUPOK) {
  const std::string movie = As3Movie();
  ASSERT_EQ(movie.substr(0, 3), "CWS");
  auto dlg = Run(movie, [](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "upokHeard")) window.close();
  });
  for (const char* query : {"getWelcome", "getClient", "getOSVersion", "test_wave", "run_recognize"})
    EXPECT_NE(dlg->Find(query), nullptr) << query;
  const auto uploads = site.Uploads();
  ASSERT_EQ(uploads.size(), 1u);
  EXPECT_EQ(uploads[0].rfind("/Upfile.ashx\n", 0), 0u) << uploads[0];
  EXPECT_NE(uploads[0].find("\nuid=client,client,未知,1,1\n"), std::string::npos) << uploads[0];
  EXPECT_NE(uploads[0].find("\ntid=  \n"), std::string::npos) << uploads[0];
  const SeenCall* heard = dlg->Find("upokHeard");
  ASSERT_NE(heard, nullptr) << "UPOK did not reach the movie";
  EXPECT_NE(heard->request.find("<arguments><string></string></arguments>"), std::string::npos) << heard->request;
}

// The pupil's saved data, written and never flushed, reaches the disk when
// the window is closed, and the next start hands it to the movie again.
TEST_F(MovieWindowTest, UnflushedSavedDataSurvivesClosingTheWindow) {
  auto first = Run(testing_support::BuildSavedDataMovie({{"progress", "alpha"}}, false), CloseOn("ready"));
  EXPECT_EQ(testing_support::SavedDataReport(first->Requests(), "read-progress"), "<undefined/>");
  first.reset();
  const fs::path saved = root / "appdata" / "quillby" / "saved";
  EXPECT_TRUE(fs::exists(saved) && !fs::is_empty(saved)) << "nothing reached the disk";
  auto second = Run(testing_support::BuildSavedDataMovie({{"progress", ""}}, false), CloseOn("ready"));
  EXPECT_EQ(testing_support::SavedDataReport(second->Requests(), "read-progress"), "<string>alpha</string>");
}

// The same when the movie ends the program itself, with the server running.
TEST_F(MovieWindowTest, UnflushedSavedDataSurvivesCloseWinExe) {
  auto first = Run(testing_support::BuildSavedDataMovie({{"progress", "alpha"}}, false, {"CloseWinExe"}),
                   [](CWatchedDlg&, const SeenCall&) {});
  EXPECT_EQ(first->result(), QDialog::Accepted);
  first.reset();
  auto second = Run(testing_support::BuildSavedDataMovie({{"progress", ""}}, false), CloseOn("ready"));
  EXPECT_EQ(testing_support::SavedDataReport(second->Requests(), "read-progress"), "<string>alpha</string>");
}

// Clearing the cache deletes the course's files, never the pupil's saved data.
TEST_F(MovieWindowTest, SavedDataSurvivesLocalFileClear) {
  auto first =
      Run(testing_support::BuildSavedDataMovie({{"progress", "alpha"}}, true, {"LocalFileClear", "CloseWinExe"}),
          [](CWatchedDlg&, const SeenCall&) {});
  EXPECT_EQ(testing_support::SavedDataReport(first->Requests(), "flushed-progress"), "<true/>");
  // The cache went; what the movie reported after the clear was fetched
  // into a new one.
  for (const char* name : {"VerDel.Dat", "tovan.xml", "qzboot.swf"})
    EXPECT_FALSE(fs::exists(root / "appdata" / "quillby" / "sz" / name)) << name;
  first.reset();
  auto second = Run(testing_support::BuildSavedDataMovie({{"progress", ""}}, false), CloseOn("ready"));
  EXPECT_EQ(testing_support::SavedDataReport(second->Requests(), "read-progress"), "<string>alpha</string>");
}

// The window closes while the service holds the pupil's upload without
// answering: the upload ends with the window, not at the stall limit, and
// waits whole in the outbox for the next start.
TEST_F(MovieWindowTest, ClosingTheWindowDuringAnUploadKeepsItWhole) {
  using testing_support::CRawOrigin;
  CRawOrigin stalled([](const CRawOrigin::Request&, int fd) {
    testing_support::WaitForPeerClose(fd, 120000);
    return std::string();
  });
  setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(stalled.Port())).c_str(), 1);
  // Closes the window once the service has the whole request; the loop
  // goes on meanwhile.
  std::function<void(CWatchedDlg&)> closeOnceSent = [&](CWatchedDlg& window) {
    if (!stalled.Requests().empty())
      window.close();
    else
      QTimer::singleShot(20, &window, [&window, &closeOnceSent] { closeOnceSent(window); });
  };
  Run(testing_support::BuildCourseMovie(), [&](CWatchedDlg& window, const SeenCall& call) {
    if (Names(call, "ready")) closeOnceSent(window);
  });
  ASSERT_EQ(stalled.Requests().size(), 1u);
  EXPECT_TRUE(WaitForUploads(10s)) << "the upload went on after the window had closed";

  COutbox outbox((root / "appdata" / "quillby" / "outbox").string());
  const auto pending = outbox.Pending();
  ASSERT_EQ(pending.size(), 1u);
  CRawOrigin back({"HTTP/1.1 200 OK\r\nContent-Length: 2\r\nConnection: close\r\n\r\nOK"});
  setenv("QUILLBY_UPLOAD_HOST", ("127.0.0.1:" + std::to_string(back.Port())).c_str(), 1);
  EXPECT_EQ(outbox.Send(pending[0]), COutbox::EOutcome::Delivered);
  ASSERT_EQ(back.Requests().size(), 1u);
  EXPECT_EQ(back.Requests()[0].Line(), "POST /Upfile_en.ashx HTTP/1.1");
  EXPECT_TRUE(back.Requests()[0].body == stalled.Requests()[0].body);
  EXPECT_NE(back.Requests()[0].body.find("\r\n\r\nMP3DATA\r\n"), std::string::npos);
}

}  // namespace

int main(int argc, char** argv) {
  support::InitLibraries();
  // Before the web engine starts: it picks its sound output once.
  soundtest::CPulseServer soundServer;
  g_pSoundServer = &soundServer;
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  host::CRuffleFlash::PrepareEnvironment();
  QApplication app(argc, argv);
  host::CQtLoopDriver driver;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}

#include "MovieWindowTest.moc"
