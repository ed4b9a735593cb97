#include "host/movie/RuffleFlash.h"

#include <unistd.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonArray>
#include <QJsonDocument>
#include <QLibraryInfo>
#include <QTimer>
#include <QUrl>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineSettings>
#include <QWebEngineView>
#include <cstdio>
#include <filesystem>

#include "host/movie/MoviePage.h"
#include "platform/MessageBox.h"
#include "platform/Paths.h"

namespace host {

namespace {

// Shown once when the movie cannot play at all; the rest of the program
// (server, cache) keeps running.
constexpr const char* kPlayerMissingText = "课程播放组件缺失或无法启动，课程动画无法播放。请重新安装本程序。";
constexpr auto kDefaultCallFunctionTimeout = std::chrono::seconds(15);
// The web engine's switches, each unless the user's own flags name it.
// Sound plays without a user gesture. The player's WebAssembly (14 MB) is
// compiled and checked a function at a time as it first runs, instead of
// whole before the first frame: measured, the movie's first call comes
// 250-400 ms sooner on two cores. The sound output runs in the program's
// process instead of a process of its own (about 10 MB less in all).
constexpr const char* kEngineFlags[][2] = {
    {"--autoplay-policy=", "--autoplay-policy=no-user-gesture-required"},
    {"--js-flags=", "--js-flags=--wasm-lazy-compilation,--wasm-lazy-validation"},
    {"--disable-features=", "--disable-features=AudioServiceOutOfProcess"},
};
// Beside the cache ($APPDATA/quillby/sz), never in it: clearing the cache
// keeps the pupil's saved data.
constexpr const char* kSavedSubdir = "/quillby/saved";
constexpr const char* kTraceLogVariable = "QUILLBY_TRACE_LOG";

std::string WebEngineProcessPath() {
  const QByteArray overridden = qgetenv("QTWEBENGINE_PROCESS_PATH");
  if (!overridden.isEmpty()) return overridden.toStdString();
  return QLibraryInfo::path(QLibraryInfo::LibraryExecutablesPath).toStdString() + "/QtWebEngineProcess";
}

bool HasFileLike(const std::string& dir, const std::string& prefix, const std::string& suffix) {
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(dir, error)) {
    const std::string name = entry.path().filename().string();
    if (name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0)
      return true;
  }
  return false;
}

}  // namespace

std::string CRuffleFlash::DefaultFilesDir() { return platform::GetExeDir() + "/moviehost"; }

std::string CRuffleFlash::DefaultSavedDir() { return platform::GetAppDataDir() + kSavedSubdir; }

std::string CRuffleFlash::DefaultTraceLogPath() { return platform::GetEnvOr(kTraceLogVariable, ""); }

void CRuffleFlash::PrepareEnvironment() {
  // The web engine shares its GL context with the application's.
  QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
  if (geteuid() == 0 && !qEnvironmentVariableIsSet("QTWEBENGINE_DISABLE_SANDBOX"))
    qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
  QByteArray flags = qgetenv("QTWEBENGINE_CHROMIUM_FLAGS");
  for (const auto& [name, flag] : kEngineFlags)
    if (!flags.contains(name)) flags += QByteArray(" ") + flag;
  qputenv("QTWEBENGINE_CHROMIUM_FLAGS", flags.trimmed());
}

std::string CRuffleFlash::FindMissingParts(const std::string& filesDir) {
  namespace fs = std::filesystem;
  std::string missing;
  const auto need = [&](bool present, const std::string& what) {
    if (!present) missing += (missing.empty() ? "" : ", ") + what;
  };
  need(fs::exists(WebEngineProcessPath()), WebEngineProcessPath());
  for (const char* name : {"host.html", "host.js", "ruffle.js"})
    need(fs::exists(filesDir + "/" + name), filesDir + "/" + name);
  need(HasFileLike(filesDir, "core.ruffle.", ".js"), filesDir + "/core.ruffle.*.js");
  need(HasFileLike(filesDir, "", ".wasm"), filesDir + "/*.wasm");
  return missing;
}

