#pragma once
// The one place the window talks to the movie: the Flash control's four
// methods and its two events. The real control is the movie host (Ruffle in
// a web view); tests use a double that records calls and raises events.
#include <string>

namespace host {

// Receives the control's events on the UI thread, synchronously.
class IFlashEvents {
 public:
  virtual ~IFlashEvents() = default;
  // The movie called a host function; request is the "invoke" document.
  // A value given to SetReturnValue before this returns is the call's result.
  virtual void OnFlashCall(const std::string& request) = 0;
  virtual void OnFSCommand(const std::string& command, const std::string& args) = 0;
};

class CShockwaveflash1 {
 public:
  virtual ~CShockwaveflash1() = default;

  virtual void LoadMovie(int layer, const std::string& url) = 0;
  virtual void Play() = 0;
  // Calls a function the movie registered; returns its result document.
  virtual std::string CallFunction(const std::string& request) = 0;
  // The same call for a notification whose result nobody reads: it returns
  // without waiting for the movie.
  virtual void NotifyFunction(const std::string& request) { CallFunction(request); }
  // Only meaningful while an OnFlashCall is being handled.
  virtual void SetReturnValue(const std::string& value) = 0;
  // Placement inside the dialog's client area, in pixels.
  virtual void MoveWindow(int x, int y, int width, int height) = 0;
  // The window is closing: stop waiting on the movie before the server
  // stops, so a call in flight cannot hold the shutdown.
  virtual void Close() {}

  void SetEventSink(IFlashEvents* sink) { m_pEvents = sink; }

 protected:
  IFlashEvents* m_pEvents = nullptr;
};

}  // namespace host
