#include "config/ClassData.h"

#include "config/Storage.h"
#include "platform/ErrorLog.h"
#include "platform/Settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QtGlobal>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

QString SystemError(int error) { return QString::fromLocal8Bit(std::strerror(error)); }

// Fields that later versions added to the tables: a file written before them
// simply lacks them, and reads as if they held nothing.
bool AddedLater(const QString& field) {
  for (const char* name : {"REQUESTS", "OPTIONS_POP3_SECURITY", "OPTIONS_SMTP_SECURITY"})
    if (field.compare(QLatin1String(name), Qt::CaseInsensitive) == 0) return true;
  return false;
}

// Every field of expected must be in got with the same type, nested tables
// included; a field added later may be missing.
QString SchemaMismatch(const std::vector<FieldDef>& expected, const TMemTable& got, const std::vector<FieldDef>& gotFields) {
  for (const FieldDef& e : expected) {
    const FieldDef* g = nullptr;
    for (const FieldDef& f : gotFields)
      if (f.Name.compare(e.Name, Qt::CaseInsensitive) == 0) g = &f;
    if (!g && AddedLater(e.Name)) continue;
    if (!g) return QStringLiteral("the table \"%1\" has no field \"%2\"").arg(got.Name(), e.Name);
    if (g->Type != e.Type)
      return QStringLiteral("the field \"%1\" is a %2, not a %3").arg(e.Name, FieldTypeName(g->Type), FieldTypeName(e.Type));
    if (e.Type == FieldType::Table) {
      const QString nested = SchemaMismatch(e.Fields, got, g->Fields);
      if (!nested.isEmpty()) return nested;
    }
  }
  return QString();
}

// Removes temporary files of earlier writes whose writer is gone (nobody holds their lock).
void RemoveStaleTemporaries(const QString& folder, const QString& fileName) {
  const QStringList stale =
      QDir(folder).entryList({QStringLiteral(".%1.??????").arg(fileName)}, QDir::Files | QDir::Hidden | QDir::System);
  for (const QString& name : stale) {
    const QByteArray path = QFile::encodeName(folder + u'/' + name);
    const int fd = ::open(path.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) continue;
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) ::unlink(path.constData());
    ::close(fd);
  }
}

// A save writes both files as pending copies first, then a commit mark, then
// renames both over the files and removes the mark. A load first finishes a
// save whose mark is there and forgets one whose mark is not, so that it
// always reads the two files of one save.
QString PendingPath(const QString& path) {
  const QFileInfo info(path);
  return info.absolutePath() + QStringLiteral("/.") + info.fileName() + QStringLiteral(".pending");
}
QString CommitMarkPath(const QString& folder) { return folder + QStringLiteral("/.save.commit"); }

void SyncFolder(const QString& folder) {
  const int dirFd = ::open(QFile::encodeName(folder).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dirFd < 0) return;
  ::fsync(dirFd);
  ::close(dirFd);
}

// Renames each pending copy over its file. Raises EConfigFileError.
void MovePendingCopies(const QStringList& paths) {
  for (const QString& path : paths) {
    const QString pending = PendingPath(path);
    if (!QFileInfo::exists(pending)) continue;  // renamed before an interruption
    if (::rename(QFile::encodeName(pending).constData(), QFile::encodeName(path).constData()) != 0)
      throw EConfigFileError(path, SystemError(errno), true);
  }
}

// Finishes or forgets a save that was interrupted (see PendingPath).
void RecoverInterruptedSave(const QStringList& paths) {
  if (paths.isEmpty()) return;
  const QString folder = QFileInfo(paths.first()).absolutePath();
  const QString mark = CommitMarkPath(folder);
  if (QFileInfo::exists(mark)) {
    MovePendingCopies(paths);
    SyncFolder(folder);
    QFile::remove(mark);
  } else {
    for (const QString& path : paths) QFile::remove(PendingPath(path));
  }
  SyncFolder(folder);
}

}  // namespace

