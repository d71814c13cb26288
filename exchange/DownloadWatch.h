// What the exchange knows of its own downloads while their volumes are due:
// when each last showed a sign of life (the request sent, a volume received),
// which volumes came in, and whether the thread of its last volume is waiting
// for the others. A
// download quiet for longer than the time-out has lost a volume, also when
// that volume is the last one and no thread waits at all.
//
// Used on the main thread only.
#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <set>

class DownloadWatch {
public:
  // clockMs: a steady clock in milliseconds (preset: the process's).
  explicit DownloadWatch(std::function<qint64()> clockMs = {});

  // The download showed a sign of life now.
  void SignOfLife(const QString& jobId);
  // A volume came in: a sign of life, and true, the first time; false for a
  // volume taken before (a second copy, after a reconnect), which counts for
  // nothing.
  bool TakeVolume(const QString& jobId, const QString& volume);
  // The thread of the download's last volume begins (true) or ends (false)
  // its wait for the others; while it waits, it keeps the time itself.
  void Waiting(const QString& jobId, bool waiting);

  // Of the downloads still running (activeJobs), those quiet for longer than
  // timeoutMs with no thread waiting for them; they are forgotten. A download
  // seen here for the first time starts its clock now; one no longer among
  // activeJobs is forgotten.
  QStringList Overdue(const QStringList& activeJobs, qint64 timeoutMs);

private:
  struct Job {
    qint64 LastSign = 0;
    int Waiting = 0;
    std::set<QString> Volumes;
  };
  std::function<qint64()> FClock;
  std::map<QString, Job> FJobs;
};
