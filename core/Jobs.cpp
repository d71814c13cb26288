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

void TClassThreadList::UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                                        double progress) {
  QString key = tag;
  qint64 size = 0, count = 0;
  if (tag.contains('.')) {
    const JobTag parts = SplitJobTag(tag);
    key = parts.Id;
    size = parts.First;
    count = parts.Second;
  }
  for (int i = 0; i < Count(); ++i) {
    TClassThread* r = Items(i);
    if (r->Number() != key) continue;
    if (r->Progress() >= 100)
      r->SetProgress(100);
    else
      r->SetProgress(additive ? r->Progress() + progress : progress);
    r->SetState(state);
    r->SetInfo(info);
    r->SetSplit(count);
    r->SetSize(size);
    return;
  }
}
