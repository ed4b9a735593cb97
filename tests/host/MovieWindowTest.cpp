// The window as the program runs it: in its modal loop, with the real movie
// control, the resource server and the product site on 127.0.0.1, and a real
// movie making the calls.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTimer>
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
      ADD_FAILURE() << "the window was still open after the limit";
      dlg->close();
    });
    limit.start(kRunLimit);
    dlg->DoModal();
    return dlg;
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
  std::ifstream in(AS3_MOVIE_PATH, std::ios::binary);
  const std::string movie((std::istreambuf_iterator<char>(in)), {});
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
  setenv("QT_QPA_PLATFORM", "offscreen", 0);
  host::CRuffleFlash::PrepareEnvironment();
  QApplication app(argc, argv);
  host::CQtLoopDriver driver;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
