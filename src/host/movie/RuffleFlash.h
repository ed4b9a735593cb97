#pragma once
// The real Flash control: the Ruffle player on a host page in a Qt WebEngine
// view. The page comes from the resource server under the reserved prefix, so
// it shares the movie's origin and the player fetches the movie's files from
// the same place; the movie's calls reach OnFlashCall on the UI thread through
// CMoviePageHandler and the program's message loop (which must be pumped,
// as CQtLoopDriver does).
//
// Calls that may re-enter: CallFunction outside a FlashCall, LoadMovie and
// Close run the event loop while they wait for the page (CallFunction up to
// its time-out, the other two while the page hands over the movie's unsaved
// data, up to kCloseFlushTimeout). Meanwhile anything may run: the movie's
// calls (OnFlashCall, OnFSCommand), posted messages and tasks, timers, the
// window's own events, its closing included. Inside a FlashCall none of them
// waits, so nothing re-enters there. NotifyFunction, Play, SetReturnValue
// and MoveWindow never run the event loop.
#include <QObject>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/FlashControl.h"
#include "host/movie/MoviePageHandler.h"
#include "platform/MessageLoop.h"

class QWidget;
class QWebEngineProfile;
class QWebEnginePage;
class QWebEngineView;

namespace host {

class CMoviePage;

class CRuffleFlash : public CShockwaveflash1 {
 public:
  // The page and the player's files, installed next to the program.
  static std::string DefaultFilesDir();
  // The CJK font offered to the player for device text.
  static constexpr const char* kCjkFontPath = "/usr/share/fonts/truetype/wqy/wqy-microhei.ttc";
  // Where the movie's local shared objects are kept, per user.
  static std::string DefaultSavedDir();
  // The file the movie's trace lines are appended to (QUILLBY_TRACE_LOG);
  // empty, and none kept, by default.
  static std::string DefaultTraceLogPath();
  // How long Close waits for the page to hand over what the movie has not
  // flushed yet. Long: a page busy for a few seconds on a crowded machine
  // must not cost the pupil's progress; only a page that hangs meets it.
  static constexpr std::chrono::milliseconds kCloseFlushTimeout{20000};

  // Call before QApplication exists: switches the web engine's sandbox off
  // when (and only when) the program runs as root, which it refuses
  // otherwise, lets the movie play sound without a user gesture, and sets
  // the engine's switches for a quick start.
  static void PrepareEnvironment();

  // The view is a child of parent (the dialog) and stays hidden until the
  // first MoveWindow. The dialog must outlive this object.
  explicit CRuffleFlash(QWidget* parent, std::string filesDir = DefaultFilesDir(), std::string fontPath = kCjkFontPath,
                        std::string savedDir = DefaultSavedDir(), std::string traceLogPath = DefaultTraceLogPath());
  ~CRuffleFlash() override;

  void LoadMovie(int layer, const std::string& url) override;
  void Play() override;
  std::string CallFunction(const std::string& request) override;
  void NotifyFunction(const std::string& request) override;
  void SetReturnValue(const std::string& value) override;
  void MoveWindow(int x, int y, int width, int height) override;
  // Has the player write every shared object and waits until the program
  // holds them, then refuses further calls. Once; later calls do nothing.
  void Close() override;

  // The resource server answers every path under CMoviePageHandler::kPrefix
  // with this handler; it may outlive the control (it refuses calls then).
  std::shared_ptr<CMoviePageHandler> GetPageHandler() const { return m_pHandler; }

  QWidget* GetWidget() const;
  QWebEnginePage* GetPage() const;

  // How long CallFunction waits for the movie's answer.
  void SetCallFunctionTimeout(std::chrono::milliseconds timeout) { m_callFunctionTimeout = timeout; }

  // Empty when the web engine and the player's files are in place, else
  // what is missing.
  static std::string FindMissingParts(const std::string& filesDir);

 private:
  std::optional<std::string> RaiseFlashCall(const std::string& request);
  void RaiseFSCommand(const std::string& command, const std::string& args);
  void ReportFailure(const std::string& detail);
  void FlushSavedData();

  const std::string m_strFilesDir;
  // The context of the page's signals: none arrives once this object goes.
  std::unique_ptr<QObject> m_pUiContext;
  // The movie's calls come to the UI thread as tasks for this window, and
  // are dropped once it is gone.
  platform::CMsgTarget m_uiTarget;
  std::shared_ptr<CMoviePageHandler> m_pHandler;
  std::unique_ptr<QWebEngineProfile> m_pProfile;
  std::unique_ptr<CMoviePage> m_pPage;
  std::unique_ptr<QWebEngineView> m_pView;
  // One slot per FlashCall being handled (a handler may call into the
  // movie, whose callback calls out again).
  std::vector<std::optional<std::string>> m_returnValues;
  std::chrono::milliseconds m_callFunctionTimeout;
  bool m_bFailureShown = false;
  bool m_bPageLoaded = false;
  int m_nPageLoads = 0;
  bool m_bClosed = false;
};

}  // namespace host