EConfigFileError::EConfigFileError(const QString& file, const QString& reason, bool writing)
    : std::runtime_error((writing ? QStringLiteral("Cannot write the configuration file \"%1\": %2")
                                  : QStringLiteral("Cannot read the configuration file \"%1\": %2"))
                             .arg(file, reason)
                             .toStdString()),
      FFile(file),
      FReason(reason) {}

void WriteFileAtomically(const QString& path, const QByteArray& bytes) {
  const QFileInfo info(path);
  const QString folder = info.absolutePath();
  auto fail = [&](const QString& reason) { throw EConfigFileError(path, reason, true); };
  if (!QFileInfo::exists(folder)) {
    if (!QDir().mkpath(folder)) fail(QStringLiteral("the folder \"%1\" cannot be created").arg(folder));
    QFile::setPermissions(folder, QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
  }
  RemoveStaleTemporaries(folder, info.fileName());
  QByteArray temp = QFile::encodeName(folder + QStringLiteral("/.%1.XXXXXX").arg(info.fileName()));
  const int fd = ::mkostemp(temp.data(), O_CLOEXEC);  // mode 0600
  if (fd < 0) fail(SystemError(errno));
  // Held until the rename: a later writer sees that this temporary is alive.
  ::flock(fd, LOCK_EX);
  int error = 0;
  qint64 done = 0;
  while (!error && done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.constData() + done, static_cast<std::size_t>(bytes.size() - done));
    if (n < 0 && errno != EINTR) error = errno;
    if (n > 0) done += n;
  }
  if (!error && ::fchmod(fd, S_IRUSR | S_IWUSR) != 0) error = errno;
  if (!error && ::fsync(fd) != 0) error = errno;
  if (!error && ::rename(temp.constData(), QFile::encodeName(path).constData()) != 0) error = errno;
  if (error) ::unlink(temp.constData());
  ::close(fd);
  if (error) fail(SystemError(error));
  SyncFolder(folder);  // the rename itself reaches the disk
}

// ---- TClassData

TClassData::TClassData(QObject* owner, const std::optional<QString>& confFolder) : TClassCustom(owner) {
  KeyFileCipher(FCipher);
  FDataMain.SetName(kTableMain);
  FDataMain103.SetName(kTableMain103);
  DefineTables();
  ReadFileNames(confFolder);
  RecoverInterruptedSave({FMainFile103, FMainFile});
  LoadTable(FDataMain, FMainFile);
  LoadTable(FDataMain103, FMainFile103);
}

TClassData::~TClassData() {
  if (!FSaveOnDestroy) return;
  try {
    SaveFiles();
  } catch (...) {
    LogDropped("writing the configuration files");  // no caller is left to tell
  }
}

void TClassData::KeyFileCipher(MessageCipher& cipher) { cipher.SetKey(kFileKey); }

