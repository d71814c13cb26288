#include <gtest/gtest.h>

#include "core/JobRows.h"
#include "core/Jobs.h"

TEST(JobRows, RowsAreAddedOnTopAndUpdated) {
  JobRowModel rows;
  EXPECT_EQ(rows.JobListState(), -1);
  rows.AddJobRow("20260301120000001", "$_list", "", "list", "bob@example.test");
  rows.AddJobRow("20260301120000002", "$_download", "a.txt\r\n", "download", "bob@example.test");
  ASSERT_EQ(rows.Count(), 2);
  const JobRow& top = rows.Row(0);
  EXPECT_EQ(top.Number, "20260301120000002");
  EXPECT_EQ(top.Subject, "?_download");
  EXPECT_EQ(top.Progress, 25);
  EXPECT_EQ(top.State, jsActive);
  EXPECT_EQ(top.Finished, "");
  EXPECT_EQ(rows.data(rows.index(0, JobRowModel::colProgress)).toString(), "25 %");
  EXPECT_EQ(rows.data(rows.index(0, JobRowModel::colState)).toString(), "Active");
  EXPECT_EQ(rows.JobListState(), 1);

  // Sent: 50 %; three volumes of 30000001 bytes: + 50/3 each; then Done.
  auto u = rows.UpdateJobRow("20260301120000002", jsActive, "", false, 50);
  EXPECT_EQ(u.StatusText, "      Progress: 50%");
  u = rows.UpdateJobRow("20260301120000002.30000001.3", jsActive, "Done", true, 50.0 / 3);
  EXPECT_EQ(u.Row, 0);
  EXPECT_EQ(rows.Row(0).Split, 3);
  EXPECT_EQ(rows.Row(0).Size, 30000001);
  EXPECT_EQ(u.StatusText, "      Progress: 67%");
  EXPECT_EQ(rows.FirstActiveMultiVolume(), 0);
  TClassThreadList jobs(nullptr);
  EXPECT_EQ(PollInterval(10, rows, jobs), 120000);
  u = rows.UpdateJobRow("20260301120000002.30000001.3", jsDone, "Done", false, 100);
  EXPECT_TRUE(u.LeftActive);
  EXPECT_EQ(u.StatusText, "      Done");
  EXPECT_FALSE(rows.Row(0).Finished.isEmpty());
  EXPECT_EQ(rows.Row(0).Progress, 100);
  EXPECT_EQ(rows.UpdateJobRow("20260301120000002", jsDone, "Done", true, 30).Row, 0);
  EXPECT_EQ(rows.Row(0).Progress, 100);  // 100 stays 100

  // Stop only acts on an Active row; the row keeps the stop time afterwards.
  EXPECT_EQ(rows.Stop(0), "");
  EXPECT_EQ(rows.Stop(1), "20260301120000001");
  EXPECT_EQ(rows.Row(1).State, jsStopped);
  const QString stoppedAt = rows.Row(1).Finished;
  EXPECT_FALSE(stoppedAt.isEmpty());
  EXPECT_EQ(rows.UpdateJobRow("20260301120000001", jsStopped, "Done", false, 100).StatusText, "      Stopped");
  EXPECT_EQ(rows.Row(1).Finished, stoppedAt);
  EXPECT_EQ(rows.JobListState(), 0);

  // Unknown identifiers change nothing; bad tags raise before any change.
  EXPECT_EQ(rows.UpdateJobRow("20260301120000009", jsError, "Error: x", false, 0).Row, -1);
  EXPECT_THROW(rows.UpdateJobRow("20260301120000001.x.1", jsError, "Error: x", false, 0), EConvertError);
  rows.RemoveRow(0);
  EXPECT_EQ(rows.Row(0).Number, "20260301120000001");
  rows.Clear();
  EXPECT_EQ(rows.JobListState(), -1);
}

