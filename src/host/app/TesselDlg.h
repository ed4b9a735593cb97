#pragma once
// The program's one window: owns the audio engine, the movie control, the
// resource server and the cache path; runs the start-up sequence on its
// first timer tick and answers the movie's calls.
#include <QDialog>
#include <QIcon>
#include <QLabel>
#include <QProgressBar>
#include <functional>
#include <memory>
#include <string>

#include "audio/AudioPlayRec.h"
#include "host/FlashControl.h"
#include "net/Outbox.h"
#include "net/Upload.h"
#include "platform/MessageLoop.h"
#include "server/HTTPServer.h"
#include "support/Xml.h"

namespace host {

// 1 after the window was last put into windowed mode, 0 otherwise.
extern int g_windowedMode;
// The running executable's directory, set by the start-up sequence.
extern std::string g_exeDir;
// The parameters of the last RecUpload.
extern UploadParam g_uploadParam;

// Fetches the encoder library next to the executable; started when it is missing.
unsigned LameDownloadThreadProc(std::string strBaseUrl);

class CTesselDlg : public QDialog, public platform::CMsgTarget, public IFlashEvents {
 public:
  // Builds the movie control inside the window; it may register its own
  // paths on the server before the server starts.
  using FlashFactory = std::function<std::unique_ptr<CShockwaveflash1>(QWidget* parent, CHTTPServer& server)>;

  static constexpr platform::UINT_PTR kStartupTimerId = 100005;
  static constexpr platform::UINT kStartupTimerPeriod = 100;
  static constexpr int kWindowWidth = 976;
  static constexpr int kWindowHeight = 632;
  static constexpr int kMovieWidth = 970;
  static constexpr int kMovieHeight = 607;

  CTesselDlg(const FlashFactory& makeFlash, audio::IWaveDevices& devices, QWidget* parent = nullptr);
  ~CTesselDlg() override;

  // Initialises and runs the window modally, as the framework's DoModal.
  int DoModal();
  bool OnInitDialog();
  void SetWindowMode(bool fullScreen);
  void RunStartup();
  bool DeleteTree(const std::string& dir);

  // The command bridge.
  void OnFlashCall(const std::string& request) override;
  void OnFSCommand(const std::string& command, const std::string& args) override;
  long OnUploadDone(platform::WPARAM wParam, platform::LPARAM lParam);
  void NotifyMovie(const std::string& name, const std::string& argument);
  bool OpenRecordingFiles(const std::string& ext);

  void ShowAbout();

  CHTTPServer& Server() { return m_server; }
  audio::CAudioPlayRec& Audio() { return m_audio; }
  bool LoadingTextVisible() const { return !m_loadingText->isHidden(); }

 protected:
  void OnTimer(platform::UINT_PTR nIDEvent) override;
  void OnMessage(platform::UINT message, platform::WPARAM wParam, platform::LPARAM lParam) override;
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ReconcileWithVersionFile(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions);
  void ReconcileFirstRun(VeldXml::CXmlDocument& manifest, VeldXml::CXmlDocument& versions);
  void RecUpload(const VeldXml::CXmlDocument& request);
  void RecStart();
  void MoveMovie(const QRect& rect);

  int m_nChannelMode = 0;
  QIcon m_hIcon;
  audio::CAudioPlayRec m_audio;
  std::unique_ptr<CShockwaveflash1> m_flash;
  CHTTPServer m_server;
  std::string m_cacheDir;
  // Uploads not yet taken by the service; made and started by the start-up
  // sequence, stopped when the window ends. Upload threads share it.
  std::shared_ptr<COutbox> m_outbox;
  // Child widgets; the window owns and deletes them.
  QProgressBar* m_progress;
  QLabel* m_loadingText;
};

}  // namespace host
