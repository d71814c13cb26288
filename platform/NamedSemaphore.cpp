#include "platform/NamedSemaphore.h"

#include <QDir>
#include <QFile>
#include <chrono>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "platform/Closing.h"

NamedSemaphore::NamedSemaphore(const QString& name, int slotCount) : FName(name), FSlots(slotCount < 1 ? 1 : slotCount) {}

NamedSemaphore::~NamedSemaphore() { Release(); }

QString NamedSemaphore::Folder() {
  QString folder = qEnvironmentVariable("KESTRO_RUNTIME_DIR");
  if (folder.isEmpty()) {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    folder = runtime.isEmpty() ? QStringLiteral("/tmp/kestro-%1").arg(::getuid()) : runtime + "/kestro";
  }
  return folder;
}

bool NamedSemaphore::Acquire(int timeoutMs, const std::atomic<bool>* cancel) {
  if (Held()) return true;
  const QString folder = Folder();
  QDir().mkpath(folder);
  QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);

  using namespace std::chrono;
  const auto start = steady_clock::now();
  for (;;) {
    for (int slot = 0; slot < FSlots; ++slot) {
      const QByteArray path = QFile::encodeName(QStringLiteral("%1/%2.%3").arg(folder, FName).arg(slot));
      const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
      if (fd < 0) continue;
      if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
        FFd = fd;
        return true;
      }
      ::close(fd);
    }
    int waitMs = 20;
    if (timeoutMs >= 0) {
      const auto elapsed = duration_cast<milliseconds>(steady_clock::now() - start).count();
      if (elapsed >= timeoutMs) return false;
      waitMs = static_cast<int>(std::min<long long>(waitMs, timeoutMs - elapsed));
    }
    if (!PlainWait(waitMs, cancel)) return false;
  }
}

void NamedSemaphore::Release() {
  if (FFd >= 0) {
    ::close(FFd);
    FFd = -1;
  }
}
