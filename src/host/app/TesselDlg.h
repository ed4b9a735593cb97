#pragma once
// The program's one window: owns the audio engine, the movie control, the
// resource server and the cache path; runs the start-up sequence on its
// first timer tick and answers the movie's calls.
#include <QDialog>
#include <QLabel>
#include <QProgressBar>
#include <functional>
#include <memory>
#include <string>

#include "audio/AudioPlayRec.h"
#include "host/FlashControl.h"
#include "net/Upload.h"
#include "platform/MessageLoop.h"
#include "server/HTTPServer.h"

namespace host {

// 1 after the window was last put into windowed mode, 0 otherwise.
extern int g_windowedMode;
// The running executable's directory, set by the start-up sequence.
extern std::string g_exeDir;
// The parameters of the last RecUpload.
extern UploadParam g_uploadParam;

class CTesselDlg : public QDialog, public platform::CMsgTarget, public IFlashEvents {
 public:
  using FlashFactory = std::function<std::unique_ptr<CShockwaveflash1>(QWidget* parent, CHTTPServer& server)>;

  static constexpr platform::UINT_PTR kStartupTimerId = 100005;
  static constexpr platform::UINT kStartupTimerPeriod = 100;
  static constexpr platform::UINT WM_UPLOAD_DONE = platform::WM_USER + 100;
  static constexpr int kWindowWidth = 976;
  static constexpr int kWindowHeight = 632;
  static constexpr int kMovieWidth = 970;
  static constexpr int kMovieHeight = 607;

  explicit CTesselDlg(FlashFactory makeFlash, QWidget* parent = nullptr);
  ~CTesselDlg() override;

  bool OnInitDialog();
  void SetWindowMode(bool fullScreen);
  void RunStartup();
  bool DeleteTree(const std::string& dir);

  // Command bridge.
  void OnFlashCall(const std::string& request) override;
  void OnFSCommand(const std::string& command, const std::string& args) override;
  long OnUploadDone(platform::WPARAM wParam, platform::LPARAM lParam);
  void NotifyMovie(const std::string& name, const std::string& argument);
  bool OpenRecordingFiles(const std::string& ext);

  void ShowAbout();

  // Read by tests and the movie host.
  CShockwaveflash1& Flash() { return *m_flash; }
  CHTTPServer& Server() { return m_server; }
  CAudioPlayRec& Audio() { return m_audio; }
  const std::string& CacheDir() const { return m_cacheDir; }
  bool LoadingTextVisible() const { return !m_loadingText->isHidden(); }
  QRect MovieGeometry() const { return m_movieRect; }

 protected:
  // platform::CMsgTarget
  void OnTimer(platform::UINT_PTR nIDEvent) override;
  void OnMessage(platform::UINT message, platform::WPARAM wParam, platform::LPARAM lParam) override;
  // Qt
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ReconcileWithVersionFile(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions);
  void ReconcileFirstRun(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions);
  void StartUpload(const VeldXml::CXmlDocument& request);

  int m_nChannelMode = 0;
  CAudioPlayRec m_audio;
  std::unique_ptr<CShockwaveflash1> m_flash;
  CHTTPServer m_server;
  std::string m_cacheDir;
  QProgressBar* m_progress;
  QLabel* m_loadingText;
  QRect m_movieRect;
};

}  // namespace host
