#include <gtest/gtest.h>
#include <httplib.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <thread>

#include "FakeFlash.h"
#include "ProductSite.h"
#include "SmallFilesystem.h"
#include "TempDir.h"
#include "TestArchive.h"
#include "audio/SimWaveDevice.h"
#include "audio/encoder/LameEnc.h"
#include "host/app/TesselDlg.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

// One offscreen application for every test of this program.
class QtEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    setenv("QT_QPA_PLATFORM", "offscreen", 1);
    static int argc = 1;
    static char name[] = "host_window_test";
    static char* argv[] = {name, nullptr};
    m_app = std::make_unique<QApplication>(argc, argv);
  }
  void TearDown() override { m_app.reset(); }

 private:
  std::unique_ptr<QApplication> m_app;
};
[[maybe_unused]] auto* const g_qtEnvironment = ::testing::AddGlobalTestEnvironment(new QtEnvironment);

// While it lives the process can open no more descriptors: every socket,
// file and pipe it tries to make fails with EMFILE.
class CNoMoreDescriptors {
 public:
  CNoMoreDescriptors() {
    ::getrlimit(RLIMIT_NOFILE, &m_previous);
    // The lowest free descriptor number is the first the limit refuses.
    const int nLowestFree = ::dup(0);
    ::close(nLowestFree);
    rlimit exhausted = m_previous;
    exhausted.rlim_cur = static_cast<rlim_t>(nLowestFree);
    ::setrlimit(RLIMIT_NOFILE, &exhausted);
  }
  ~CNoMoreDescriptors() { ::setrlimit(RLIMIT_NOFILE, &m_previous); }

 private:
  rlimit m_previous{};
};

class TesselDlgTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root = fs::temp_directory_path() / ("tessel-dlg-" + std::to_string(::getpid()));
    fs::remove_all(root);
    site.PointProgramAt(root);
    cache = root / "appdata/quillby/sz";
    previous = platform::SetMessageBoxPresenter(boxes);
    host::g_windowedMode = 0;
  }
  void TearDown() override {
    platform::SetMessageBoxPresenter(previous);
    fs::remove_all(root);
  }

  // A window as the program makes it, on the simulated sound devices.
  std::unique_ptr<host::CTesselDlg> MakeWindow() {
    auto dlg = std::make_unique<host::CTesselDlg>(
        [this](QWidget*, CHTTPServer&) {
          auto made = std::make_unique<CFakeFlash>();
          flash = made.get();
          return made;
        },
        devices);
    return dlg;
  }
  // OnInitDialog, then the start-up tick.
  std::unique_ptr<host::CTesselDlg> Start() {
    auto dlg = MakeWindow();
    dlg->OnInitDialog();
    platform::CMessageLoop::Get().AdvanceTime(100ms);
    return dlg;
  }
  std::string Versions() { return ReadWholeFile(cache / "VerDel.Dat"); }

  ProductSite site;
  audio::CSimWaveDevices devices;
  fs::path root, cache;
  CFakeFlash* flash = nullptr;
  std::shared_ptr<platform::CRecordingPresenter> boxes = std::make_shared<platform::CRecordingPresenter>();
  std::shared_ptr<platform::IMessageBoxPresenter> previous;
};

