// The user's own requests, one row each, the newest at the top: the data of
// the State list, as an item model that the window shows.
#pragma once

#include <QAbstractTableModel>
#include <QString>
#include <vector>

class TClassThreadList;

struct JobRow {
  QString Number;    // 0 the JobId
  QString Subject;   // 1 "?_" + command
  QString Address;   // 2 the friend's address
  QString Started;   // 3 "hh:mm:ss"
  QString Finished;  // 4 "hh:mm:ss" once the row left Active
  double Progress = 25;  // 5
  qint32 State = 1;  // 6 job state code
  QString Action;    // 7 "list" or "download"
  QString Text;      // 8 the requested file names
  QString Info;      // 9 the status text of the last report
  qint64 Split = 0;  // 10 volumes
  qint64 Size = 0;   // 11 total bytes of the volumes
};

class JobRowModel : public QAbstractTableModel {
  Q_OBJECT
public:
  enum Column {
    colNumber, colSubject, colAddress, colStarted, colFinished, colProgress,
    colState, colAction, colText, colInfo, colSplit, colSize, ColumnCount
  };
  // The job state code of a row, for the state image.
  static constexpr int StateRole = Qt::UserRole + 1;
  static constexpr int kMaxRows = 512;

  using QAbstractTableModel::QAbstractTableModel;

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;

  const JobRow& Row(int row) const { return FRows.at(row); }
  int Count() const { return static_cast<int>(FRows.size()); }

  // Before a row is added, a list of kMaxRows rows or more loses its oldest
  // row; rows still Active are spared.
  void TrimJobList();
  // Inserts an Active row at 25 % at the top (after TrimJobList); returns 0.
  int AddJobRow(const QString& jobId, const QString& subjectHead, const QString& fileList, const QString& command,
                const QString& remoteAddress);

  // Puts back a row as it was before the program ended (a request that goes
  // on after a restart), among the others by its JobId, newest first; returns
  // its index.
  int RestoreJobRow(const JobRow& row);

  struct Update {
    int Row = -1;         // the row that changed, or -1
    bool LeftActive = false;
    QString StatusText;   // the text of status panel 1
  };
  // Applies a report (Ident: JobId, or JobId "." bytes "." count). Raises
  // EConvertError for a tag with a part that is no number.
  Update UpdateJobRow(const QString& ident, qint32 state, const QString& message, bool additive, double progress);

  // -1 without rows; 1 when a row is Active; otherwise 0.
  int JobListState() const;

  // Stops an Active row: Finished := now, State := Stopped. Returns the row's
  // JobId, or empty text when the row is not Active.
  QString Stop(int row);
  void RemoveRow(int row);
  void Clear();

  // The first Active row with more than one volume, or -1.
  int FirstActiveMultiVolume() const;

  static QString ProgressText(double progress);  // "      Progress: 25%"

private:
  void EmitRowChanged(int row);
  std::vector<JobRow> FRows;
};

// The polling period in milliseconds: accelTime × 1000, stretched to 60000,
// or 120000 above 30000000 bytes, while a multi-volume job is running.
int PollInterval(qint32 accelTime, const JobRowModel& rows, const TClassThreadList& jobs);
