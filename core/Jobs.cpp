#include "core/Jobs.h"

#include "core/Utils.h"

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
