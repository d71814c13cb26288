// Mail commands: the account of a configuration folder DIR against its
// servers, with the installation settings of this machine.
#include "main/ClassMain.h"
#include "kestroctl/Command.h"
#include "platform/Closing.h"
#include "platform/InstanceLock.h"
#include "platform/Settings.h"
#include "transport/MailboxPoller.h"
#include "transport/AccountCheck.h"
#include "transport/SmtpSender.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>
#include <memory>

namespace {

// The application object of DIR, read while no Kestro runs on it.
struct Account {
  InstanceLock Lock;
  std::unique_ptr<TClassMain> Main;
  explicit Account(const QString& dirArg) {
    const QString dir = QDir(dirArg).absolutePath();
    if (!QFileInfo(dir).isDir()) throw CtlError(QStringLiteral("%1 is no configuration folder").arg(dir).toStdString());
    if (InstanceLock::InUse(dir) || !Lock.TryAcquire(dir))
      throw CtlError(QStringLiteral("the configuration in %1 is in use by a running Kestro; close Kestro first")
                         .arg(dir)
                         .toStdString());
    Main = std::make_unique<TClassMain>(nullptr, dir, false);
  }
  TClassOptions& Options() { return Main->Options(); }
  QString Log(const char* name) const {
    const QString folder = Main->LogFolder();
    if (folder.isEmpty()) return QString();
    QDir().mkpath(folder);
    return folder + QLatin1Char('/') + QLatin1String(name);
  }
};

int Report(int code, const QString& detail = QString()) {
  CtlPrint(QStringLiteral("%1\t%2%3\n").arg(code).arg(MailResultText(code), detail.isEmpty() ? QString() : " " + detail));
  return code == 0 ? 0 : 1;
}

// --name VALUE pairs after the fixed arguments.
QString Option(const QStringList& args, int from, const QString& name, bool required) {
  for (int i = from; i < args.size(); i += 2) {
    if (!args[i].startsWith(QStringLiteral("--"))) throw CtlUsageError("unexpected argument " + args[i].toStdString());
    if (i + 1 >= args.size()) throw CtlUsageError(args[i].toStdString() + " needs a value");
    if (args[i] == name) return args[i + 1];
  }
  if (required) throw CtlUsageError(name.toStdString() + " is required");
  return QString();
}

void CheckOptions(const QStringList& args, int from, const QStringList& known) {
  for (int i = from; i < args.size(); i += 2)
    if (!known.contains(args[i])) throw CtlUsageError("unknown option " + args[i].toStdString());
}

int MailTest(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  Account account(args[0]);
  const TClassOptions& o = account.Options();
  const int code = o.Pop3Type() == 0 ? TestPop3Connection(o, account.Log("pop3.log"))
                                     : TestImap4Connection(o, account.Log("imap4.log"));
  return Report(code);
}

int MailboxScan(const QStringList& args) {
  CtlExpectArgs(args, 1);
  CheckOptions(args, 1, {"--online-stamp", "--stop-id"});
  const QString online = Option(args, 1, "--online-stamp", false);
  const QString stop = Option(args, 1, "--stop-id", false);
  Account account(args[0]);
  const TClassOptions& o = account.Options();
  SetPaceFactor(0);
  // Attachments go to a folder of their own that vanishes afterwards: the
  // names listed are those a pass would save.
  QTemporaryDir scratch;
  std::unique_ptr<TClassAccelerator> poller;
  if (o.Pop3Type() == 0) {
    auto p = std::make_unique<TClassAcceleratorPOP3>();
    p->SetAuthent(o.Pop3Authent());
    p->SetDryRun(true);
    poller = std::move(p);
  } else {
    auto p = std::make_unique<TClassAcceleratorIMAP4>();
    p->SetMailboxName(o.Pop3Folder());
    p->SetDryRun(true);
    poller = std::move(p);
  }
  poller->SetFreeOnTerminate(false);
  poller->SetServerHost(o.Pop3Server());
  poller->SetServerPort(o.Pop3Port());
  poller->SetSecurity(o.Pop3Security());
  poller->SetAccountName(o.Pop3Account());
  poller->SetAccountPassword(o.Pop3Password());
  poller->SetOnlineStamp(online);
  poller->SetStopJobId(stop);
  poller->SetTempInput(scratch.path());
  poller->SetSemaphoreWait(0);
  poller->SetPeerMailReport([](const HandOverData& d, bool taken) {
    CtlPrint(QStringLiteral("%1\t%2\t%3\t%4\t%5\n")
                 .arg(d.Prefix, d.Ident, d.SenderAddress, d.AttachmentName,
                      taken ? QStringLiteral("taken") : QStringLiteral("skipped")));
  });
  poller->RunHere();
  const auto outcome = poller->LastOutcome();
  if (!outcome.Ran) throw CtlError("another pass over this kind of mailbox is running; try again");
  if (outcome.Code != 0)
    throw CtlError(QStringLiteral("%1 %2")
                       .arg(outcome.Code)
                       .arg(outcome.Error.isEmpty() ? MailResultText(outcome.Code) : outcome.Error)
                       .toStdString());
  return 0;
}

int MailSend(const QStringList& args) {
  CtlExpectArgs(args, 5);
  CheckOptions(args, 1, {"--to", "--subject", "--body", "--attach"});
  const QString to = Option(args, 1, "--to", true);
  const QString subject = Option(args, 1, "--subject", true);
  const QString body = Option(args, 1, "--body", false);
  const QString attach = Option(args, 1, "--attach", false);
  Account account(args[0]);
  const TClassOptions& o = account.Options();
  TMailSMTP smtp;
  smtp.SetLogFile(account.Log("smtp.log"));
  smtp.SetSecurity(o.SmtpSecurity());
  smtp.SetTimeOut(120);
  smtp.SetMailServer(o.SmtpServer());
  smtp.SetMailPort(o.SmtpPort());
  smtp.SetFromAddr(o.SmtpAddress());
  smtp.SetAuthMode(o.SmtpAuthentOn() ? (o.SmtpAuthent() ? 2 : 1) : 0);
  smtp.SetAccount(o.SmtpLoginAccount());
  smtp.SetPassword(o.SmtpLoginPassword());
  smtp.Clear();
  int code = smtp.AddRecipient(to);
  if (code != 0) return Report(code, to);
  smtp.SetSubject(subject);
  smtp.SetBodyText(body);
  if (!attach.isEmpty()) {
    code = smtp.AddAttachment(attach);
    if (code != 0) return Report(code, attach);
  }
  return Report(smtp.Send());
}

}  // namespace

KESTROCTL_COMMAND("mail test", "DIR", "Tests the incoming account of DIR as going online does; prints the code and its text.",
                  MailTest);
KESTROCTL_COMMAND("mailbox scan", "DIR [--online-stamp S] [--stop-id S]",
                  "Lists the peer mails of the mailbox of DIR: prefix, Ident, sender, attachment, taken/skipped; deletes nothing.",
                  MailboxScan);
KESTROCTL_COMMAND("mail send", "DIR --to ADDRESS --subject TEXT [--body TEXT] [--attach FILE]",
                  "Sends one mail from the account of DIR.", MailSend);