TEST_F(TesselDlgTest, FirstRunOnlineRebuildsTheCacheLoadsTheBootMovieAndKeepsTheManifest) {
  site.Set("/tovan.xml", Manifest("<course>v1</course><music>2.0</music>"));
  WriteWholeFile(cache / "old/stale.swf", "stale");
  auto dlg = Start();
  EXPECT_TRUE(boxes->Texts().empty());
  EXPECT_FALSE(fs::exists(cache / "old"));
  std::string versions = Versions();
  EXPECT_NE(versions.find("<root><course>v1</course><music>2.0</music></root>"), std::string::npos) << versions;
  EXPECT_EQ(versions.rfind("<?xml version=\"1.0\"", 0), 0u) << versions;
  // Kept, so the next start without network still has a manifest.
  EXPECT_EQ(ReadWholeFile(cache / "tovan.xml"), Manifest("<course>v1</course><music>2.0</music>"));
  ASSERT_EQ(flash->loaded.size(), 1u);
  EXPECT_EQ(flash->loaded[0], "http://127.0.0.1:" + std::to_string(dlg->Server().m_nPort) + "/qzboot.swf");
  EXPECT_EQ(flash->layerErrors, 0);
  EXPECT_EQ(flash->plays, 1);
  EXPECT_FALSE(dlg->LoadingTextVisible());
  EXPECT_EQ(site.Count("/tovan.xml"), 1);
  // The tick ran once: the timer is gone.
  platform::CMessageLoop::Get().AdvanceTime(1000ms);
  EXPECT_EQ(site.Count("/tovan.xml"), 1);
  EXPECT_EQ(flash->loaded.size(), 1u);
}

// The server cannot start at all (here: no descriptor left for its
// socket). The pupil is told so at once, and no movie is loaded from a port
// the server does not hold.
TEST_F(TesselDlgTest, ServerThatCannotStartIsToldAtOnceAndNoMovieLoads) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  {
    CNoMoreDescriptors exhausted;
    platform::CMessageLoop::Get().AdvanceTime(100ms);
  }
  EXPECT_EQ(boxes->Texts(), std::vector<std::string>{"课程服务启动失败，无法载入课程！请关闭程序后重新打开。"});
  EXPECT_TRUE(flash->loaded.empty());
  EXPECT_TRUE(dlg->LoadingTextVisible());
  EXPECT_EQ(site.Count("/tovan.xml"), 0);
}

TEST_F(TesselDlgTest, LaterRunsDeleteOnlyChangedModulesAndAppendNewOnes) {
  site.Set("/tovan.xml", Manifest("<course>v1</course><music>a</music><art>1</art>"));
  Start().reset();
  for (const char* module : {"course", "music", "art"}) WriteWholeFile(cache / module / "f.swf", module);

  // Unchanged manifest: nothing goes.
  std::string before = Versions();
  Start().reset();
  EXPECT_EQ(Versions(), before);
  for (const char* module : {"course", "music", "art"}) EXPECT_TRUE(fs::exists(cache / module / "f.swf")) << module;

  // course changes, music changes only its case, art is gone, story is new.
  site.Set("/tovan.xml", Manifest("<story>s1</story><course>v2</course><music>A</music>"));
  Start().reset();
  EXPECT_FALSE(fs::exists(cache / "course"));
  EXPECT_FALSE(fs::exists(cache / "music"));
  EXPECT_TRUE(fs::exists(cache / "art/f.swf"));
  EXPECT_NE(Versions().find("<root><course>v2</course><music>A</music><art>1</art><story>s1</story></root>"),
            std::string::npos)
      << Versions();
}

TEST_F(TesselDlgTest, ManifestWithoutDelModDiscardsTheCacheEveryStart) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  Start().reset();
  WriteWholeFile(cache / "course/f.swf", "x");
  site.Set("/tovan.xml", "<?xml version=\"1.0\"?><config><Other/></config>");
  auto dlg = Start();
  EXPECT_FALSE(fs::exists(cache / "course"));
  EXPECT_NE(Versions().find("<course>v1</course>"), std::string::npos);
  EXPECT_TRUE(fs::exists(cache / "tovan.xml"));
  EXPECT_EQ(flash->loaded.size(), 1u);
}

