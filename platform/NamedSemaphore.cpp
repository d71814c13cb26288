#include "platform/NamedSemaphore.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Closing.h"
#include "platform/ErrorLog.h"

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

std::expected<QString, QString> NamedSemaphore::PrepareFolder(const QString& folder) {
  const auto refuse = [&](const QString& why) {
    return std::unexpected(QStringLiteral("The folder of the cross-process slots %1 %2; Kestro does not use it. "
                                          "Remove it, or set XDG_RUNTIME_DIR to a folder of your own.")
                               .arg(folder, why));
  };
  if (folder.isEmpty()) return std::unexpected(QStringLiteral("No folder for the cross-process slots."));
  const QString parent = QFileInfo(folder).path();
  if (!parent.isEmpty()) QDir().mkpath(parent);
  const QByteArray path = QFile::encodeName(folder);
  if (::mkdir(path.constData(), 0700) != 0 && errno != EEXIST)
    return refuse(QStringLiteral("cannot be created (%1)").arg(QString::fromLocal8Bit(std::strerror(errno))));
  // Looked at through a handle on the folder itself, so that what is checked
  // is what is used; a symbolic link does not open.
  const int fd = ::open(path.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return refuse(QStringLiteral("is no folder, or a symbolic link"));
  struct stat st {};
  QString why;
  if (::fstat(fd, &st) != 0) why = QStringLiteral("cannot be examined");
  else if (st.st_uid != ::getuid()) why = QStringLiteral("belongs to another user (uid %1)").arg(st.st_uid);
  else if ((st.st_mode & 077) != 0 && ::fchmod(fd, 0700) != 0) why = QStringLiteral("cannot be closed to other users");
  ::close(fd);
  if (!why.isEmpty()) return refuse(why);
  return folder;
}

bool NamedSemaphore::Acquire(int timeoutMs, const std::atomic<bool>* cancel) {
  if (Held()) return true;
  const std::expected<QString, QString> prepared = PrepareFolder(Folder());
  FRefusal = prepared ? QString() : prepared.error();
  if (!prepared) {
    // Every later wait is refused the same way; the log says it once.
    static std::mutex lock;
    static QSet<QString> told;
    const std::lock_guard<std::mutex> guard(lock);
    if (!told.contains(prepared.error())) {
      told.insert(prepared.error());
      qCWarning(lcKestro).noquote() << prepared.error();
    }
    return false;
  }
  const QString folder = *prepared;

  using namespace std::chrono;
  const auto start = steady_clock::now();
  for (;;) {
    for (int slot = 0; slot < FSlots; ++slot) {
      const QByteArray path = QFile::encodeName(QStringLiteral("%1/%2.%3").arg(folder, FName).arg(slot));
      const int fd = ::open(path.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
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
