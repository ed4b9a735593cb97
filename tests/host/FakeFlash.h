#pragma once
// A movie control that records what the window asks of it and raises the
// movie's events as the real control does: synchronously, on this thread.
#include <optional>
#include <string>
#include <vector>

#include "host/FlashControl.h"

class CFakeFlash : public host::CShockwaveflash1 {
 public:
  std::vector<std::string> loaded;  // LoadMovie addresses (layer 0 only)
  int layerErrors = 0;
  int plays = 0;
  std::vector<std::string> functionCalls;
  int x = -1, y = -1, width = -1, height = -1;

  void LoadMovie(int layer, const std::string& url) override {
    if (layer != 0) ++layerErrors;
    loaded.push_back(url);
  }
  void Play() override { ++plays; }
  std::string CallFunction(const std::string& request) override {
    functionCalls.push_back(request);
    return "<undefined/>";
  }
  void SetReturnValue(const std::string& value) override {
    if (m_inCall) m_returned = value;
  }
  void MoveWindow(int nx, int ny, int w, int h) override {
    x = nx, y = ny, width = w, height = h;
  }

  // The movie calls the host; the result is what the handler gave back.
  std::optional<std::string> Call(const std::string& request) {
    m_returned.reset();
    m_inCall = true;
    m_pEvents->OnFlashCall(request);
    m_inCall = false;
    return m_returned;
  }

 private:
  bool m_inCall = false;
  std::optional<std::string> m_returned;
};
