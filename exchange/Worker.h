// The base of the exchange's worker threads (serving and requesting): the
// SMTP settings they are filled with, their own cancel flag, and the
// synchronous calls into the main thread.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

class MailSender;
class TClassOptions;

// What a worker needs to send mail: a copy, taken on the main thread.
struct SmtpSettings {
  QString Server;
  int Port = 465;
  QString FromAddress;
  bool AuthentOn = true;
  bool SecondMode = false;
  QString Account;
  QString Password;
  bool Ssl = true;
  QString LogFolder;

  // SmtpServer, SmtpPort, SmtpAddress, SmtpAuthentOn, SmtpAuthent, the SMTP
  // login (or the POP3 login when SmtpPop3Authent is set), SmtpSsl.
  static SmtpSettings From(const TClassOptions& options, const QString& logFolder);
  // A mail object set up with these settings; its log is LogFolder/smtp.log.
  std::unique_ptr<MailSender> NewMailObject() const;
};

inline const QString kMsgSendFailed =
    QStringLiteral("Unable to send message.\r\nCheck your SMTP server configuration.");

// Runs fn on the thread of context and waits until it has run. Does nothing
// (and returns false) once the program is closing or cancel is raised, and
// gives up waiting then, so that a main thread on its way out never waits
// for a worker. Never call it from context's own thread.
bool CallOnMain(QObject* context, std::function<void()> fn, const std::atomic<bool>* cancel);

class TClassWorker : public QThread {
  Q_OBJECT
public:
  // host: the main-thread object that workers report to. It outlives the
  // thread: its owner cancels and waits for every worker before it goes.
  explicit TClassWorker(QObject* host);
  ~TClassWorker() override;

  void SetSmtp(const SmtpSettings& smtp) { FSmtp = smtp; }
  const SmtpSettings& Smtp() const { return FSmtp; }

  // Starts the thread one step below normal priority.
  void Resume() { start(QThread::LowPriority); }
  // Ends every wait of the thread early; the thread winds up without
  // touching the main thread again.
  void Cancel() { FCancel.store(true); }
  bool Cancelled() const { return FCancel.load(); }

protected:
  // A synchronous call into the host's thread (see CallOnMain).
  bool OnMain(std::function<void()> fn) { return CallOnMain(FHost, std::move(fn), &FCancel); }
  // PacedWait with this thread's cancel flag.
  bool Pause(int ms);

  QObject* FHost;
  SmtpSettings FSmtp;
  std::atomic<bool> FCancel{false};
};
