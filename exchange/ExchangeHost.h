// What the exchange's worker threads report to: the job rows of our requests,
// the serving record, the file tree, and the two values they ask for. TExchange
// is the real host; tests put a recording host in its place.
//
// Every call runs on the thread of the worker's context object (the main
// thread), reached by a synchronous call that does nothing once the program
// is closing or the worker is cancelled (CallOnMain, exchange/Worker.h).
#pragma once

#include <QString>
#include <optional>

// One of our own requests, as its job row holds it.
struct OwnRequest {
  QString RemoteAddress;  // where the request went, as the user typed it
  QString Command;        // "list" or "download"
};

class ExchangeHost {
public:
  virtual ~ExchangeHost() = default;

  // Replaces the serving record with a new one, Active at 50 %.
  virtual void OpenServingJob(const QString& number, const QString& subject, const QString& address,
                              const QString& action, const QString& text) = 0;
  // Applies a serving report (tag: JobId, or JobId.total.count) to the record.
  virtual void UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                                double progress) = 0;
  // Applies a report to the row of one of our requests.
  virtual void UpdateJobRow(const QString& ident, qint32 state, const QString& message, bool additive,
                            double progress) = 0;
  // The listing of request jobId came back: it replaces the file tree.
  virtual void ListingArrived(const QString& jobId, const QString& listing) = 0;
  // The latest job the user stopped (jobs up to it count as stopped).
  virtual QString StopJobId() const = 0;
  // The progress of the job's row while it is Active; -1 when it has no such row.
  virtual double ActiveRowProgress(const QString& jobId) const = 0;
  // The request that this program issued under jobId, while its row is
  // Active; none for any other stamp (a reply to it is no reply of ours).
  virtual std::optional<OwnRequest> ActiveRequest(const QString& jobId) const = 0;
  // A volume of one of our downloads (an answer to ActiveRequest) came in;
  // false when that volume was taken before (a second copy), which is to be
  // ignored.
  virtual bool VolumeArrived(const QString& /*jobId*/, const QString& /*volume*/) { return true; }
  // The thread of a download's last volume begins (true) or ends its wait for
  // the other volumes; while it waits, it keeps the download's time itself.
  virtual void VolumeWait(const QString& /*jobId*/, bool /*waiting*/) {}
};
