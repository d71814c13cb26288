#include "main/ClassMain.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include "core/FileUtils.h"
#include "message/Stamp.h"
#include "platform/Autostart.h"
#include "platform/ErrorLog.h"
#include "platform/Settings.h"

#include <QtGlobal>

TClassMain::TClassMain(QObject* owner, const std::optional<QString>& confFolder, bool applyAutostart)
    : TClassCustom(owner), FApplyAutostart(applyAutostart) {
  FData = new TClassData(this, confFolder);
  FSecondStart = false;
  FOnlineStamp.clear();
  FStopJobId.clear();
  FRemoteHost.clear();
  FAddresses = std::make_unique<TClassAddressList>(this);
  FAnonymous = new TClassAnonymous(this);
  FUsers = std::make_unique<TClassUserList>(this);
  FOptions = new TClassOptions(this);
  FJobs = std::make_unique<TClassThreadList>(this);
  try {
    Load();
  } catch (...) {
    FData->SetSaveOnDestroy(false);  // what could not be loaded must not be written over
    throw;
  }
}

TClassMain::~TClassMain() {
  FData->SetSaveOnDestroy(FSaveOnDestroy);
  try {
    if (FSaveOnDestroy) Save();
  } catch (...) {
    LogDropped("saving the configuration at exit");  // no caller is left to tell
  }
  FJobs.reset();
  delete FOptions;
  FUsers.reset();
  delete FAnonymous;
  FAddresses.reset();
  delete FData;  // writes the configuration files
}

namespace {
// The part of a temporary folder that belongs to one configuration folder:
// base/NAME-HASH, NAME the configuration folder's name (letters, digits, ".",
// "_", "-"), HASH from its full path. Two programs on one installation with
// different configuration folders never touch each other's files.
QString OwnTempFolder(const QString& base, const QString& confFolder) {
  if (base.isEmpty()) return base;
  const QFileInfo info(confFolder);
  const QString path = info.exists() ? info.canonicalFilePath() : info.absoluteFilePath();
  static const QRegularExpression unsafe(QStringLiteral("[^A-Za-z0-9._-]"));
  QString name = info.fileName().replace(unsafe, QStringLiteral("_")).left(40);
  if (name.isEmpty() || name.startsWith(u'.')) name.prepend(QStringLiteral("conf"));
  const QByteArray hash = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(12);
  return base + u'/' + name + u'-' + QString::fromLatin1(hash);
}
}  // namespace

void TClassMain::CleanTempFolders() const {
  if (!FTempOutput.isEmpty()) {
    DeletePath(FTempOutput);
    QDir().mkpath(FTempOutput);
  }
  if (FTempInput.isEmpty()) return;
  // The collection folders of the requests that go on after this start stay.
  QStringList kept;
  for (const KeptRequest& r : FRequests) kept << r.Number;
  const QDir input(FTempInput);
  if (!input.exists()) {
    QDir().mkpath(FTempInput);
    return;
  }
  const QFileInfoList entries =
      input.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
  for (const QFileInfo& entry : entries) {
    const bool keep = entry.isDir() && !entry.isSymLink() && kept.contains(entry.fileName());
    if (!keep) DeletePath(entry.filePath());
  }
}

void TClassMain::LoadRegistry() {
  const InstallSettings& s = InstallSettings::Current();
  FHomePage = s.Home;
  FExeName = s.Name;
  FQuickStart = s.QuickStart;
  FLogFolder = s.Log;
  FLocalizerExt = s.LocalizerExt;
  const QString confFolder = QFileInfo(FData->MainFile()).absolutePath();
  FTempInput = OwnTempFolder(s.TempInput, confFolder);
  FTempOutput = OwnTempFolder(s.TempOutput, confFolder);
}

