// The program takes no command line; Qt reads its own options only.
#include <QApplication>
#include <chrono>

#include "host/app/QtLoopDriver.h"
#include "host/app/QtMessageBox.h"
#include "host/app/TesselApp.h"
#include "host/movie/RuffleFlash.h"
#include "net/Upload.h"
#include "platform/Paths.h"
#include "support/Libraries.h"

int main(int argc, char** argv) {
  support::InitLibraries();
  // Relative settings are taken against the directory the program started in.
  platform::GetStartDir();
  host::CRuffleFlash::PrepareEnvironment();
  QApplication app(argc, argv);
  // With no screen nobody can press OK: boxes become lines on stderr.
  if (QGuiApplication::platformName() != "offscreen")
    platform::SetMessageBoxPresenter(std::make_shared<host::CQtMessageBoxPresenter>());
  host::CQtLoopDriver driver;
  host::theApp.InitInstance();
  // Upload threads post to the message loop; let them finish first.
  WaitForUploads(std::chrono::seconds(5));
  platform::SetMessageBoxPresenter(nullptr);
  return 0;
}
