// Window tests of the dialogs: one QApplication for the process, and answering
// the modal windows the code under test opens.
#pragma once

#include <QAbstractButton>
#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPointer>
#include <QTemporaryDir>
#include <QTimer>
#include <functional>
#include <memory>

#include <gtest/gtest.h>

// Runs answer once, as soon as the active modal window is a T (other than the
// one given as skip) and has been activated, so that its focus is in place. A window that never comes fails the test, and whatever
// modal window is open then is closed so that the test does not hang. (The
// time-out is long: a sanitized build on a loaded machine opens windows slowly.)
template <class T>
void WhenModal(std::function<void(T*)> answer, QWidget* skip = nullptr, int timeoutMs = 120000) {
  auto* poll = new QTimer(qApp);
  auto clock = std::make_shared<QElapsedTimer>();
  clock->start();
  QPointer<QWidget> skipped(skip);
  QObject::connect(poll, &QTimer::timeout, qApp, [poll, clock, answer, skipped, timeoutMs] {
    QWidget* modal = QApplication::activeModalWidget();
    T* wanted = qobject_cast<T*>(modal);
    if (wanted && wanted != skipped.data() && wanted->isVisible() && wanted->isActiveWindow()) {
      poll->stop();
      poll->deleteLater();
      answer(wanted);
      return;
    }
    if (clock->elapsed() > timeoutMs) {
      poll->stop();
      poll->deleteLater();
      ADD_FAILURE() << "no modal " << T::staticMetaObject.className() << " appeared";
      if (modal) modal->close();
    }
  });
  poll->start(5);
}

// Answers the next message box with OK and keeps its text and icon.
struct MessageCapture {
  QString Text;
  QMessageBox::Icon Icon = QMessageBox::NoIcon;
  bool Shown = false;
};
inline std::shared_ptr<MessageCapture> AnswerMessageBox() {
  auto capture = std::make_shared<MessageCapture>();
  WhenModal<QMessageBox>([capture](QMessageBox* box) {
    capture->Text = box->text();
    capture->Icon = box->icon();
    capture->Shown = true;
    box->button(QMessageBox::Ok)->click();
  });
  return capture;
}

// Every dialog closed and deleted that a test left behind.
inline void FlushEvents() {
  for (int i = 0; i < 3; ++i) QApplication::processEvents();
}
