#pragma once
#include "platform/MessageBox.h"

namespace host {

// Message boxes as modal Qt dialogs with one OK button.
class CQtMessageBoxPresenter : public platform::IMessageBoxPresenter {
 public:
  int Show(const std::string& text, const std::string& caption) override;
};

}  // namespace host