TEST_F(TesselDlgTest, OfflineStartsUseTheManifestOfTheLastOnlineRun) {
  // Offline with nothing on disk: the message, no movie, loading text stays.
  {
    auto dlg = Start();
    EXPECT_EQ(boxes->Texts(), std::vector<std::string>{"打开资源更新文件失败！"});
    EXPECT_TRUE(flash->loaded.empty());
    EXPECT_TRUE(dlg->LoadingTextVisible());
    EXPECT_FALSE(fs::exists(cache / "VerDel.Dat"));
    // The window is sized all the same.
    EXPECT_EQ(host::g_windowedMode, 1);
  }
  boxes->Clear();
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  Start().reset();
  WriteWholeFile(cache / "course/f.swf", "x");
  site.Remove("/tovan.xml");
  auto dlg = Start();
  EXPECT_TRUE(boxes->Texts().empty());
  EXPECT_EQ(flash->loaded.size(), 1u);
  EXPECT_TRUE(fs::exists(cache / "course/f.swf"));
}

TEST_F(TesselDlgTest, EncoderLibraryIsFetchedOnlyWhenMissing) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  site.Set(std::string("/") + kLameLibraryFileName, "library bytes");
  // The test's own directory holds the built library: no download.
  ASSERT_TRUE(fs::exists(platform::GetExeDir() + "/" + kLameLibraryFileName));
  Start().reset();
  std::this_thread::sleep_for(200ms);
  EXPECT_EQ(site.Count(std::string("/") + kLameLibraryFileName), 0);
  // Where it is missing, the download thread puts it there.
  host::g_exeDir = (root / "exe").string();
  fs::create_directories(root / "exe");
  EXPECT_EQ(host::LameDownloadThreadProc(site.Url()), 1u);
  EXPECT_EQ(ReadWholeFile(root / "exe" / kLameLibraryFileName), "library bytes");
}

TEST_F(TesselDlgTest, ACopyOnDiskComesBeforeTheSiteAndAnUnusableOneIsReportedOnce) {
  const fs::path archive = root / "course.zip";
  ASSERT_TRUE(WriteArchive(archive.string(), {{"tovan.xml", Manifest("<course>z1</course>")},
                                              {kLameLibraryFileName, "library from the archive"}}));
  site.Set("/tovan.xml", Manifest("<course>web</course>"));
  site.Set("/course/more.swf", "from the site");
  const std::string bases = "/media/absent/course.zip " + archive.string() + " " + site.Url();
  setenv("QUILLBY_BASE_URL", bases.c_str(), 1);

  ::testing::internal::CaptureStderr();
  auto dlg = Start();
  const std::string err = ::testing::internal::GetCapturedStderr();
  const std::string line = "course files cannot come from /media/absent/course.zip: ";
  EXPECT_NE(err.find(line), std::string::npos) << err;
  EXPECT_EQ(err.find("course files cannot come from", err.find(line) + 1), std::string::npos) << err;
  EXPECT_EQ(site.Count("/tovan.xml"), 0);
  EXPECT_NE(Versions().find("<course>z1</course>"), std::string::npos) << Versions();
  EXPECT_EQ(flash->loaded.size(), 1u);

  // What the archive lacks comes from the site.
  httplib::Client client("127.0.0.1", dlg->Server().m_nPort);
  auto res = client.Get("/course/more.swf?z1");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, "from the site");
  host::g_exeDir = (root / "exe").string();
  fs::create_directories(root / "exe");
  EXPECT_EQ(host::LameDownloadThreadProc(bases), 1u);
  EXPECT_EQ(ReadWholeFile(root / "exe" / kLameLibraryFileName), "library from the archive");
  EXPECT_EQ(site.Count(std::string("/") + kLameLibraryFileName), 0);
}

