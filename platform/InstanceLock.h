// One running Kestro per configuration folder: a lock held for the life of the process.
#pragma once

#include <QString>

class InstanceLock {
public:
  InstanceLock() = default;
  ~InstanceLock();
  InstanceLock(const InstanceLock&) = delete;
  InstanceLock& operator=(const InstanceLock&) = delete;

  // Takes the lock of the configuration folder (created when missing).
  // False when another process holds it.
  bool TryAcquire(const QString& confFolder);
  void Release();
  bool Held() const { return FFd >= 0; }

  // Whether some process holds the lock of the folder right now.
  static bool InUse(const QString& confFolder);

private:
  int FFd = -1;
};
