#include "core/Jobs.h"

#include <QRegularExpression>
#include <QTime>

#include "core/TextUtils.h"

namespace {

qint64 ParseNumber(const QString& part) {
  static const QRegularExpression decimal(QStringLiteral("^-?[0-9]+$"));
  bool ok = decimal.match(part).hasMatch();
  const qint64 value = ok ? part.toLongLong(&ok, 10) : 0;
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(part).toStdString());
  return value;
}

}  // namespace

QString ClockNow() { return QTime::currentTime().toString(QStringLiteral("hh:mm:ss")); }

QString StateName(qint32 state) {
  switch (state) {
    case jsError: return QStringLiteral("Error");
    case jsActive: return QStringLiteral("Active");
    case jsDone: return QStringLiteral("Done");
    case jsStopped: return QStringLiteral("Stopped");
    default: return {};
  }
}

JobTag SplitJobTag(const QString& tag) {
  JobTag result;
  const QString trimmed = TrimText(tag);
  const int dot = trimmed.indexOf('.');
  if (dot < 0) return result;
  result.Id = trimmed.left(dot);
  const QString rest = trimmed.mid(dot + 1);
  const int second = rest.indexOf('.');
  if (second < 0) return result;
  const QString first = rest.left(second), last = rest.mid(second + 1);
  if (!first.isEmpty()) result.First = ParseNumber(first);
  if (!last.isEmpty()) result.Second = ParseNumber(last);
  return result;
}

TClassThread* TClassThreadList::OpenServingJob(const QString& number, const QString& subject, const QString& address,
                                               const QString& action, const QString& text) {
  Clear();
  TClassThread* r = Add();
  r->SetNumber(number);
  r->SetSubject(subject);
  r->SetAddress(address);
  r->SetAction(action);
  r->SetText(text);
  r->SetInfo(QString());
  r->SetProgress(50);
  r->SetState(jsActive);
  r->SetSplit(0);
  r->SetSize(0);
  return r;
}

ProgressReport ProgressReport::FromTag(const QString& tag) {
  ProgressReport report{tag};
  if (tag.contains('.')) {
    const JobTag parts = SplitJobTag(tag);
    report = {parts.Id, parts.First, parts.Second};
  }
  return report;
}

void TClassThreadList::UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                                        double progress) {
  const ProgressReport report = ProgressReport::FromTag(tag);
  for (int i = 0; i < Count(); ++i) {
    TClassThread* r = Items(i);
    if (r->Number() != report.Key) continue;
    r->SetProgress(ProgressReport::Next(r->Progress(), additive, progress));
    r->SetState(state);
    r->SetInfo(info);
    r->SetSplit(report.Count);
    r->SetSize(report.Size);
    return;
  }
}
