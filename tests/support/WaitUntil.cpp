#include "WaitUntil.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>

bool WaitUntil(const std::function<bool()>& cond, int timeoutMs) {
  QElapsedTimer clock;
  clock.start();
  while (!cond()) {
    if (clock.elapsed() > timeoutMs) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    QThread::msleep(10);
  }
  return true;
}