void TClassMain::Load() {
  LoadRegistry();
  TMemTable& main = FData->DataMain();
  FSecondStart = main.AsBoolean("MAIN_SECOND_START");
  FCloseOn = main.AsBoolean("MAIN_CLOSE_ON");
  FRemoteHost = main.AsString("MAIN_REMOTE_HOST");
  TClassOptions& o = *FOptions;
  o.SetDownloadFolder(main.AsString("OPTIONS_DOWNLOAD_FOLDER"));
  o.SetPop3Account(main.AsString("OPTIONS_POP3_ACCOUNT"));
  o.SetPop3Password(main.AsString("OPTIONS_POP3_PASSWORD"));
  o.SetPop3Type(main.AsInteger("OPTIONS_POP3_TYPE"));
  LoadServers(main);
  o.SetPop3AccelTime(main.AsInteger("OPTIONS_POP3_ACCEL_TIME"));
  o.SetStartupSystem(main.AsBoolean("OPTIONS_STARTUP_SYSTEM"));
  o.SetStartupTray(main.AsBoolean("OPTIONS_STARTUP_TRAY"));
  o.SetStartupRun(main.AsBoolean("OPTIONS_STARTUP_RUN"));
  o.SetStartupAbout(main.AsBoolean("OPTIONS_STARTUP_ABOUT"));
  o.SetAttachCompress(main.AsInteger("OPTIONS_ATTACH_COMPRESS"));
  o.SetAttachVolume(main.AsInteger("OPTIONS_ATTACH_VOLUME"));
  o.SetTimeoutClient(main.AsInteger("OPTIONS_TIMEOUT_CLIENT"));
  if (FApplyAutostart) o.SetStartupSystem(ReadAutostart());  // the entry on disk is the truth
  FAnonymous->ReadRow(FData->DataMain103());
  FAddresses->LoadFrom(main.Nested("ADDRESSES"));
  FUsers->LoadFrom(main.Nested("USERS"));
  LoadRequests(main.Nested("REQUESTS"));
}

void TClassMain::LoadServers(TTable& main) {
  // Chosen servers are complete: both hosts, ports and security modes. A
  // file without the modes (written before they existed) chooses none,
  // whatever its server fields hold.
  const auto incomingSecurity = ParseMailSecurity(main.AsString("OPTIONS_POP3_SECURITY"));
  const auto outgoingSecurity = ParseMailSecurity(main.AsString("OPTIONS_SMTP_SECURITY"));
  const MailServer incoming{main.AsString("OPTIONS_POP3_SERVER"), main.AsInteger("OPTIONS_POP3_PORT"),
                            incomingSecurity.value_or(MailSecurity::Tls)};
  const MailServer outgoing{main.AsString("OPTIONS_SMTP_SERVER"), main.AsInteger("OPTIONS_SMTP_PORT"),
                            outgoingSecurity.value_or(MailSecurity::Tls)};
  auto valid = [](const MailServer& s) { return !s.Host.trimmed().isEmpty() && s.Port > 0 && s.Port <= 65535; };
  if (incomingSecurity && outgoingSecurity && valid(incoming) && valid(outgoing)) FOptions->SetServers(incoming, outgoing);
}

void TClassMain::StoreServers(TTable& main) const {
  const TClassOptions& o = *FOptions;
  const bool chosen = o.ServersChosen();
  main.SetString("OPTIONS_POP3_SERVER", chosen ? o.Pop3Server() : QString());
  main.SetInteger("OPTIONS_POP3_PORT", chosen ? o.Pop3Port() : 0);
  main.SetBoolean("OPTIONS_POP3_SSL", chosen && o.Pop3Ssl());
  main.SetString("OPTIONS_POP3_SECURITY", chosen ? MailSecurityName(o.Pop3Security()) : QString());
  main.SetString("OPTIONS_SMTP_SERVER", chosen ? o.SmtpServer() : QString());
  main.SetInteger("OPTIONS_SMTP_PORT", chosen ? o.SmtpPort() : 0);
  main.SetBoolean("OPTIONS_SMTP_SSL", chosen && o.SmtpSsl());
  main.SetString("OPTIONS_SMTP_SECURITY", chosen ? MailSecurityName(o.SmtpSecurity()) : QString());
}

void TClassMain::LoadRequests(TTable& t) {
  FRequests.clear();
  for (t.First(); !t.Eof(); t.Next()) {
    KeptRequest r;
    r.Number = t.AsString("REQUEST_NUMBER");
    // Only what names a request of ours can name its folder.
    if (!IsStamp(r.Number)) continue;
    r.Address = t.AsString("REQUEST_ADDRESS");
    r.LocalAddress = t.AsString("REQUEST_LOCAL");
    r.Action = t.AsString("REQUEST_ACTION");
    r.Text = t.AsString("REQUEST_TEXT");
    r.Progress = t.AsString("REQUEST_PROGRESS").toDouble();
    r.Split = t.AsInteger("REQUEST_SPLIT");
    r.Size = t.AsString("REQUEST_SIZE").toLongLong();
    r.Started = t.AsString("REQUEST_STARTED");
    r.Alive = t.AsString("REQUEST_ALIVE");
    r.Folder = t.AsString("REQUEST_FOLDER");
    FRequests.append(r);
  }
}

