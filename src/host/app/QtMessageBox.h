#pragma once
#include "platform/MessageBox.h"
#include "platform/MessageLoop.h"

namespace host {

// Message boxes as modal Qt dialogs with one OK button.
class CQtMessageBoxPresenter : public platform::IMessageBoxPresenter {
 public:
  // On the UI thread.
  CQtMessageBoxPresenter();
  int Show(const std::string& text, const std::string& caption) override;

 private:
  // A worker's box goes to the UI thread as a task for this window.
  platform::CMsgTarget m_uiTarget;
};

}  // namespace host