// Replies, as the movie receives them.
TEST_F(TesselDlgTest, QueriesAnswerTheFixedReplies) {
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  auto call = [&](const std::string& name, const std::string& args = "") {
    return flash->Call("<invoke name=\"" + name + "\" returntype=\"xml\"><arguments>" + args + "</arguments></invoke>");
  };
  EXPECT_EQ(call("getWelcome"), "<string>client</string>");
  EXPECT_EQ(call("getClient"), "<string>client</string>");
  EXPECT_EQ(call("getOSVersion"), "<string>未知</string>");
  EXPECT_EQ(call("test_wave"), "<string>1</string>");
  EXPECT_EQ(call("run_recognize"), "<string>1</string>");
  // A microphone but no speakers.
  devices.SetDeviceCounts(1, 0);
  EXPECT_EQ(call("test_wave"), "<string>0</string>");
  EXPECT_EQ(call("run_recognize"), "<string>1</string>");
  EXPECT_EQ(call("reco_word"), std::nullopt);
  EXPECT_EQ(call("play_file"), std::nullopt);
  EXPECT_EQ(call("somethingElse"), std::nullopt);
  EXPECT_EQ(flash->Call("not xml at all getClient"), "<string>client</string>");
}

TEST_F(TesselDlgTest, WindowSizesToTheMovieAndTogglesWithGetWinSize) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  auto dlg = Start();
  dlg->show();
  EXPECT_EQ(host::g_windowedMode, 1);
  EXPECT_EQ(dlg->size(), QSize(970, 607));
  EXPECT_EQ(QRect(flash->x, flash->y, flash->width, flash->height), QRect(0, 0, 970, 607));
  QRect screen = dlg->screen()->geometry();
  EXPECT_EQ(dlg->pos(), QPoint((screen.width() - 976) / 2, (screen.height() - 632) / 2));

  EXPECT_EQ(flash->Call("<invoke name=\"getWinSize\" returntype=\"xml\"><arguments/></invoke>"), std::nullopt);
  EXPECT_EQ(host::g_windowedMode, 0);
  EXPECT_TRUE(dlg->windowState() & Qt::WindowFullScreen);
  EXPECT_EQ(dlg->geometry(), screen);
  EXPECT_EQ(QRect(flash->x, flash->y, flash->width, flash->height), QRect(0, 0, screen.width(), screen.height()));
  EXPECT_TRUE(dlg->isVisible());

  flash->Call("<invoke name=\"getWinSize\" returntype=\"xml\"><arguments/></invoke>");
  EXPECT_EQ(host::g_windowedMode, 1);
  EXPECT_FALSE(dlg->windowState() & Qt::WindowFullScreen);
  EXPECT_EQ(dlg->size(), QSize(970, 607));
}

TEST_F(TesselDlgTest, WindowCarriesTheProgramsIconLargeAndSmall) {
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  const QList<QSize> sizes = dlg->windowIcon().availableSizes();
  for (const QSize size : {QSize(128, 128), QSize(32, 32), QSize(16, 16)})
    EXPECT_TRUE(sizes.contains(size)) << size.width();
  // Drawn, not blank: the corner is clear and the middle is not.
  const QImage image = dlg->windowIcon().pixmap(128).toImage();
  EXPECT_EQ(qAlpha(image.pixel(0, 0)), 0);
  EXPECT_EQ(qAlpha(image.pixel(64, 64)), 255);
}

TEST_F(TesselDlgTest, EscapeAndEnterNeverCloseTheWindow) {
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  dlg->show();
  for (int key : {Qt::Key_Escape, Qt::Key_Return, Qt::Key_Enter}) {
    QKeyEvent press(QEvent::KeyPress, key, Qt::NoModifier);
    QApplication::sendEvent(dlg.get(), &press);
    EXPECT_TRUE(dlg->isVisible()) << key;
  }
  EXPECT_EQ(dlg->result(), 0);
}

