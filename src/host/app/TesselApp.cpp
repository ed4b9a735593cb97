#include "host/app/TesselApp.h"

#include <QTimer>
#include <cstdlib>

#include "audio/WaveDevice.h"
#include "host/app/TesselDlg.h"
#include "host/movie/RuffleFlash.h"
#include "platform/Paths.h"

namespace host {

CTesselApp theApp;

std::unique_ptr<CShockwaveflash1> MakeMovieControl(QWidget* parent, CHTTPServer& server) {
  auto flash = std::make_unique<CRuffleFlash>(parent);
  const std::shared_ptr<CMoviePageHandler> handler = flash->GetPageHandler();
  server.SetReservedHandler(
      CMoviePageHandler::kPrefix, [handler](const std::string& request) { return handler->HandleRequest(request); },
      CMoviePageHandler::kMaxCallSize,
      // A post without the secret is refused from its header: its body is never read.
      [handler](const std::string& header) { return handler->HasSecret(header); });
  return flash;
}

namespace {

// Where there is no screen to look at (a headless demo), QUILLBY_SCREENSHOT
// names a PNG the window is saved to after QUILLBY_SCREENSHOT_DELAY seconds
// (default 20); the program then closes.
void ArmScreenshot(CTesselDlg& dlg) {
  std::string path = platform::GetEnvOr("QUILLBY_SCREENSHOT", "");
  if (path.empty()) return;
  int delay = std::atoi(platform::GetEnvOr("QUILLBY_SCREENSHOT_DELAY", "20").c_str());
  if (delay <= 0) delay = 20;
  QTimer::singleShot(delay * 1000, &dlg, [&dlg, path] {
    dlg.grab().save(QString::fromStdString(path), "PNG");
    dlg.close();
  });
}

}  // namespace

bool CTesselApp::InitInstance() {
  CTesselDlg dlg(MakeMovieControl, audio::GetSystemWaveDevices());
  ArmScreenshot(dlg);
  dlg.DoModal();
  return false;
}

}  // namespace host
