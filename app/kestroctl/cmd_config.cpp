// Configuration commands: set Kestro up without its window. Each works on a
// configuration folder DIR (the folder of "server.cfg" and "server103.cfg").
#include "config/ClassData.h"
#include "core/Providers.h"
#include "core/Users.h"
#include "core/TextUtils.h"
#include "main/ClassMain.h"
#include "kestroctl/Command.h"
#include "platform/InstanceLock.h"

#include <QDir>
#include <QFileInfo>

#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <optional>
#include <string>

namespace {

const QStringList kSecretFields = {"OPTIONS_POP3_PASSWORD", "OPTIONS_SMTP_PASSWORD", "ADDRESS_PASSWORD", "USER_PASSWORD"};

QString Folder(const QString& dir) { return QDir(dir).absolutePath(); }

// Holds the single-instance lock of the folder for the whole change, so that
// Kestro cannot start on it half-way and a running Kestro makes us refuse.
struct ConfigLock {
  InstanceLock Lock;
  explicit ConfigLock(const QString& dir) {
    if (InstanceLock::InUse(dir) || !Lock.TryAcquire(dir))
      throw CtlError(QStringLiteral("the configuration in %1 is in use by a running Kestro; close Kestro first")
                         .arg(dir)
                         .toStdString());
  }
};

void RequireFolder(const QString& dir) {
  if (!QFileInfo(dir).isDir())
    throw CtlError(QStringLiteral("%1 is no configuration folder; 'kestroctl config init %1' makes one").arg(dir).toStdString());
}

// A change through the application object, as the program's dialogs make it.
// The autostart entry of this machine is left alone, and a refused change
// writes nothing.
struct ModelEdit {
  QString Dir;
  ConfigLock Lock;
  TClassMain Main;
  explicit ModelEdit(const QString& dir) : Dir(dir), Lock((RequireFolder(dir), dir)), Main(nullptr, dir, false) {
    Main.SetSaveOnDestroy(false);
  }
  int Save() {
    Main.Save();
    return 0;
  }
};

// An existing folder as an absolute path, for a share.
QString ShareFolder(const QString& folder) {
  const QFileInfo info(folder);
  if (!info.isDir()) throw CtlError(QStringLiteral("%1 is no folder").arg(folder).toStdString());
  return info.canonicalFilePath();
}

// A value must fit its field: the configuration would cut it otherwise.
void CheckFits(const TMemTable& table, const QString& field, const QString& value, const QString& what) {
  const FieldDef* def = table.FindField(field);
  if (def && def->Type == FieldType::String && value.size() > def->Size)
    throw CtlError(QStringLiteral("%1 has %2 characters; the configuration keeps at most %3")
                       .arg(what)
                       .arg(value.size())
                       .arg(def->Size)
                       .toStdString());
}

// Whether the optional last argument at index is the flag; anything else there is a usage error.
bool OptionalFlag(const QStringList& args, int index, const char* flag) {
  if (args.size() <= index) return false;
  if (args[index] != QLatin1String(flag))
    throw CtlUsageError(QStringLiteral("unknown option %1").arg(args[index]).toStdString());
  return true;
}

void CheckAddress(const QString& address) {
  if (TrimText(address).isEmpty() || address.contains(u'\r') || address.contains(u'\n'))
    throw CtlError(QStringLiteral("'%1' is no mail address").arg(address).toStdString());
}

int Init(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  const QString dir = Folder(args[0]);
  for (const QString& file : {kFileMain, kFileMain103})
    if (QFileInfo::exists(dir + u'/' + file))
      throw CtlError(QStringLiteral("%1 holds a configuration already").arg(dir).toStdString());
  if (!QFileInfo(dir).isDir()) {
    if (!QDir().mkpath(dir)) throw CtlError(QStringLiteral("cannot create %1").arg(dir).toStdString());
    QFile::setPermissions(dir, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  ModelEdit edit(dir);
  // What the first exit writes: the start-up has offered the account dialog once.
  edit.Main.SetSecondStart(true);
  edit.Save();
  CtlPrint(QStringLiteral("%1\n%2\n").arg(edit.Main.Data().MainFile(), edit.Main.Data().MainFile103()));
  return 0;
}

void ShowTable(TMemTable& table, bool secrets, const QString& indent, QString& out) {
  out += QStringLiteral("%1%2: %3 row(s)\n").arg(indent, table.Name()).arg(table.RecordCount());
  int n = 0;
  for (table.First(); !table.Eof(); table.Next()) {
    out += QStringLiteral("%1  row %2\n").arg(indent).arg(++n);
    for (const FieldDef& f : table.Fields()) {
      if (f.Type == FieldType::Table) {
        ShowTable(table.Nested(f.Name), secrets, indent + "    ", out);
        continue;
      }
      QString value = table.AsString(f.Name);
      if (!secrets && !value.isEmpty() && kSecretFields.contains(f.Name)) value = QStringLiteral("********");
      out += QStringLiteral("%1    %2 = %3\n").arg(indent, f.Name, value);
    }
  }
}

int Show(const QStringList& args) {
  CtlExpectArgs(args, 1, 2);
  const bool secrets = OptionalFlag(args, 1, "--show-secrets");
  const QString dir = Folder(args[0]);
  RequireFolder(dir);
  TClassData data(nullptr, dir);
  data.SetSaveOnDestroy(false);
  QString out;
  for (TMemTable* t : {&data.DataMain(), &data.DataMain103()}) ShowTable(*t, secrets, QString(), out);
  CtlPrint(out);
  return 0;
}

// The password of an account: the first line of standard input when that is
// no terminal (a pipe or a file), else typed at a prompt without echo. Never
// an argument, which every user of the machine could read.
QString ReadPassword() {
  std::string line;
  if (!::isatty(STDIN_FILENO)) {
    std::getline(std::cin, line);
  } else {
    std::fputs("Password: ", stderr);
    std::fflush(stderr);
    termios old {};
    const bool quiet = ::tcgetattr(STDIN_FILENO, &old) == 0;
    if (quiet) {
      termios silent = old;
      silent.c_lflag &= ~tcflag_t(ECHO);
      ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &silent);
    }
    std::getline(std::cin, line);
    if (quiet) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &old);
    std::fputs("\n", stderr);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (line.empty()) throw CtlError("no password given (the first line of standard input, or typed at the prompt)");
  return QString::fromStdString(line);
}

// The servers of "account set": the table's or the guessed ones of the
// account's address, as the account dialog fills them, with the options given.
struct ServerOptions {
  bool Imap = false;
  std::optional<QString> Host[2];
  std::optional<int> Port[2];
  std::optional<MailSecurity> Security[2];
};

ServerOptions ParseServerOptions(const QStringList& args, int from) {
  ServerOptions o;
  for (int i = from; i < args.size(); ++i) {
    const QString& name = args[i];
    if (name == QLatin1String("--imap")) {
      o.Imap = true;
      continue;
    }
    const int side = name.startsWith(QLatin1String("--incoming-")) ? 0 : name.startsWith(QLatin1String("--outgoing-")) ? 1 : -1;
    const QString what = side < 0 ? QString() : name.mid(11);  // after "--incoming-" or "--outgoing-"
    if (side < 0 || (what != QLatin1String("server") && what != QLatin1String("port") && what != QLatin1String("security")))
      throw CtlUsageError(QStringLiteral("unknown option %1").arg(name).toStdString());
    if (i + 1 >= args.size()) throw CtlUsageError(QStringLiteral("%1 needs a value").arg(name).toStdString());
    const QString value = args[++i];
    if (what == QLatin1String("server")) {
      const QString host = TrimText(value);
      if (host.isEmpty() || host.contains(u' ') || host.contains(u'/'))
        throw CtlError(QStringLiteral("'%1' is no server name").arg(value).toStdString());
      o.Host[side] = host;
    } else if (what == QLatin1String("port")) {
      bool ok = false;
      const int port = value.toInt(&ok);
      if (!ok || port < 1 || port > 65535)
        throw CtlError(QStringLiteral("%1 takes a port from 1 to 65535, not '%2'").arg(name, value).toStdString());
      o.Port[side] = port;
    } else {
      const auto mode = ParseMailSecurity(value);
      if (!mode) throw CtlError(QStringLiteral("%1 takes tls, starttls or none, not '%2'").arg(name, value).toStdString());
      o.Security[side] = *mode;
    }
  }
  return o;
}

int AccountSet(const QStringList& args) {
  CtlExpectArgs(args, 2, 15);
  const ServerOptions given = ParseServerOptions(args, 2);
  ModelEdit edit(Folder(args[0]));
  TMemTable& main = edit.Main.Data().DataMain();
  CheckFits(main, "OPTIONS_POP3_ACCOUNT", args[1], "ACCOUNT");
  for (int side = 0; side < 2; ++side)
    if (given.Host[side])
      CheckFits(main, side == 0 ? "OPTIONS_POP3_SERVER" : "OPTIONS_SMTP_SERVER", *given.Host[side], "SERVER");
  const QString password = ReadPassword();
  CheckFits(main, "OPTIONS_POP3_PASSWORD", password, "PASSWORD");
  TClassOptions& o = edit.Main.Options();
  o.SetPop3Account(args[1]);
  o.SetPop3Password(password);
  o.SetPop3Type(given.Imap ? 1 : 0);
  const MailServers proposed = SetupForAccount(args[1], o.Provider()).Servers;
  MailServer servers[2] = {proposed.Incoming(given.Imap), proposed.Smtp};
  for (int side = 0; side < 2; ++side) {
    MailServer& s = servers[side];
    if (given.Host[side]) s.Host = *given.Host[side];
    if (given.Port[side]) {
      s.Port = *given.Port[side];
      s.Security = DefaultMailSecurity(s.Port, s.Security != MailSecurity::None);
    }
    if (given.Security[side]) s.Security = *given.Security[side];
  }
  if (servers[0].Host.isEmpty())
    throw CtlError(QStringLiteral("%1 offers no POP3; use --imap or --incoming-server").arg(args[1]).toStdString());
  o.ChooseServers(servers[0], servers[1]);
  return edit.Save();
}

int OptionSet(const QStringList& args) {
  CtlExpectArgs(args, 3, 3);
  const QString dir = Folder(args[0]);
  RequireFolder(dir);
  ConfigLock lock(dir);
  TClassData data(nullptr, dir);
  data.SetSaveOnDestroy(false);
  TMemTable& main = data.DataMain();
  const FieldDef* def = main.FindField(args[1]);
  if (!def || def->Type == FieldType::Table)
    throw CtlError(QStringLiteral("the main table has no field %1").arg(args[1]).toStdString());
  // A password is typed or piped, never an argument every user could read.
  const bool secret = kSecretFields.contains(def->Name);
  if (secret && args[2] != QLatin1String("-"))
    throw CtlError(QStringLiteral("%1 is a password: give - as VALUE and type it at the prompt or pipe it in")
                       .arg(def->Name)
                       .toStdString());
  const QString value = secret ? ReadPassword() : args[2];
  bool ok = true;
  if (def->Type == FieldType::Boolean)
    ok = value.compare("true", Qt::CaseInsensitive) == 0 || value.compare("false", Qt::CaseInsensitive) == 0;
  else if (def->Type == FieldType::Integer)
    value.toInt(&ok);
  if (!ok)
    throw CtlError(QStringLiteral("%1 takes a %2 value, not '%3'").arg(def->Name, FieldTypeName(def->Type), value).toStdString());
  CheckFits(main, def->Name, value, "VALUE");
  main.Edit();
  main.SetString(def->Name, value);
  data.SaveFiles();
  return 0;
}

int FriendAdd(const QStringList& args) {
  CtlExpectArgs(args, 3, 3);
  ModelEdit edit(Folder(args[0]));
  const QString& address = args[1];
  CheckAddress(address);
  const QString folder = ShareFolder(args[2]);
  TMemTable& users = edit.Main.Data().DataMain().Nested("USERS");
  CheckFits(users, "USER_ADDRESS", address, "ADDRESS");
  CheckFits(users, "USER_FOLDER", folder, "FOLDER");
  // One friend per address, compared without regard to letter case.
  for (int i = 0; i < edit.Main.Users().Count(); ++i)
    if (NormalizeAddress(edit.Main.Users().Items(i)->Address()) == NormalizeAddress(address))
      throw CtlError(QStringLiteral("%1 is a friend already").arg(address).toStdString());
  TClassUser* user = edit.Main.Users().Add();  // every right flag set, as the share dialog does
  user->SetAddress(address);
  user->SetFolder(folder);
  return edit.Save();
}

int FriendList(const QStringList& args) {
  CtlExpectArgs(args, 1, 1);
  const QString dir = Folder(args[0]);
  RequireFolder(dir);
  TClassData data(nullptr, dir);
  data.SetSaveOnDestroy(false);
  TMemTable& users = data.DataMain().Nested("USERS");
  for (users.First(); !users.Eof(); users.Next())
    CtlPrint(QStringLiteral("%1\t%2\n").arg(users.AsString("USER_ADDRESS"), users.AsString("USER_FOLDER")));
  return 0;
}

int FriendRemove(const QStringList& args) {
  CtlExpectArgs(args, 2, 2);
  ModelEdit edit(Folder(args[0]));
  TClassUserList& users = edit.Main.Users();
  for (int i = 0; i < users.Count(); ++i)
    if (NormalizeAddress(users.Items(i)->Address()) == NormalizeAddress(args[1])) {
      users.Delete(i);
      return edit.Save();
    }
  throw CtlError(QStringLiteral("%1 is no friend").arg(args[1]).toStdString());
}

int Anonymous(const QStringList& args) {
  CtlExpectArgs(args, 2, 3);
  const QString& mode = args[1];
  if (!((mode == "on" && args.size() == 3) || (mode == "off" && args.size() == 2)))
    throw CtlUsageError("either 'on FOLDER' or 'off'");
  ModelEdit edit(Folder(args[0]));
  if (mode == "on") {
    const QString folder = ShareFolder(args[2]);
    CheckFits(edit.Main.Data().DataMain103(), "ANONYMOUS_FOLDER", folder, "FOLDER");
    edit.Main.Anonymous().SetFolder(folder);
  }
  edit.Main.Anonymous().SetEnabled(mode == "on");
  return edit.Save();
}

}  // namespace

KESTROCTL_COMMAND("config init", "DIR", "Writes a fresh configuration into DIR, as the first exit of Kestro does.", Init);
KESTROCTL_COMMAND("config show", "DIR [--show-secrets]",
                  "Prints both configuration tables with their rows; passwords only with --show-secrets.", Show);
KESTROCTL_COMMAND("account set",
                  "DIR ACCOUNT [--imap] [--incoming-server HOST] [--incoming-port N] [--incoming-security tls|starttls|none] "
                  "[--outgoing-server HOST] [--outgoing-port N] [--outgoing-security tls|starttls|none]",
                  "Sets the mail account, POP3 or with --imap IMAP4, as the account dialog does: the servers are those "
                  "of the address's provider (or guessed from its domain) unless given; a port given without a "
                  "security mode takes the port's usual one. The password is the first line of standard input, or "
                  "typed at a prompt without echo.", AccountSet);
KESTROCTL_COMMAND("option set", "DIR FIELD VALUE",
                  "Sets a stored field of the main table, such as OPTIONS_POP3_ACCEL_TIME 30 (a password field: VALUE -, "
                  "the password from standard input or the prompt).",
                  OptionSet);
KESTROCTL_COMMAND("friend add", "DIR ADDRESS FOLDER", "Shares FOLDER with the friend ADDRESS.", FriendAdd);
KESTROCTL_COMMAND("friend list", "DIR", "Lists the friends and their folders (address TAB folder).", FriendList);
KESTROCTL_COMMAND("friend remove", "DIR ADDRESS", "Removes the friend ADDRESS.", FriendRemove);
KESTROCTL_COMMAND("anonymous", "DIR on FOLDER | DIR off", "Grants FOLDER to every other sender, or withdraws it.", Anonymous);