TEST_F(TesselDlgTest, ClosingStopsTheServerButCloseWinExeDoesNot) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  // True when this window's server answers: a file only its cache holds, so
  // whatever else takes the port once it is free does not count.
  const std::string token = "served from " + root.string();
  auto probe = [&](int port) {
    WriteWholeFile(cache / "probe.txt", token);
    httplib::Client client("127.0.0.1", port);
    client.set_connection_timeout(1);
    const auto result = client.Get("/probe.txt");
    return result && result->status == 200 && result->body == token;
  };
  {
    auto dlg = Start();
    dlg->show();
    int port = dlg->Server().m_nPort;
    ASSERT_TRUE(probe(port));
    // A getOSVersion whose argument names CloseWinExe closes the program.
    flash->Call(
        "<invoke name=\"getOSVersion\" "
        "returntype=\"xml\"><arguments><string>CloseWinExe</string></arguments></invoke>");
    EXPECT_EQ(dlg->result(), QDialog::Accepted);
    EXPECT_FALSE(dlg->isVisible());
    EXPECT_TRUE(probe(port));
  }
  auto dlg = Start();
  dlg->show();
  int port = dlg->Server().m_nPort;
  ASSERT_TRUE(probe(port));
  dlg->close();
  EXPECT_FALSE(probe(port));
}

TEST_F(TesselDlgTest, RecUploadSendsTheArgumentsAndTellsTheMovieWhenDone) {
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  fs::path work = root / "work";
  fs::create_directories(work);
  fs::current_path(work);
  WriteWholeFile(work / "test.mp3", "MP3DATA");
  auto wait = [&](size_t uploads) {
    for (int i = 0; i < 500 && (site.Uploads().size() < uploads || flash->functionCalls.size() < uploads); ++i) {
      std::this_thread::sleep_for(10ms);
      platform::CMessageLoop::Get().RunUntilIdle();
    }
  };
  flash->Call(
      "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array>"
      "<property id=\"0\"><string>u1</string></property><property id=\"1\"><string>t&amp;2</string></property>"
      "<property id=\"2\"><string>1</string></property></array></arguments></invoke>");
  wait(1);
  ASSERT_EQ(site.Uploads().size(), 1u);
  std::string upload = site.Uploads()[0];
  EXPECT_EQ(upload.rfind("/Upfile_en.ashx\n", 0), 0u);
  EXPECT_NE(upload.find("\nuid=u1\n"), std::string::npos) << upload;
  // Inner markup: the entity reference goes as it stands.
  EXPECT_NE(upload.find("\ntid=t&amp;2\n"), std::string::npos) << upload;
  EXPECT_NE(upload.find("\ntxtfile=MP3DATA"), std::string::npos) << upload;
  ASSERT_EQ(flash->functionCalls.size(), 1u);
  EXPECT_EQ(flash->functionCalls[0],
            "<invoke name='UPOK' returntype='xml'><arguments><string></string></arguments></invoke>");
  EXPECT_EQ(host::g_uploadParam.strEnglish, "1");

  // Without argument 2 the English flag is "0".
  flash->Call(
      "<invoke name=\"RecUpload\" returntype=\"xml\"><arguments><array>"
      "<property id=\"0\"><string>u2</string></property></array></arguments></invoke>");
  wait(2);
  ASSERT_EQ(site.Uploads().size(), 2u);
  EXPECT_EQ(site.Uploads()[1].rfind("/Upfile.ashx\n", 0), 0u);
  EXPECT_EQ(host::g_uploadParam.strEnglish, "0");
  EXPECT_EQ(host::g_uploadParam.strTid, "");

  // Another wParam tells the movie nothing.
  EXPECT_EQ(dlg->OnUploadDone(0, 0), 0);
  EXPECT_EQ(flash->functionCalls.size(), 2u);
  fs::current_path(root);
}

TEST_F(TesselDlgTest, RecStartRecordsIntoBothFilesAndRecStopEndsIt) {
  auto dlg = MakeWindow();
  dlg->OnInitDialog();
  fs::path work = root / "rec";
  fs::create_directories(work);
  fs::current_path(work);
  std::vector<std::uint8_t> pcm(4096 * 3, 0x11);
  devices.SupplyInput(pcm);
  flash->Call("<invoke name=\"RecStart\" returntype=\"xml\"><arguments/></invoke>");
  EXPECT_EQ(dlg->Audio().GetState(), audio::CAudioPlayRec::kStateRecording);
  devices.DeliverInput(3);
  platform::CMessageLoop::Get().RunUntilIdle();
  flash->Call("<invoke name=\"RecStop\" returntype=\"xml\"><arguments/></invoke>");
  platform::CMessageLoop::Get().AdvanceTime(1100ms);
  EXPECT_EQ(dlg->Audio().GetState(), audio::CAudioPlayRec::kStateReady);
  EXPECT_EQ(fs::file_size(work / "test.wav"), 46u + pcm.size());
  EXPECT_TRUE(fs::exists(work / "test.mp3"));
  fs::current_path(root);
}

