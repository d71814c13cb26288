#include "platform/Signals.h"

#include <QCoreApplication>
#include <QSocketNotifier>
#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace {
int gPipe[2] = {-1, -1};

void OnSignal(int) {
  const char byte = 1;
  (void)!::write(gPipe[1], &byte, 1);  // async-signal-safe
}
}  // namespace

void WatchExitSignals(std::function<void()> onExit) {
  if (gPipe[0] < 0) {
    if (::pipe2(gPipe, O_CLOEXEC | O_NONBLOCK) != 0) return;
  }
  // Freed with the application object, at the end of the program.
  auto* notifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, QCoreApplication::instance());
  QObject::connect(notifier, &QSocketNotifier::activated, notifier, [onExit = std::move(onExit)] {
    char buffer[16];
    while (::read(gPipe[0], buffer, sizeof buffer) > 0) {
    }
    onExit();
  });
  struct sigaction action {};
  action.sa_handler = OnSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  for (int signal : {SIGTERM, SIGINT, SIGHUP}) ::sigaction(signal, &action, nullptr);
}
