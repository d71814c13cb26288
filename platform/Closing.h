// The process-wide exit flag and the waits that end when it is raised.
#pragma once

#include <atomic>

// True once the program has decided to exit. Calls from workers into the main
// thread do nothing once it is set.
bool IsClosing();
// Sets the flag and wakes every PacedWait.
void SetClosing(bool closing = true);

// The pacing factor of the exchange waits (installation setting PACE, default 1).
double PaceFactor();
void SetPaceFactor(double factor);

// Waits ms × PACE milliseconds. Returns false at once when the program is
// closing (or starts closing during the wait), or when cancel becomes true.
bool PacedWait(int ms, const std::atomic<bool>* cancel = nullptr);
// The same wait without pacing.
bool PlainWait(int ms, const std::atomic<bool>* cancel = nullptr);