TEST_F(TesselDlgTest, LocalFileClearDeletesTheCacheWhileTheServerKeepsRunning) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  auto dlg = Start();
  WriteWholeFile(cache / "course/f.swf", "x");
  flash->Call("<invoke name=\"LocalFileClear\" returntype=\"xml\"><arguments/></invoke>");
  EXPECT_FALSE(fs::exists(cache));
  site.Set("/course/g.swf", "fresh");
  httplib::Client client("127.0.0.1", dlg->Server().m_nPort);
  auto res = client.Get("/course/g.swf");
  ASSERT_TRUE(res);
  EXPECT_EQ(res->body, "fresh");
}

}  // namespace

namespace {

TEST_F(TesselDlgTest, ManifestLargerThanOneMebibyteCannotBeOpened) {
  // Well-formed, and padded past the limit with a comment.
  const std::string head = "<?xml version=\"1.0\"?><config><DelMod><course>v1</course></DelMod><!--";
  const std::string tail = "--></config>";
  std::string large = head + std::string(1024 * 1024 - head.size() - tail.size(), 'p') + tail;
  site.Set("/tovan.xml", large);
  Start().reset();
  EXPECT_TRUE(boxes->Texts().empty());  // exactly the limit: read
  ASSERT_EQ(flash->loaded.size(), 1u);

  large.insert(head.size(), "p");
  site.Set("/tovan.xml", large);
  auto dlg = Start();
  EXPECT_EQ(boxes->Texts(), std::vector<std::string>{"打开资源更新文件失败！"});
  EXPECT_TRUE(flash->loaded.empty());
  EXPECT_TRUE(dlg->LoadingTextVisible());
}

TEST_F(TesselDlgTest, AModuleListedTwiceEndsWithOneEntryOfItsLastVersion) {
  site.Set("/tovan.xml", Manifest("<course>v1</course>"));
  Start().reset();
  site.Set("/tovan.xml", Manifest("<story>s1</story><course>v1</course><story>s2</story><course>v2</course>"));
  Start().reset();
  EXPECT_NE(Versions().find("<root><course>v2</course><story>s2</story></root>"), std::string::npos) << Versions();
}

TEST_F(TesselDlgTest, VersionFileThatCannotBeSavedOnAFullDiskKeepsTheCache) {
  std::string modules;
  for (int i = 0; i < 2000; ++i) modules += "<m" + std::to_string(i) + ">v1</m" + std::to_string(i) + ">";
  site.Set("/tovan.xml", Manifest(modules));
  Start().reset();
  const std::string before = Versions();
  WriteWholeFile(cache / "m7/f.swf", "kept");
  ASSERT_GT(before.size(), 30000u);

  // The next start adds modules, and the longer version file no longer fits.
  std::string more;
  for (int i = 2000; i < 2100; ++i) more += "<n" + std::to_string(i) + ">v1</n" + std::to_string(i) + ">";
  site.Set("/tovan.xml", Manifest(more));
  {
    CFileSizeLimit full(before.size() + 200);  // as much as any one file may take now
    Start().reset();
  }
  EXPECT_EQ(Versions(), before);

  // And the start after it still knows the modules: nothing of theirs goes.
  Start().reset();
  EXPECT_EQ(ReadWholeFile(cache / "m7/f.swf"), "kept");
  EXPECT_NE(Versions().find("<n2099>v1</n2099></root>"), std::string::npos);
}

}  // namespace
