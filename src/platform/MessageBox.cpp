#include "platform/MessageBox.h"

#include <cstdio>

#include "platform/Paths.h"
#include "platform/WinTypes.h"

namespace platform {

int CStderrPresenter::Show(const std::string& text, const std::string& caption) {
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
  return IDOK;
}

int CRecordingPresenter::Show(const std::string& text, const std::string& caption) {
  std::lock_guard lock(m_lock);
  m_boxes.push_back(Box{text, caption});
  return IDOK;
}

std::vector<CRecordingPresenter::Box> CRecordingPresenter::Boxes() const {
  std::lock_guard lock(m_lock);
  return m_boxes;
}

std::vector<std::string> CRecordingPresenter::Texts() const {
  std::lock_guard lock(m_lock);
  std::vector<std::string> texts;
  for (const auto& box : m_boxes) texts.push_back(box.text);
  return texts;
}

void CRecordingPresenter::Clear() {
  std::lock_guard lock(m_lock);
  m_boxes.clear();
}

namespace {
std::mutex g_presenterLock;
std::shared_ptr<IMessageBoxPresenter>& Presenter() {
  static std::shared_ptr<IMessageBoxPresenter> presenter = std::make_shared<CStderrPresenter>();
  return presenter;
}
}  // namespace

std::shared_ptr<IMessageBoxPresenter> SetMessageBoxPresenter(std::shared_ptr<IMessageBoxPresenter> presenter) {
  std::lock_guard lock(g_presenterLock);
  if (!presenter) presenter = std::make_shared<CStderrPresenter>();
  std::swap(Presenter(), presenter);
  return presenter;
}

int MessageBox(const std::string& text, const std::string& caption) {
  std::shared_ptr<IMessageBoxPresenter> presenter;
  {
    std::lock_guard lock(g_presenterLock);
    presenter = Presenter();
  }
  return presenter->Show(text, caption.empty() ? GetExeBaseName() : caption);
}

}  // namespace platform
