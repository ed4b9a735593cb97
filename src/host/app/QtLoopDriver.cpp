#include "host/app/QtLoopDriver.h"

#include "platform/MessageLoop.h"

namespace host {

CQtLoopDriver::CQtLoopDriver(QObject* parent)
    : QObject(parent), m_notifier(platform::CMessageLoop::Get().WakeFd(), QSocketNotifier::Read) {
  m_timer.setSingleShot(true);
  connect(&m_notifier, &QSocketNotifier::activated, this, [this] { Pump(); });
  connect(&m_timer, &QTimer::timeout, this, [this] { Pump(); });
  Pump();
}

void CQtLoopDriver::Pump() {
  auto& loop = platform::CMessageLoop::Get();
  loop.DispatchPending();
  if (auto wait = loop.MillisecondsToNextTimer())
    m_timer.start(*wait);
  else
    m_timer.stop();
}

}  // namespace host
