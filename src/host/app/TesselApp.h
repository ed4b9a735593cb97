#pragma once
#include <memory>

class CHTTPServer;
class QWidget;

namespace host {

class CShockwaveflash1;

// The real movie control; its page and call endpoint live on the resource
// server under a reserved prefix.
std::unique_ptr<CShockwaveflash1> MakeMovieControl(QWidget* parent, CHTTPServer& server);

// Runs the main window modally; the process ends when it returns.
class CTesselApp {
 public:
  bool InitInstance();
};

extern CTesselApp theApp;

}  // namespace host
