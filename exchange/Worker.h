// The base of the exchange's worker threads (serving and requesting): the
// SMTP settings they are filled with, the mail sender they make from them,
// their own cancel flag, and the synchronous calls into their host.
#pragma once

#include <QObject>
#include <QString>
#include <QThread>
#include <atomic>
#include <functional>
#include <memory>

#include "exchange/ExchangeHost.h"
#include "platform/Settings.h"

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
  MailSecurity Security = MailSecurity::Tls;
  QString LogFolder;

  // SmtpServer, SmtpPort, SmtpAddress, SmtpAuthentOn, SmtpAuthent, the SMTP
  // login (or the POP3 login when SmtpPop3Authent is set), SmtpSecurity.
  static SmtpSettings From(const TClassOptions& options, const QString& logFolder);
  // A mail object set up with these settings; its log is LogFolder/smtp.log.
  std::unique_ptr<MailSender> NewMailObject() const;
};

// Makes a worker's mail sender from its settings. Unset, a worker makes the
// real SMTP sender (SmtpSettings::NewMailObject); tests give a recording one.
using MailSenderFactory = std::function<std::unique_ptr<MailSender>(const SmtpSettings&)>;

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
  // host: what the worker reports to; context: the object on whose thread
  // (the main thread) every call into host runs. Both outlive the thread:
  // their owner cancels and waits for every worker before it goes.
  TClassWorker(ExchangeHost* host, QObject* context);
  ~TClassWorker() override;

  void SetSmtp(const SmtpSettings& smtp) { FSmtp = smtp; }
  const SmtpSettings& Smtp() const { return FSmtp; }
  // An empty factory means the real SMTP sender.
  void SetMailSenderFactory(MailSenderFactory factory) { FNewSender = std::move(factory); }

  // Starts the thread one step below normal priority.
  void Resume() { start(QThread::LowPriority); }
  // Ends every wait of the thread early; the thread winds up without
  // touching the main thread again.
  void Cancel() { FCancel.store(true); }
  bool Cancelled() const { return FCancel.load(); }

protected:
  // A synchronous call into the host on the context's thread (see CallOnMain).
  bool OnMain(std::function<void(ExchangeHost&)> fn);
  // PacedWait with this thread's cancel flag.
  bool Pause(int ms);
  // The mail sender of this thread, set up with its SMTP settings.
  std::unique_ptr<MailSender> NewMailSender() const;

  ExchangeHost* FHost;
  QObject* FContext;
  SmtpSettings FSmtp;
  MailSenderFactory FNewSender;
  std::atomic<bool> FCancel{false};
};
