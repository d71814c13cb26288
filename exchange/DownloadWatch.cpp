#include "exchange/DownloadWatch.h"

#include <QElapsedTimer>
#include <algorithm>
#include <memory>

DownloadWatch::DownloadWatch(std::function<qint64()> clockMs) : FClock(std::move(clockMs)) {
  if (!FClock) {
    auto started = std::make_shared<QElapsedTimer>();
    started->start();
    FClock = [started] { return started->elapsed(); };
  }
}

void DownloadWatch::SignOfLife(const QString& jobId) { FJobs[jobId].LastSign = FClock(); }

bool DownloadWatch::TakeVolume(const QString& jobId, const QString& volume) {
  Job& job = FJobs[jobId];
  if (!job.Volumes.insert(volume).second) return false;
  job.LastSign = FClock();
  return true;
}

void DownloadWatch::Waiting(const QString& jobId, bool waiting) {
  Job& job = FJobs.try_emplace(jobId, Job{FClock(), 0, {}}).first->second;
  job.Waiting = waiting ? job.Waiting + 1 : std::max(0, job.Waiting - 1);
  job.LastSign = FClock();
}

QStringList DownloadWatch::Overdue(const QStringList& activeJobs, qint64 timeoutMs) {
  const qint64 now = FClock();
  const std::set<QString> active(activeJobs.begin(), activeJobs.end());
  QStringList overdue;
  for (auto it = FJobs.begin(); it != FJobs.end();) {
    const bool late = it->second.Waiting == 0 && now - it->second.LastSign > timeoutMs;
    if (!active.contains(it->first) || late) {
      if (late && active.contains(it->first)) overdue << it->first;
      it = FJobs.erase(it);
    } else {
      ++it;
    }
  }
  for (const QString& jobId : active)
    if (!FJobs.contains(jobId) && !overdue.contains(jobId)) FJobs[jobId].LastSign = now;
  return overdue;
}
