#include "platform/InstanceLock.h"

#include <QDir>
#include <QFile>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace {
QString LockPath(const QString& confFolder) { return QDir(confFolder).filePath(".kestro.lock"); }
}  // namespace

InstanceLock::~InstanceLock() { Release(); }

bool InstanceLock::TryAcquire(const QString& confFolder) {
  if (Held()) return true;
  QDir().mkpath(confFolder);
  const QByteArray path = QFile::encodeName(LockPath(confFolder));
  const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  if (fd < 0) return false;
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
    ::close(fd);
    return false;
  }
  FFd = fd;
  return true;
}

void InstanceLock::Release() {
  if (FFd >= 0) {
    ::close(FFd);  // closing drops the lock
    FFd = -1;
  }
}

bool InstanceLock::InUse(const QString& confFolder) {
  const QByteArray path = QFile::encodeName(LockPath(confFolder));
  const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  const bool busy = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
  ::close(fd);
  return busy;
}
