#pragma once
// Modal message boxes go through one presenter: the GUI installs a real
// dialog, headless runs print a line on stderr, tests install a recorder.
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace platform {

class IMessageBoxPresenter {
 public:
  virtual ~IMessageBoxPresenter() = default;
  // Shows text with caption and an OK button; returns when it is dismissed.
  virtual int Show(const std::string& text, const std::string& caption) = 0;
};

// One line "caption: text" on stderr.
class CStderrPresenter : public IMessageBoxPresenter {
 public:
  int Show(const std::string& text, const std::string& caption) override;
};

// Remembers every box; thread-safe so tests can read it from any thread.
class CRecordingPresenter : public IMessageBoxPresenter {
 public:
  struct Box {
    std::string text;
    std::string caption;
  };
  int Show(const std::string& text, const std::string& caption) override;
  std::vector<Box> Boxes() const;
  std::vector<std::string> Texts() const;
  void Clear();

 private:
  // Guards m_boxes.
  mutable std::mutex m_lock;
  std::vector<Box> m_boxes;
};

// Installs the presenter; returns the previous one. Null restores stderr.
std::shared_ptr<IMessageBoxPresenter> SetMessageBoxPresenter(std::shared_ptr<IMessageBoxPresenter> presenter);

// A message box with an OK button; an empty caption is the default one,
// the executable's base name.
int MessageBox(const std::string& text, const std::string& caption = {});

}  // namespace platform