CRuffleFlash::CRuffleFlash(QWidget* parent, std::string filesDir, std::string fontPath, std::string savedDir,
                           std::string traceLogPath)
    : m_strFilesDir(std::move(filesDir)),
      m_pUiContext(std::make_unique<QObject>()),
      m_callFunctionTimeout(kDefaultCallFunctionTimeout) {
  m_uiTarget.CreateTarget();
  CMoviePageHandler::Sinks sinks;
  sinks.post = [hwnd = m_uiTarget.GetSafeHwnd()](std::function<void()> task) {
    platform::PostTask(hwnd, std::move(task));
  };
  sinks.onCall = [this](const std::string& request) { return RaiseFlashCall(request); };
  sinks.onFSCommand = [this](const std::string& command, const std::string& args) { RaiseFSCommand(command, args); };
  m_pHandler = CMoviePageHandler::Create(m_strFilesDir, std::move(fontPath), std::move(sinks), std::move(savedDir),
                                         std::move(traceLogPath));

  // An off-the-record profile of our own, its cache in memory for this run
  // and of the engine's default size (a disk-based profile stalled the first
  // request on this machine). Only the page and the player's files are
  // served to be kept; course files carry no lifetime, so the boot movie and
  // XML files come fresh.
  m_pProfile = std::make_unique<QWebEngineProfile>();
  m_pProfile->setHttpCacheType(QWebEngineProfile::MemoryHttpCache);
  m_pPage = std::make_unique<CMoviePage>(m_pProfile.get());
  QWebEngineSettings* settings = m_pPage->settings();
  settings->setAttribute(QWebEngineSettings::PlaybackRequiresUserGesture, false);
  settings->setAttribute(QWebEngineSettings::ShowScrollBars, false);
  settings->setAttribute(QWebEngineSettings::ErrorPageEnabled, false);
  QObject::connect(m_pPage.get(), &QWebEnginePage::renderProcessTerminated, m_pUiContext.get(),
                   [this](QWebEnginePage::RenderProcessTerminationStatus status, int exitCode) {
                     if (status != QWebEnginePage::NormalTerminationStatus)
                       ReportFailure("web engine render process ended, code " + std::to_string(exitCode));
                   });

  m_pView = std::make_unique<QWebEngineView>(parent);
  m_pView->setPage(m_pPage.get());
  // Keys reach the movie from the start, without a click first.
  QObject::connect(m_pPage.get(), &QWebEnginePage::loadFinished, m_pUiContext.get(), [this](bool ok) {
    if (ok) m_pView->setFocus(Qt::OtherFocusReason);
  });
  // The player draws its own context menu.
  m_pView->setContextMenuPolicy(Qt::NoContextMenu);
  m_pView->hide();
}

CRuffleFlash::~CRuffleFlash() {
  // Server threads may still call; from now on they are refused.
  m_pHandler->Close();
}

QWidget* CRuffleFlash::GetWidget() const { return m_pView.get(); }

QWebEnginePage* CRuffleFlash::GetPage() const { return m_pPage.get(); }

void CRuffleFlash::LoadMovie(int layer, const std::string& url) {
  if (layer != 0) return;  // the program only ever uses the base layer
  const std::string missing = FindMissingParts(m_strFilesDir);
  if (!missing.empty()) {
    ReportFailure("missing: " + missing);
    return;
  }
  // The page must share the movie's origin: the player fetches the movie
  // and every file it asks for from there.
  const QUrl movie(QString::fromStdString(url));
  QUrl page;
  page.setScheme(movie.scheme());
  page.setHost(movie.host());
  page.setPort(movie.port());
  page.setPath(QString::fromLatin1(CMoviePageHandler::kPrefix) + CMoviePageHandler::kPageName);
  QString query = "movie=" + QString::fromLatin1(QUrl::toPercentEncoding(QString::fromStdString(url)));
  if (m_pHandler->KeepsTraceLog()) query += "&trace";
  // Every load is a page of its own: the same movie again would otherwise
  // differ from the page shown only in the fragment, and the engine would
  // take it for a move within that page and start nothing.
  query += "&load=" + QString::number(++m_nPageLoads);
  page.setQuery(query);
  page.setFragment(QString::fromStdString(m_pHandler->GetSecret()));
  // The movie that goes ends normally: what it did not flush is kept.
  FlushSavedData();
  m_pPage->LoadHostPage(page);
  m_bPageLoaded = true;
}

void CRuffleFlash::Play() { m_pPage->runJavaScript("if (window.quillby) quillby.play();"); }

