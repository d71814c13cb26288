#include "ui/ServedList.h"

#include <QRegularExpression>
#include <algorithm>

#include "core/Jobs.h"

namespace {
// "list", or "download: a.txt, b.txt" from the request's file list.
QString RequestText(const QString& action, const QString& fileList) {
  static const QRegularExpression lineBreak(QStringLiteral("[\r\n]+"));
  QStringList names;
  for (const QString& line : fileList.split(lineBreak, Qt::SkipEmptyParts))
    if (const QString name = line.trimmed(); !name.isEmpty()) names << name;
  if (action.isEmpty()) return QStringLiteral("(sealed request)");
  return names.isEmpty() ? action : action + QStringLiteral(": ") + names.join(QStringLiteral(", "));
}
}  // namespace

int ServedListModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }
int ServedListModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : ColumnCount; }

QVariant ServedListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const Row& r = FRows[index.row()];
  if (role == Qt::ToolTipRole) return r.Result;
  if (role != Qt::DisplayRole) return {};
  switch (index.column()) {
    case colAddress: return r.Address;
    case colRequest: return r.Request;
    case colStarted: return r.Started;
    case colProgress: return QStringLiteral("%1%").arg(qRound(r.Progress));
    case colResult: return r.Result;
    default: return {};
  }
}

QVariant ServedListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char* const titles[ColumnCount] = {"Friend", "Request", "Started", "Progress", "Result"};
  return section >= 0 && section < ColumnCount ? QString::fromLatin1(titles[section]) : QVariant();
}

void ServedListModel::Remove(int row) {
  if (row < 0 || row >= Count()) return;
  beginRemoveRows({}, row, row);
  FRows.removeAt(row);
  endRemoveRows();
}

void ServedListModel::Clear() {
  beginResetModel();
  FRows.clear();
  endResetModel();
}

void ServedListModel::Opened(const QString& number, const QString& address, const QString& action,
                             const QString& fileList) {
  if (Count() >= kMaxRows) {
    const auto ended = std::find_if(FRows.begin(), FRows.end(), [](const Row& r) { return r.State != jsActive; });
    Remove(ended == FRows.end() ? 0 : int(ended - FRows.begin()));
  }
  beginInsertRows({}, Count(), Count());
  Row r;
  r.Number = number;
  r.Address = address;
  r.Request = RequestText(action, fileList);
  r.Started = ClockNow();
  r.State = jsActive;
  r.Result = StateName(jsActive);
  FRows.append(r);
  endInsertRows();
}

void ServedListModel::Changed(const QString& number, qint32 state, double progress, const QString& info) {
  for (int i = Count() - 1; i >= 0; --i) {
    Row& r = FRows[i];
    if (r.Number != number) continue;
    r.State = state;
    r.Progress = progress;
    if (state != jsActive) r.Finished = ClockNow();
    // An error says why; otherwise the state's name.
    r.Result = state == jsError && !info.isEmpty() ? info : StateName(state);
    emit dataChanged(index(i, 0), index(i, ColumnCount - 1));
    return;
  }
}
