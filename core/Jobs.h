// Job records: the state codes of a job and their names, the tag that
// progress reports carry, and the record of the request this program serves
// for a peer.
#pragma once

#include <QString>
#include <stdexcept>

#include "core/ClassCustom.h"

// Job state codes.
enum JobState : qint32 { jsError = 0, jsActive = 1, jsDone = 2, jsStopped = 3 };

// "Error", "Active", "Done", "Stopped"; empty for any other code.
QString StateName(qint32 state);
// The time of day as the lists show it: "hh:mm:ss".
QString ClockNow();

// A text that should be a decimal integer and is not.
class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// A job tag: an identifier, optionally followed by "." total bytes "." count.
struct JobTag {
  QString Id;
  qint64 First = 0;   // total size in bytes
  qint64 Second = 0;  // number of volumes
};
// Takes a trimmed tag apart: the identifier is the text before the first ".",
// the numbers the texts around the second "." (0 when empty). A tag without
// "." gives an empty identifier and 0, 0. Raises EConvertError
// "'%s' is not a valid integer value" for a number part that is not a
// decimal integer.
JobTag SplitJobTag(const QString& tag);

class TClassThread : public TClassCustom {
  Q_OBJECT
public:
  explicit TClassThread(QObject* owner = nullptr) : TClassCustom(owner) {}

  QString Number() const { return FNumber; }
  QString Subject() const { return FSubject; }
  QString Address() const { return FAddress; }
  QString Action() const { return FAction; }
  QString Text() const { return FText; }
  QString Info() const { return FInfo; }
  double Progress() const { return FProgress; }
  qint32 State() const { return FState; }
  qint64 Split() const { return FSplit; }
  qint64 Size() const { return FSize; }
  void SetNumber(const QString& v) { FNumber = v; }
  void SetSubject(const QString& v) { FSubject = v; }
  void SetAddress(const QString& v) { FAddress = v; }
  void SetAction(const QString& v) { FAction = v; }
  void SetText(const QString& v) { FText = v; }
  void SetInfo(const QString& v) { FInfo = v; }
  void SetProgress(double v) { FProgress = v; }
  void SetState(qint32 v) { FState = v; }
  void SetSplit(qint64 v) { FSplit = v; }
  void SetSize(qint64 v) { FSize = v; }

private:
  QString FNumber, FSubject, FAddress, FAction, FText, FInfo;
  double FProgress = 0;
  qint32 FState = 0;
  qint64 FSplit = 0;
  qint64 FSize = 0;
};

// A progress report as the job rows and the serving record apply it. Its tag
// is a JobId, or JobId "." total bytes "." volume count; a tag with a part
// that is no number raises EConvertError.
struct ProgressReport {
  QString Key;
  qint64 Size = 0;
  qint64 Count = 0;
  static ProgressReport FromTag(const QString& tag);
  // A progress at 100 or more stays 100; otherwise the report adds to it or replaces it.
  static double Next(double current, bool additive, double progress) {
    return current >= 100 ? 100 : (additive ? current + progress : progress);
  }
};

// Holds zero or one record: the request taken up last.
class TClassThreadList : public TClassCustomList<TClassThread> {
public:
  using TClassCustomList::TClassCustomList;

  // Frees the previous record and opens an Active one at 50 %.
  TClassThread* OpenServingJob(const QString& number, const QString& subject, const QString& address,
                               const QString& action, const QString& text);
  // Applies one progress report. Tag is a JobId, or JobId "." size "." count.
  // A tag with a part that is no number raises EConvertError before anything changes.
  void UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive, double progress);
};
