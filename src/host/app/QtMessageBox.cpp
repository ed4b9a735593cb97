#include "host/app/QtMessageBox.h"

#include <QApplication>
#include <QMessageBox>
#include <QThread>

#include "platform/WinTypes.h"

namespace host {

int CQtMessageBoxPresenter::Show(const std::string& text, const std::string& caption) {
  auto show = [&] {
    QMessageBox box(QMessageBox::NoIcon, QString::fromStdString(caption), QString::fromStdString(text),
                    QMessageBox::Ok, QApplication::activeWindow());
    box.exec();
  };
  // Widgets live on the UI thread; a worker's box waits there for the click.
  if (QThread::currentThread() == qApp->thread())
    show();
  else
    QMetaObject::invokeMethod(qApp, show, Qt::BlockingQueuedConnection);
  return platform::IDOK;
}

}  // namespace host