TEST(JobRows, TrimKeepsTheListBoundedAndSparesActiveRows) {
  JobRowModel rows;
  rows.AddJobRow("00000000000000000", "$_list", "", "list", "a");  // stays Active, the oldest
  for (int i = 1; i < JobRowModel::kMaxRows; ++i) {
    const QString id = QStringLiteral("%1").arg(i, 17, 10, QChar('0'));
    rows.AddJobRow(id, "$_list", "", "list", "a");
    rows.UpdateJobRow(id, jsDone, "Done", false, 100);
  }
  ASSERT_EQ(rows.Count(), JobRowModel::kMaxRows);
  rows.AddJobRow("99999999999999999", "$_list", "", "list", "a");
  EXPECT_EQ(rows.Count(), JobRowModel::kMaxRows);
  EXPECT_EQ(rows.Row(rows.Count() - 1).Number, "00000000000000000");
  EXPECT_EQ(rows.Row(rows.Count() - 2).Number, QStringLiteral("%1").arg(2, 17, 10, QChar('0')));
}

TEST(JobRows, PollInterval) {
  struct Case {
    qint32 accel;
    qint64 rowSplit, rowSize;  // the first running row; split 0: none
    qint64 jobSplit, jobSize;  // the serving record
    int expected;
  } cases[] = {
      {10, 0, 0, 0, 0, 10000},
      {10, 3, 1000, 0, 0, 60000},
      {10, 3, 30000001, 0, 0, 120000},
      {10, 1, 30000001, 0, 0, 10000},  // one volume does not stretch
      {90, 3, 1000, 0, 0, 90000},
      {120, 3, 30000001, 0, 0, 120000},
      {200, 3, 30000001, 0, 0, 200000},
      {0, 0, 0, 0, 0, 0},
      {0, 0, 0, 2, 5, 60000},
      {10, 2, 100, 2, 30000001, 120000},  // the serving record is looked at after the rows
  };
  for (const Case& c : cases) {
    JobRowModel rows;
    rows.AddJobRow("1", "$_download", "", "download", "a");
    if (c.rowSplit) rows.UpdateJobRow(QStringLiteral("1.%1.%2").arg(c.rowSize).arg(c.rowSplit), jsActive, "", true, 1);
    else rows.UpdateJobRow("1", jsDone, "", true, 1);
    TClassThreadList jobs(nullptr);
    jobs.OpenServingJob("2", "", "", "", "");
    if (c.jobSplit) jobs.UpdateServingJob(QStringLiteral("2.%1.%2").arg(c.jobSize).arg(c.jobSplit), jsActive, "", true, 1);
    EXPECT_EQ(PollInterval(c.accel, rows, jobs), c.expected) << c.accel << " " << c.rowSplit << " " << c.jobSplit;
  }
  // Only the first running multi-volume row decides.
  JobRowModel rows;
  rows.AddJobRow("1", "$_download", "", "download", "a");
  rows.UpdateJobRow("1.40000000.3", jsActive, "", true, 1);
  rows.AddJobRow("2", "$_download", "", "download", "a");
  rows.UpdateJobRow("2.1000.3", jsActive, "", true, 1);
  TClassThreadList none(nullptr);
  EXPECT_EQ(PollInterval(10, rows, none), 60000);
}

TEST(JobTags, StateNames) {
  const char* names[] = {"Error", "Active", "Done", "Stopped", ""};
  for (int code = 0; code <= 4; ++code) EXPECT_EQ(StateName(code), names[code]);
  EXPECT_EQ(StateName(-1), "");
}

TEST(JobTags, SplitJobTag) {
  struct {
    const char* tag;
    const char* id;
    qint64 first, second;
  } cases[] = {
      {"20260301120000001.5000000.3", "20260301120000001", 5000000, 3},
      {"  x.1 ", "x", 0, 0},
      {"20260301120000001", "", 0, 0},
      {"a..", "a", 0, 0},
      {"a.5.", "a", 5, 0},
      {"a.6000000000.2", "a", 6000000000, 2},  // archives beyond 2 GiB keep their size
  };
  for (const auto& c : cases) {
    const JobTag t = SplitJobTag(c.tag);
    EXPECT_EQ(t.Id, c.id) << c.tag;
    EXPECT_EQ(t.First, c.first) << c.tag;
    EXPECT_EQ(t.Second, c.second) << c.tag;
  }
  for (const char* bad : {"a.12x.3", "a.1.three", "a.+1.2", "a. 1.2"}) {
    try {
      SplitJobTag(bad);
      ADD_FAILURE() << bad;
    } catch (const EConvertError& e) {
      EXPECT_TRUE(QString(e.what()).startsWith("'") && QString(e.what()).endsWith("' is not a valid integer value"))
          << e.what();
    }
  }
  EXPECT_THROW(SplitJobTag("a.12x.3"), EConvertError);
}
