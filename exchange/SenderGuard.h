// What the serving threads of one Kestro share about the senders of
// requests: whose download is being served, so that a sender has at most one
// at a time and the others wait their turn, and whose requests were refused
// so often that their mails are ignored for an hour. Senders compare as
// friends' addresses do (trimmed, lower case). Every operation is
// thread-safe.
#pragma once

#include <QString>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>

class SenderGuard {
public:
  // Refusals within an hour that are still answered; one more, and the
  // sender is ignored for the hour that follows.
  static constexpr int kRefusalLimit = 20;
  static constexpr qint64 kHourMs = 3600 * 1000;

  // now: a clock in milliseconds (a monotonic one when empty).
  explicit SenderGuard(std::function<qint64()> now = {});
  SenderGuard(const SenderGuard&) = delete;
  SenderGuard& operator=(const SenderGuard&) = delete;

  // The right to serve one download of a sender, given back when the Turn
  // is destroyed (or replaced). An empty Turn holds nothing.
  class Turn {
  public:
    Turn() = default;
    Turn(Turn&& other) noexcept;
    Turn& operator=(Turn&& other) noexcept;
    ~Turn();
    explicit operator bool() const { return FGuard != nullptr; }

  private:
    friend class SenderGuard;
    Turn(SenderGuard* guard, QString key) : FGuard(guard), FKey(std::move(key)) {}
    SenderGuard* FGuard = nullptr;
    QString FKey;
  };

  // The sender's turn when no other download of theirs is being served;
  // otherwise an empty Turn.
  Turn TryTurn(const QString& sender);
  // Waits for the sender's turn. An empty Turn when cancel is raised or the
  // program starts closing first.
  Turn WaitTurn(const QString& sender, const std::atomic<bool>* cancel);

  // Counts a refused request of the sender. True when this refusal is the
  // one too many: from now on the sender is ignored for an hour.
  bool Refused(const QString& sender);
  // Whether the sender's mails are ignored now.
  bool Ignored(const QString& sender);

private:
  struct Refusals {
    std::deque<qint64> Times;  // within the last hour
    qint64 IgnoredUntil = 0;   // 0: not ignored
  };
  void Give(const QString& key);
  // Forgets the senders that have nothing within the last hour (call locked).
  void Prune(qint64 now);

  std::function<qint64()> FNow;
  std::mutex FLock;
  std::condition_variable FTurnGiven;
  std::set<QString> FServing;
  std::map<QString, Refusals> FRefusals;
};
