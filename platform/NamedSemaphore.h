// Counting semaphores shared by every process of the user, by name. Each slot is
// a file held with flock, so the kernel frees a slot when its holder dies.
#pragma once

#include <QString>
#include <atomic>
#include <expected>

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
  // when the program starts closing, or when cancel becomes true, and at
  // once when the folder is refused (logged once per folder).
  bool Acquire(int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  void Release();
  bool Held() const { return FFd >= 0; }
  // Why the last Acquire failed at once: the folder's refusal; empty otherwise.
  QString Refusal() const { return FRefusal; }

  // The folder of the slot files: $KESTRO_RUNTIME_DIR, $XDG_RUNTIME_DIR/kestro or /tmp/kestro-UID.
  static QString Folder();
  // Makes folder ready for slot files: created with mode 0700 when missing
  // (and its parents), refused unless it is a real folder (no symbolic link)
  // that belongs to this user; a folder of ours that others may enter is
  // closed to them. The folder, or the reason for refusing it.
  static std::expected<QString, QString> PrepareFolder(const QString& folder);

private:
  QString FName;
  int FSlots;
  int FFd = -1;
  QString FRefusal;
};
