#include "host/app/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <future>
#include <memory>

#include "platform/WinTypes.h"

namespace host {

CQtMessageBoxPresenter::CQtMessageBoxPresenter() { m_uiTarget.CreateTarget(); }

int CQtMessageBoxPresenter::Show(const std::string& text, const std::string& caption) {
  auto show = [&] {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text), QMessageBox::Ok,
                    QApplication::activeWindow());
    box.exec();
  };
  if (platform::CMessageLoop::Get().IsUiThread()) {
    show();
    return platform::IDOK;
  }
  // Widgets live on the UI thread; a worker's box waits there for the click.
  // A task dropped unrun (the window gone) breaks the promise: the wait ends.
  auto shown = std::make_shared<std::promise<void>>();
  std::future<void> done = shown->get_future();
  if (platform::PostTask(m_uiTarget.GetSafeHwnd(), [show, shown] {
        show();
        shown->set_value();
      }))
    done.wait();
  return platform::IDOK;
}

}  // namespace host
