#include "platform/Closing.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {
std::atomic<bool> gClosing{false};
std::atomic<double> gPace{1.0};
std::mutex gWaitMutex;
std::condition_variable gWake;
}  // namespace

bool IsClosing() { return gClosing.load(std::memory_order_acquire); }

void SetClosing(bool closing) {
  {
    std::lock_guard lock(gWaitMutex);
    gClosing.store(closing, std::memory_order_release);
  }
  gWake.notify_all();
}

double PaceFactor() { return gPace.load(); }
void SetPaceFactor(double factor) { gPace.store(factor < 0 ? 0 : factor); }

bool PlainWait(int ms, const std::atomic<bool>* cancel) {
  using namespace std::chrono;
  const auto until = steady_clock::now() + milliseconds(ms < 0 ? 0 : ms);
  std::unique_lock lock(gWaitMutex);
  for (;;) {
    if (IsClosing() || (cancel && cancel->load())) return false;
    const auto now = steady_clock::now();
    if (now >= until) return true;
    // A cancel flag is not tied to the condition variable: look at it now and then.
    const auto slice = cancel ? std::min<steady_clock::duration>(until - now, milliseconds(50)) : until - now;
    gWake.wait_for(lock, slice);
  }
}

bool PacedWait(int ms, const std::atomic<bool>* cancel) {
  return PlainWait(static_cast<int>(ms * PaceFactor()), cancel);
}
