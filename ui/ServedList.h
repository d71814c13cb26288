// The "Shared" list: one row per request that this program served or
// refused for someone else (who, what, started, progress, result), fed by the
// exchange's serving reports. It lives while the program runs; Delete and
// Clear remove rows as they do in the State list.
#pragma once

#include <QAbstractTableModel>
#include <QList>
#include <QString>

class ServedListModel : public QAbstractTableModel {
  Q_OBJECT
public:
  enum Column { colAddress, colRequest, colStarted, colProgress, colResult, ColumnCount };
  struct Row {
    QString Number, Address, Request, Started, Finished, Result;
    qint32 State = 0;
    double Progress = 0;
  };

  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

  int Count() const { return int(FRows.size()); }
  const Row& At(int row) const { return FRows[row]; }
  void Remove(int row);
  void Clear();

  // At most this many rows: a stranger's flood of mails cannot grow the list
  // without end. The oldest row that is no longer Active goes first.
  static constexpr int kMaxRows = 512;

  // A request was taken up (served or refused): a new row, newest last.
  void Opened(const QString& number, const QString& address, const QString& action, const QString& fileList);
  // A report on the request numbered number; a row removed meanwhile stays removed.
  void Changed(const QString& number, qint32 state, double progress, const QString& info);

private:
  QList<Row> FRows;
};
