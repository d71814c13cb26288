#include "exchange/SenderGuard.h"

#include <chrono>

#include "core/Users.h"
#include "platform/Closing.h"

namespace {
// Beyond this many senders on record, those without a refusal in the last
// hour are forgotten, so that a flood of made-up senders cannot grow the
// record without bound.
constexpr size_t kPruneAbove = 1000;
constexpr auto kWaitStep = std::chrono::milliseconds(50);

qint64 MonotonicMs() {
  using namespace std::chrono;
  return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}
}  // namespace

SenderGuard::SenderGuard(std::function<qint64()> now) : FNow(now ? std::move(now) : MonotonicMs) {}

SenderGuard::Turn::Turn(Turn&& other) noexcept : FGuard(other.FGuard), FKey(std::move(other.FKey)) {
  other.FGuard = nullptr;
}

SenderGuard::Turn& SenderGuard::Turn::operator=(Turn&& other) noexcept {
  if (this != &other) {
    if (FGuard) FGuard->Give(FKey);
    FGuard = other.FGuard;
    FKey = std::move(other.FKey);
    other.FGuard = nullptr;
  }
  return *this;
}

SenderGuard::Turn::~Turn() {
  if (FGuard) FGuard->Give(FKey);
}

SenderGuard::Turn SenderGuard::TryTurn(const QString& sender) {
  const QString key = NormalizeAddress(sender);
  std::lock_guard<std::mutex> guard(FLock);
  if (!FServing.insert(key).second) return {};
  return Turn(this, key);
}

SenderGuard::Turn SenderGuard::WaitTurn(const QString& sender, const std::atomic<bool>* cancel) {
  const QString key = NormalizeAddress(sender);
  std::unique_lock<std::mutex> lock(FLock);
  for (;;) {
    if (IsClosing() || (cancel && cancel->load())) return {};
    if (FServing.insert(key).second) return Turn(this, key);
    // Woken by every turn given back; the step notices the exit and a cancel.
    FTurnGiven.wait_for(lock, kWaitStep);
  }
}

void SenderGuard::Give(const QString& key) {
  {
    std::lock_guard<std::mutex> guard(FLock);
    FServing.erase(key);
  }
  FTurnGiven.notify_all();
}

bool SenderGuard::Refused(const QString& sender) {
  const QString key = NormalizeAddress(sender);
  std::lock_guard<std::mutex> guard(FLock);
  const qint64 now = FNow();
  if (FRefusals.size() > kPruneAbove) Prune(now);
  Refusals& r = FRefusals[key];
  if (r.IgnoredUntil != 0 && now >= r.IgnoredUntil) r = Refusals();  // the hour is over
  if (r.IgnoredUntil != 0) return false;  // ignored already
  r.Times.push_back(now);
  while (!r.Times.empty() && r.Times.front() <= now - kHourMs) r.Times.pop_front();
  if (int(r.Times.size()) <= kRefusalLimit) return false;
  r.Times.clear();
  r.IgnoredUntil = now + kHourMs;
  return true;
}

bool SenderGuard::Ignored(const QString& sender) {
  const QString key = NormalizeAddress(sender);
  std::lock_guard<std::mutex> guard(FLock);
  const auto it = FRefusals.find(key);
  if (it == FRefusals.end() || it->second.IgnoredUntil == 0) return false;
  if (FNow() < it->second.IgnoredUntil) return true;
  FRefusals.erase(it);  // the hour is over: a clean slate
  return false;
}

void SenderGuard::Prune(qint64 now) {
  for (auto it = FRefusals.begin(); it != FRefusals.end();) {
    const Refusals& r = it->second;
    const bool current = r.IgnoredUntil != 0 ? now < r.IgnoredUntil : !r.Times.empty() && r.Times.back() > now - kHourMs;
    it = current ? std::next(it) : FRefusals.erase(it);
  }
}
