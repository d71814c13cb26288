#include "exchange/Worker.h"

#include <QMetaObject>
#include <chrono>
#include <future>

#include "core/Options.h"
#include "platform/Closing.h"
#include "platform/ErrorLog.h"
#include "transport/SmtpSender.h"

namespace {
constexpr int kSmtpTimeOutSec = 120;
}

SmtpSettings SmtpSettings::From(const TClassOptions& o, const QString& logFolder) {
  SmtpSettings s;
  s.Server = o.SmtpServer();
  s.Port = o.SmtpPort();
  s.FromAddress = o.SmtpAddress();
  s.AuthentOn = o.SmtpAuthentOn();
  s.SecondMode = o.SmtpAuthent();
  s.Account = o.SmtpLoginAccount();
  s.Password = o.SmtpLoginPassword();
  s.Security = o.SmtpSecurity();
  s.LogFolder = logFolder;
  return s;
}

std::unique_ptr<MailSender> SmtpSettings::NewMailObject() const {
  auto smtp = std::make_unique<TMailSMTP>();
  if (!LogFolder.isEmpty()) smtp->SetLogFile(LogFolder + QStringLiteral("/smtp.log"));
  smtp->SetSecurity(Security);
  smtp->SetTimeOut(kSmtpTimeOutSec);
  smtp->SetMailServer(Server);
  smtp->SetMailPort(Port);
  smtp->SetFromAddr(FromAddress);
  smtp->SetAuthMode(AuthentOn ? (SecondMode ? 2 : 1) : 0);
  smtp->SetAccount(Account);
  smtp->SetPassword(Password);
  return smtp;
}

bool CallOnMain(QObject* context, std::function<void()> fn, const std::atomic<bool>* cancel) {
  auto stopped = [cancel] { return IsClosing() || (cancel && cancel->load()); };
  if (!context || stopped()) return false;
  // The promise is dropped unfulfilled when the event is discarded (its
  // receiver went away); the future then becomes ready all the same.
  auto done = std::make_shared<std::promise<bool>>();
  std::future<bool> finished = done->get_future();
  QMetaObject::invokeMethod(
      context,
      [fn = std::move(fn), done, stopped] {
        const bool run = !stopped();
        if (run) {
          // An error on the main thread is discarded there, as for any event.
          try {
            fn();
          } catch (...) {
            LogDropped("call into the main thread");
          }
        }
        done->set_value(run);
      },
      Qt::QueuedConnection);
  while (finished.wait_for(std::chrono::milliseconds(20)) != std::future_status::ready) {
    if (stopped()) return false;
  }
  try {
    return finished.get();
  } catch (const std::future_error&) {
    return false;
  }
}

TClassWorker::TClassWorker(ExchangeHost* host, QObject* context) : FHost(host), FContext(context) {}

TClassWorker::~TClassWorker() = default;

bool TClassWorker::OnMain(std::function<void(ExchangeHost&)> fn) {
  if (!FHost) return false;
  ExchangeHost* host = FHost;
  return CallOnMain(FContext, [host, fn = std::move(fn)] { fn(*host); }, &FCancel);
}

std::unique_ptr<MailSender> TClassWorker::NewMailSender() const {
  return FNewSender ? FNewSender(FSmtp) : FSmtp.NewMailObject();
}

bool TClassWorker::Pause(int ms) { return PacedWait(ms, &FCancel); }