namespace {

// The page's script that calls the movie's function with an invoke document.
QString CallFunctionScript(const std::string& request) {
  const QString literal =
      QString::fromUtf8(QJsonDocument(QJsonArray{QString::fromStdString(request)}).toJson(QJsonDocument::Compact));
  return "window.quillby ? quillby.callFunction(" + literal + "[0]) : ''";
}

}  // namespace

void CRuffleFlash::NotifyFunction(const std::string& request) { m_pPage->runJavaScript(CallFunctionScript(request)); }

std::string CRuffleFlash::CallFunction(const std::string& request) {
  // While a FlashCall is being handled the movie is waiting for us, so its
  // answer cannot come before we return: send the call and do not wait.
  if (!m_returnValues.empty()) {
    NotifyFunction(request);
    return "";
  }
  const QString script = CallFunctionScript(request);

  // Wait in a local loop: the movie's callback may call out again, and that
  // call is served by this loop.
  struct Pending {
    QEventLoop loop;
    std::optional<std::string> result;
  };
  auto pending = std::make_shared<Pending>();
  m_pPage->runJavaScript(script, [pending](const QVariant& value) {
    pending->result = value.toString().toStdString();
    pending->loop.quit();
  });
  if (!pending->result) {
    QTimer::singleShot(m_callFunctionTimeout, &pending->loop, &QEventLoop::quit);
    pending->loop.exec();
  }
  return pending->result.value_or("");
}

void CRuffleFlash::SetReturnValue(const std::string& value) {
  if (!m_returnValues.empty()) m_returnValues.back() = value;
}

void CRuffleFlash::MoveWindow(int x, int y, int width, int height) {
  m_pView->setGeometry(x, y, width, height);
  m_pView->show();
  // The control is the window's only tab stop: keys go to the movie, also
  // after the window changed its mode.
  m_pView->setFocus(Qt::OtherFocusReason);
}

std::optional<std::string> CRuffleFlash::RaiseFlashCall(const std::string& request) {
  m_returnValues.emplace_back();
  if (m_pEvents) m_pEvents->OnFlashCall(request);
  std::optional<std::string> value = std::move(m_returnValues.back());
  m_returnValues.pop_back();
  return value;
}

void CRuffleFlash::RaiseFSCommand(const std::string& command, const std::string& args) {
  if (m_pEvents) m_pEvents->OnFSCommand(command, args);
}

void CRuffleFlash::ReportFailure(const std::string& detail) {
  if (m_bFailureShown) return;
  m_bFailureShown = true;
  platform::MessageBox(std::string(kPlayerMissingText) + "\n(" + detail + ")");
}

void CRuffleFlash::Close() {
  if (m_bClosed) return;
  m_bClosed = true;
  FlushSavedData();
  m_pHandler->Close();
}

void CRuffleFlash::FlushSavedData() {
  if (!m_bPageLoaded) return;
  const QString script = "window.quillby ? quillby.close() : true";
  // Inside a FlashCall the page waits for us and runs the script only after
  // we return; the program keeps taking saved data meanwhile.
  if (!m_returnValues.empty()) {
    m_pPage->runJavaScript(script);
    return;
  }
  // A local loop: the page's changes reach the server's threads, and calls
  // the movie makes meanwhile are still answered.
  struct Pending {
    QEventLoop loop;
    bool done = false;
  };
  auto pending = std::make_shared<Pending>();
  m_pPage->runJavaScript(script, [pending](const QVariant&) {
    pending->done = true;
    pending->loop.quit();
  });
  if (pending->done) return;
  // A page that has gone answers nothing: no point waiting for it.
  const QMetaObject::Connection ended =
      QObject::connect(m_pPage.get(), &QWebEnginePage::renderProcessTerminated, &pending->loop, &QEventLoop::quit);
  QTimer::singleShot(kCloseFlushTimeout, &pending->loop, &QEventLoop::quit);
  pending->loop.exec();
  QObject::disconnect(ended);
  if (!pending->done)
    std::fprintf(stderr, "%s: the movie's unsaved data did not reach the program in %lld s; it may be lost\n",
                 platform::GetExeBaseName().c_str(),
                 static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(kCloseFlushTimeout).count()));
}

}  // namespace host
