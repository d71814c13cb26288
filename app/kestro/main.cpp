// Kestro, the program.
#include <QApplication>
#include <QCoreApplication>
#include <QDialog>
#include <QMessageBox>
#include <chrono>
#include <cstdio>
#include <memory>
#include <unistd.h>

#include "config/ClassData.h"
#include "exchange/Engine.h"
#include "platform/Closing.h"
#include "platform/InstanceChannel.h"
#include "platform/InstanceLock.h"
#include "platform/Signals.h"
#include "platform/Settings.h"
#include "transport/MailProbe.h"
#include "ui/FormKestro.h"

namespace {
// How long the exit waits for the threads to end.
constexpr std::chrono::seconds kExitLimit{5};
// How long a second start waits for the running program to answer (it may
// still be starting).
constexpr int kAskLimitMs = 20000;
}  // namespace

int main(int argc, char** argv) {
  // One Kestro per configuration: a second start brings the running one's
  // window to the front and ends.
  const InstallSettings& settings = InstallSettings::Current();
  const QString conf = settings.Conf.isEmpty() ? QStringLiteral("/") : settings.Conf;
  InstanceLock instance;
  if (!instance.TryAcquire(conf)) {
    QCoreApplication core(argc, argv);
    if (!InstanceChannel::AskToShow(conf, kAskLimitMs))
      std::fprintf(stderr, "Kestro runs already on %s, but its window did not answer.\n", qPrintable(conf));
    return 0;
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Kestro"));
  QApplication::setQuitOnLastWindowClosed(false);

  std::unique_ptr<TFormKestro> form;
  try {
    form = std::make_unique<TFormKestro>(std::make_unique<Engine>());
  } catch (const std::exception& e) {
    // Without its configuration the program does not run on.
    QMessageBox::critical(nullptr, QStringLiteral("Kestro"),
                          QString::fromUtf8(e.what()) +
                              QStringLiteral("\n\nKestro has not changed the file. Restore it from a copy, or move it "
                                             "away to start with a new configuration."));
    return 1;
  }
  // A session that ends, or kill, exits like "Exit": offline, saved.
  WatchExitSignals([] {
    SetClosing(true);
    // Open dialogs are cancelled, so their loops end too.
    for (QWidget* w : QApplication::topLevelWidgets())
      if (auto* dialog = qobject_cast<QDialog*>(w); dialog && dialog->isVisible()) dialog->reject();
    QApplication::exit(0);
  });
  InstanceChannel channel;
  QObject::connect(&channel, &InstanceChannel::ShowRequested, form.get(), &TFormKestro::BringToFront);
  if (!channel.Listen(conf))
    std::fprintf(stderr, "Kestro cannot listen on %s: a second start will not find this window.\n",
                 qPrintable(InstanceChannel::SocketPath(conf)));
  for (const QString& failure : ProbeMailComponent(QApplication::applicationDirPath()))
    QMessageBox::critical(form.get(), QStringLiteral("Error"), failure);
  form->StartupDecisions();
  form->ShowAtStart();
  // An exit asked for during the start-up decisions (a signal while a dialog was open) ends here.
  const int code = IsClosing() ? 0 : QApplication::exec();
  // Offline, every thread told to stop and given a few seconds, then saved.
  if (!form->TheEngine().Shutdown(kExitLimit)) {
    // A thread still inside a mail session holds nothing that needs saving:
    // the process ends without freeing what it may still use.
    std::fflush(nullptr);
    ::_exit(code);
  }
  form.reset();
  return code;
}
