#pragma once
// Pumps the platform message loop from Qt's event loop: posted messages wake
// a socket notifier, timers a single-shot QTimer set to the next deadline.
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>

namespace host {

class CQtLoopDriver : public QObject {
 public:
  explicit CQtLoopDriver(QObject* parent = nullptr);
  // Dispatches what is ready now and re-arms for the next deadline.
  void Pump();

 private:
  QSocketNotifier m_notifier;
  QTimer m_timer;
};

}  // namespace host