std::vector<FieldDef> TClassData::MainFields() {
  using F = FieldDef;
  return {F::Bool("MAIN_SECOND_START"),
          F::Bool("MAIN_CLOSE_ON"),
          F::Str("MAIN_REMOTE_HOST", 100),
          F::Str("OPTIONS_DOWNLOAD_FOLDER", 4000),
          F::Int("OPTIONS_SERVER_TYPE"),
          F::Str("OPTIONS_POP3_SERVER", 100),
          F::Str("OPTIONS_POP3_ACCOUNT", 50),
          F::Str("OPTIONS_POP3_PASSWORD", 50),
          F::Bool("OPTIONS_POP3_AUTHENT"),
          F::Int("OPTIONS_POP3_ACCEL_TIME"),
          F::Int("OPTIONS_POP3_PORT"),
          F::Bool("OPTIONS_POP3_SSL"),
          F::Int("OPTIONS_POP3_TYPE"),
          F::Str("OPTIONS_POP3_FOLDER", 50),
          F::Str("OPTIONS_SMTP_SERVER", 100),
          F::Str("OPTIONS_SMTP_ACCOUNT", 50),
          F::Str("OPTIONS_SMTP_PASSWORD", 50),
          F::Str("OPTIONS_SMTP_ADDRESS", 100),
          F::Bool("OPTIONS_SMTP_AUTHENT_ON"),
          F::Bool("OPTIONS_SMTP_AUTHENT"),
          F::Bool("OPTIONS_SMTP_POP3_AUTHENT"),
          F::Int("OPTIONS_SMTP_PORT"),
          F::Bool("OPTIONS_SMTP_SSL"),
          F::Bool("OPTIONS_STARTUP_SYSTEM"),
          F::Bool("OPTIONS_STARTUP_TRAY"),
          F::Bool("OPTIONS_STARTUP_RUN"),
          F::Bool("OPTIONS_STARTUP_ABOUT"),
          F::Int("OPTIONS_ATTACH_COMPRESS"),
          F::Int("OPTIONS_ATTACH_VOLUME"),
          F::Int("OPTIONS_TIMEOUT_CLIENT"),
          F::Nested("ADDRESSES", {F::Str("ADDRESS_ADDRESS", 100), F::Str("ADDRESS_LOGIN", 50),
                                  F::Str("ADDRESS_PASSWORD", 50)}),
          F::Nested("USERS", {F::Str("USER_ADDRESS", 100), F::Bool("USER_CHANGE_DIR"), F::Bool("USER_DOWNLOAD"),
                              F::Bool("USER_CMD_LINE"), F::Bool("USER_AUTHENT"), F::Str("USER_LOGIN", 50),
                              F::Str("USER_PASSWORD", 50), F::Str("USER_FOLDER", 4000)}),
          // Added later (files written before lack it): the user's requests
          // still running, so that a restart goes on with them.
          F::Nested("REQUESTS", {F::Str("REQUEST_NUMBER", 17), F::Str("REQUEST_ADDRESS", 100),
                                 F::Str("REQUEST_LOCAL", 100), F::Str("REQUEST_ACTION", 20),
                                 F::Str("REQUEST_TEXT", 1000000), F::Str("REQUEST_PROGRESS", 30),
                                 F::Int("REQUEST_SPLIT"), F::Str("REQUEST_SIZE", 20), F::Str("REQUEST_STARTED", 8),
                                 F::Str("REQUEST_ALIVE", 30), F::Str("REQUEST_FOLDER", 4000)}),
          // Added later: how the chosen incoming and outgoing servers are
          // secured ("tls", "starttls", "none"); empty when none are chosen.
          F::Str("OPTIONS_POP3_SECURITY", 20),
          F::Str("OPTIONS_SMTP_SECURITY", 20)};
}

std::vector<FieldDef> TClassData::Main103Fields() {
  using F = FieldDef;
  return {F::Bool("ANONYMOUS_ON"), F::Bool("ANONYMOUS_CMD_LINE"), F::Bool("ANONYMOUS_CHANGE_DIR"),
          F::Bool("ANONYMOUS_DOWNLOAD"), F::Str("ANONYMOUS_FOLDER", 4000)};
}

void TClassData::DefineTables() {
  FDataMain.Define(MainFields());
  FDataMain103.Define(Main103Fields());
}

void TClassData::ReadFileNames(const std::optional<QString>& confFolder) {
  FMainFile.clear();
  FMainFile103.clear();
  QString folder = confFolder ? *confFolder : InstallSettings::Current().Conf;
  while (folder.size() > 1 && folder.endsWith(u'/')) folder.chop(1);
  if (folder == u'/') folder.clear();
  FMainFile = folder + u'/' + kFileMain;
  FMainFile103 = folder + u'/' + kFileMain103;
}

QByteArray TClassData::EncodeFile(const TMemTable& table, MessageCipher& cipher, const QString& path) {
  QByteArray image;
  try {
    TRootStorage root(QString(), stgReadWrite, stgExclusive, false, true);
    {
      TStorageStream stream(table.Name(), true, stgReadWrite, root);
      if (!stream.WriteAll(table.SavePacket()))
        throw ECDStreamError(QStringLiteral("stream write failed"), stream.LastResult());
    }
    image = root.Bytes();
  } catch (const ECompDocError& e) {
    throw EConfigFileError(path, QString::fromUtf8(e.what()), true);
  }
  return cipher.Encrypt(image);
}

