#include "core/JobRows.h"

#include <QTime>
#include <climits>
#include <cmath>

#include "core/Jobs.h"

namespace {
const QString kBlanks = QStringLiteral("      ");
}  // namespace

int JobRowModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }
int JobRowModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant JobRowModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const JobRow& r = FRows[index.row()];
  if (role == StateRole) return r.State;
  if (role == Qt::TextAlignmentRole) {
    switch (index.column()) {
      case colProgress: case colSplit: case colSize: return int(Qt::AlignCenter);
      default: return int(Qt::AlignLeft | Qt::AlignVCenter);
    }
  }
  if (role != Qt::DisplayRole && role != Qt::EditRole) return {};
  switch (index.column()) {
    case colNumber: return r.Number;
    case colSubject: return r.Subject;
    case colAddress: return r.Address;
    case colStarted: return r.Started;
    case colFinished: return r.Finished;
    case colProgress: return role == Qt::EditRole ? QVariant(r.Progress) : QVariant(QStringLiteral("%1 %").arg(static_cast<long long>(std::nearbyint(r.Progress))));
    case colState: return role == Qt::EditRole ? QVariant(r.State) : QVariant(StateName(r.State));
    case colAction: return r.Action;
    case colText: return r.Text;
    case colInfo: return r.Info;
    case colSplit: return QString::number(r.Split);
    case colSize: return QString::number(r.Size);
  }
  return {};
}

QVariant JobRowModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const captions[ColumnCount] = {"Number", "Subject", "Address", "Started",
                                                    "Finished", "Progress", "State", "Action",
                                                    "Text", "", "Split", "Size"};
  return section >= 0 && section < ColumnCount ? QString::fromLatin1(captions[section]) : QVariant();
}

void JobRowModel::TrimJobList() {
  while (Count() >= kMaxRows) {
    int victim = Count() - 1;
    while (victim >= 0 && FRows[victim].State == jsActive) --victim;
    if (victim < 0) return;
    RemoveRow(victim);
  }
}

int JobRowModel::AddJobRow(const QString& jobId, const QString& subjectHead, const QString& fileList,
                           const QString& command, const QString& remoteAddress) {
  TrimJobList();
  JobRow r;
  r.Number = jobId;
  r.Subject = QString(subjectHead).replace(QStringLiteral("$_"), QStringLiteral("?_"));
  r.Address = remoteAddress;
  r.Started = ClockNow();
  r.Action = command;
  r.Text = fileList;
  beginInsertRows({}, 0, 0);
  FRows.insert(FRows.begin(), r);
  endInsertRows();
  return 0;
}

int JobRowModel::RestoreJobRow(const JobRow& row) {
  int at = 0;
  while (at < Count() && FRows[at].Number > row.Number) ++at;
  beginInsertRows({}, at, at);
  FRows.insert(FRows.begin() + at, row);
  endInsertRows();
  return at;
}

QString JobRowModel::ProgressText(double progress) {
  return kBlanks + QStringLiteral("Progress: ") + QString::number(static_cast<long long>(std::nearbyint(progress))) + '%';
}

JobRowModel::Update JobRowModel::UpdateJobRow(const QString& ident, qint32 state, const QString& message,
                                              bool additive, double progress) {
  const ProgressReport report = ProgressReport::FromTag(ident);
  Update update;
  for (int i = 0; i < Count(); ++i) {
    JobRow& r = FRows[i];
    if (r.Number != report.Key) continue;
    const bool wasActive = r.State == jsActive;
    r.Progress = ProgressReport::Next(r.Progress, additive, progress);
    r.State = state;
    r.Info = message;
    r.Split = report.Count;
    r.Size = report.Size;
    if (state == jsActive) {
      update.StatusText = ProgressText(r.Progress);
    } else {
      if (state != jsStopped) r.Finished = ClockNow();
      update.StatusText = kBlanks + StateName(state);
    }
    update.Row = i;
    update.LeftActive = wasActive && state != jsActive;
    EmitRowChanged(i);
    break;
  }
  return update;
}

int JobRowModel::JobListState() const {
  if (FRows.empty()) return -1;
  for (const JobRow& r : FRows)
    if (r.State == jsActive) return 1;
  return 0;
}

QString JobRowModel::Stop(int row) {
  if (row < 0 || row >= Count() || FRows[row].State != jsActive) return {};
  FRows[row].Finished = ClockNow();
  FRows[row].State = jsStopped;
  EmitRowChanged(row);
  return FRows[row].Number;
}

void JobRowModel::RemoveRow(int row) {
  if (row < 0 || row >= Count()) return;
  beginRemoveRows({}, row, row);
  FRows.erase(FRows.begin() + row);
  endRemoveRows();
}

void JobRowModel::Clear() {
  beginResetModel();
  FRows.clear();
  endResetModel();
}

int JobRowModel::FirstActiveMultiVolume() const {
  for (int i = 0; i < Count(); ++i)
    if (FRows[i].State == jsActive && FRows[i].Split > 1) return i;
  return -1;
}

void JobRowModel::EmitRowChanged(int row) { emit dataChanged(index(row, 0), index(row, ColumnCount - 1)); }

int PollInterval(qint32 accelTime, const JobRowModel& rows, const TClassThreadList& jobs) {
  qint64 iv = static_cast<qint64>(accelTime) * 1000;
  auto stretch = [&iv](qint64 size) {
    if (size > 30000000)
      iv = 120000;
    else if (iv < 60000)
      iv = 60000;
  };
  if (iv >= 120000) return static_cast<int>(std::min<qint64>(iv, INT_MAX));
  if (const int row = rows.FirstActiveMultiVolume(); row >= 0) stretch(rows.Row(row).Size);
  if (iv >= 120000) return static_cast<int>(iv);
  for (int i = 0; i < jobs.Count(); ++i) {
    const TClassThread* r = jobs.Items(i);
    if (r->State() == jsActive && r->Split() > 1) {
      stretch(r->Size());
      break;
    }
  }
  return static_cast<int>(iv);
}
