// Counting semaphores shared by every process of the user, by name. Each slot is
// a file held with flock, so the kernel frees a slot when its holder dies.
#pragma once

#include <QString>
#include <atomic>

inline const char* const kPop3Semaphore = "kesAcceleratorPOP3Semaphore";
inline const char* const kImap4Semaphore = "kesAcceleratorIMAP4Semaphore";
inline const char* const kClientSemaphore = "kesClientSemaphore";
inline const char* const kServerSemaphore = "kesServerSemaphore";

class NamedSemaphore {
public:
  NamedSemaphore(const QString& name, int slotCount);
  ~NamedSemaphore();  // releases a held slot
  NamedSemaphore(const NamedSemaphore&) = delete;
  NamedSemaphore& operator=(const NamedSemaphore&) = delete;

  // Takes a slot. timeoutMs < 0 waits without limit. Returns false on time-out,
  // when the program starts closing, or when cancel becomes true.
  bool Acquire(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  void Release();
  bool Held() const { return FFd >= 0; }

  // The folder of the slot files: $KESTRO_RUNTIME_DIR, $XDG_RUNTIME_DIR/kestro or /tmp/kestro-UID.
  static QString Folder();

private:
  QString FName;
  int FSlots;
  int FFd = -1;
};