void TClassMain::StoreRequests(TTable& t) const {
  for (const KeptRequest& r : FRequests) {
    t.Append();
    t.SetString("REQUEST_NUMBER", r.Number);
    t.SetString("REQUEST_ADDRESS", r.Address);
    t.SetString("REQUEST_LOCAL", r.LocalAddress);
    t.SetString("REQUEST_ACTION", r.Action);
    t.SetString("REQUEST_TEXT", r.Text);
    t.SetString("REQUEST_PROGRESS", QString::number(r.Progress, 'g', 17));
    t.SetInteger("REQUEST_SPLIT", r.Split);
    t.SetString("REQUEST_SIZE", QString::number(r.Size));
    t.SetString("REQUEST_STARTED", r.Started);
    t.SetString("REQUEST_ALIVE", r.Alive);
    t.SetString("REQUEST_FOLDER", r.Folder);
    t.Post();
  }
}

void TClassMain::Save() {
  ClearTables();
  Store();
  FData->SaveFiles();
}

void TClassMain::ClearTables() {
  for (const char* name : {"ADDRESSES", "USERS", "REQUESTS"}) {
    TTable& nested = FData->DataMain().Nested(QString::fromLatin1(name));
    while (nested.RecordCount() > 0) {
      nested.Last();
      nested.Delete();
    }
  }
}

void TClassMain::Store() {
  TMemTable& t103 = FData->DataMain103();
  t103.Edit();
  FAnonymous->WriteRow(t103);

  TMemTable& main = FData->DataMain();
  main.Edit();
  if (FApplyAutostart) WriteAutostart();
  if (!FAddresses->Contains(FRemoteHost)) FRemoteHost.clear();
  const TClassOptions& o = *FOptions;
  main.SetBoolean("MAIN_SECOND_START", FSecondStart);
  main.SetBoolean("MAIN_CLOSE_ON", FCloseOn);
  main.SetString("MAIN_REMOTE_HOST", FRemoteHost);
  main.SetString("OPTIONS_DOWNLOAD_FOLDER", o.DownloadFolder());
  main.SetString("OPTIONS_POP3_ACCOUNT", o.Pop3Account());
  main.SetString("OPTIONS_POP3_PASSWORD", o.Pop3Password());
  main.SetInteger("OPTIONS_POP3_TYPE", o.Pop3Type());
  StoreServers(main);
  main.SetInteger("OPTIONS_POP3_ACCEL_TIME", o.Pop3AccelTime());
  main.SetBoolean("OPTIONS_STARTUP_SYSTEM", o.StartupSystem());
  main.SetBoolean("OPTIONS_STARTUP_TRAY", o.StartupTray());
  main.SetBoolean("OPTIONS_STARTUP_RUN", o.StartupRun());
  main.SetBoolean("OPTIONS_STARTUP_ABOUT", o.StartupAbout());
  main.SetInteger("OPTIONS_ATTACH_COMPRESS", o.AttachCompress());
  main.SetInteger("OPTIONS_ATTACH_VOLUME", o.AttachVolume());
  main.SetInteger("OPTIONS_TIMEOUT_CLIENT", o.TimeoutClient());
  // The main row stays in editing; the store posts it before writing.
  FAddresses->StoreTo(main.Nested("ADDRESSES"));
  FUsers->StoreTo(main.Nested("USERS"));
  StoreRequests(main.Nested("REQUESTS"));
}

void TClassMain::WriteAutostart() {
  const bool ok = FOptions->StartupSystem() ? WriteAutostartEntry(FExeName) : RemoveAutostartEntry();
  if (!ok) qWarning("The autostart entry %s could not be changed", qPrintable(AutostartFile()));
}

bool TClassMain::ReadAutostart() const { return !ReadAutostartEntry().isEmpty(); }