void TClassData::DecodeFile(const QByteArray& bytes, TMemTable& table, MessageCipher& cipher, const QString& path) {
  QByteArray packet;
  try {
    // Decrypted in memory only: the file on disk stays encrypted.
    auto root = TRootStorage::FromBytes(cipher.Decrypt(bytes), stgReadWrite);
    TStorageStream stream(table.Name(), false, stgReadWrite, *root);
    packet = stream.ReadAll();
  } catch (const ECompDocError& e) {
    throw EConfigFileError(path, QString::fromUtf8(e.what()), false);
  }
  TMemTable loaded;
  try {
    loaded.LoadPacket(packet);
  } catch (const ETableError& e) {
    throw EConfigFileError(path, QString::fromUtf8(e.what()), false);
  }
  if (loaded.Name() != table.Name())
    throw EConfigFileError(path, QStringLiteral("the stream holds the table \"%1\"").arg(loaded.Name()), false);
  const QString mismatch = SchemaMismatch(table.Fields(), loaded, loaded.Fields());
  if (!mismatch.isEmpty()) throw EConfigFileError(path, mismatch, false);
  const std::vector<FieldDef> expected = table.Fields();
  table.LoadPacket(packet);
  for (const FieldDef& e : expected)
    if (!table.FindField(e.Name)) table.AddField(e);  // added later: the file is older
}

void TClassData::LoadTable(TMemTable& table, const QString& path) {
  const QByteArray name = QFile::encodeName(path);
  const int fd = ::open(name.constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return;  // no file yet: the table stays empty
    throw EConfigFileError(path, SystemError(errno), false);
  }
  QByteArray bytes;
  QString reason;
  struct stat st {};
  if (::flock(fd, LOCK_EX | LOCK_NB) != 0)
    reason = QStringLiteral("root storage open failed: ") + StgResultText(stg::kShareViolation);
  else if (::fstat(fd, &st) != 0)
    reason = SystemError(errno);
  else if (!S_ISREG(st.st_mode))
    reason = QStringLiteral("not a regular file");
  else if (st.st_size > kMaxFileSize)
    reason = QStringLiteral("the file is too large");
  else {
    bytes.resize(static_cast<qsizetype>(st.st_size));
    qint64 got = 0;
    while (got < bytes.size()) {
      const ssize_t n = ::read(fd, bytes.data() + got, static_cast<std::size_t>(bytes.size() - got));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) reason = SystemError(errno);
      if (n <= 0) break;
      got += n;
    }
    bytes.truncate(got);
  }
  ::close(fd);
  if (!reason.isEmpty()) throw EConfigFileError(path, reason, false);
  DecodeFile(bytes, table, FCipher, path);
}

void TClassData::SaveFiles() {
  // The row the application object left in editing is complete now.
  if (FDataMain.Editing()) FDataMain.Post();
  if (FDataMain103.Editing()) FDataMain103.Post();
  // Both files change together: pending copies, the commit mark, the renames.
  const QStringList paths = {FMainFile103, FMainFile};
  RecoverInterruptedSave(paths);
  const QString folder = QFileInfo(FMainFile).absolutePath();
  for (const QString& path : paths) RemoveStaleTemporaries(folder, QFileInfo(path).fileName());
  WriteFileAtomically(PendingPath(FMainFile103), EncodeFile(FDataMain103, FCipher, FMainFile103));
  WriteFileAtomically(PendingPath(FMainFile), EncodeFile(FDataMain, FCipher, FMainFile));
  WriteFileAtomically(CommitMarkPath(folder), QByteArray());
  MovePendingCopies(paths);
  SyncFolder(folder);
  QFile::remove(CommitMarkPath(folder));
}
