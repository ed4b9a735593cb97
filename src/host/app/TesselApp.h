#pragma once

namespace host {

// Runs the main window modally; the process ends when it returns.
class CTesselApp {
 public:
  bool InitInstance();
};

extern CTesselApp theApp;

}  // namespace host
