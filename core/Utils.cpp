#include "core/Utils.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QLocale>
#include <QProcess>
#include <QRegularExpression>
#include <algorithm>
#include <dlfcn.h>
#include <filesystem>
#include <mutex>

namespace fs = std::filesystem;

namespace {

bool IsBlank(QChar c) { return c.unicode() <= 32; }

fs::path ToPath(const QString& text) { return fs::path(text.toStdU16String()); }

qint64 ParseNumber(const QString& part) {
  static const QRegularExpression decimal(QStringLiteral("^-?[0-9]+$"));
  bool ok = decimal.match(part).hasMatch();
  const qint64 value = ok ? part.toLongLong(&ok, 10) : 0;
  if (!ok) throw EConvertError(QStringLiteral("'%1' is not a valid integer value").arg(part).toStdString());
  return value;
}

// The entries of a folder that take part in listings and sizes: everything but "." and "..".
QFileInfoList Entries(const QString& folder, bool* ok) {
  QDir dir(folder);
  *ok = dir.exists() && dir.isReadable();
  if (!*ok) return {};
  return dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
}

}  // namespace

QString TrimText(const QString& text) {
  qsizetype begin = 0, end = text.size();
  while (begin < end && IsBlank(text[begin])) ++begin;
  while (end > begin && IsBlank(text[end - 1])) --end;
  return text.mid(begin, end - begin);
}

void SplitAtTab(QString& line, QString& second) {
  const int at = line.indexOf('\t');
  if (at < 0) {
    second = line;
    line.clear();
  } else {
    second = line.mid(at + 1);
    line.truncate(at);
  }
}

JobTag SplitJobTag(const QString& tag) {
  JobTag result;
  const QString trimmed = TrimText(tag);
  const int dot = trimmed.indexOf('.');
  if (dot < 0) return result;
  result.Id = trimmed.left(dot);
  const QString rest = trimmed.mid(dot + 1);
  const int second = rest.indexOf('.');
  if (second < 0) return result;
  const QString first = rest.left(second), last = rest.mid(second + 1);
  if (!first.isEmpty()) result.First = ParseNumber(first);
  if (!last.isEmpty()) result.Second = ParseNumber(last);
  return result;
}

QString FormatSizeKB(qint64 bytes) {
  const qint64 kb = std::max<qint64>(0, bytes / 1024);
  QLocale locale = QLocale::system();
  locale.setNumberOptions(QLocale::DefaultNumberOptions);  // group thousands
  return locale.toString(kb) + QStringLiteral("KB");
}

QString NewStamp() {
  static std::mutex mutex;
  static qint64 last = 0;
  qint64 now = QDateTime::currentMSecsSinceEpoch();
  {
    std::lock_guard lock(mutex);
    if (now <= last) now = last + 1;
    last = now;
  }
  return QDateTime::fromMSecsSinceEpoch(now).toString(QStringLiteral("yyyyMMddhhmmsszzz"));
}

QString StateName(qint32 state) {
  switch (state) {
    case jsError: return QStringLiteral("Error");
    case jsActive: return QStringLiteral("Active");
    case jsDone: return QStringLiteral("Done");
    case jsStopped: return QStringLiteral("Stopped");
    default: return {};
  }
}

QString VolumeName(qint64 number) {
  return QStringLiteral("disk.") + (number < 100 && number >= 0 ? QStringLiteral("%1").arg(number, 3, 10, QChar('0'))
                                                                 : QString::number(number));
}

bool DeletePath(const QString& path) {
  if (path.isEmpty()) return false;
  std::error_code error;
  fs::remove_all(ToPath(path), error);
  return !error;
}

qint64 FolderSize(const QString& folder) {
  bool ok = false;
  qint64 total = 0;
  for (const QFileInfo& info : Entries(folder, &ok))
    if (!info.isSymLink() || info.exists()) total += info.isDir() ? 0 : info.size();
  return total;
}

bool ListFolder(const QString& folder, QStringList& list) {
  list.clear();
  bool ok = false;
  for (const QFileInfo& info : Entries(folder, &ok)) list.append(folder + '/' + info.fileName());
  return ok;
}

bool RenameVolumes(const QString& folder, QStringList& list) {
  ListFolder(folder, list);
  std::sort(list.begin(), list.end(),
            [](const QString& a, const QString& b) { return a.compare(b, Qt::CaseInsensitive) < 0; });
  for (int i = 0; i < list.size(); ++i) {
    const QFileInfo info(list[i]);
    QString extension;
    if (i + 1 < list.size()) {
      QString number = info.suffix();
      if (number.startsWith('0')) number.remove(0, 1);
      extension = QStringLiteral("z") + number;
    } else {
      extension = QStringLiteral("zip_");
    }
    const QString renamed = info.path() + '/' + info.completeBaseName() + '.' + extension;
    if (QFile::rename(list[i], renamed)) list[i] = renamed;
  }
  return true;
}

QString FolderListing(const QString& folder) {
  QFileInfo where(folder);
  if (folder.isEmpty() || !where.isDir()) return QStringLiteral("Error: ") + kMsgNoDirectory;
  bool ok = false;
  const QFileInfoList entries = Entries(folder, &ok);
  if (!ok) return QStringLiteral("Error: ") + kMsgNoDirectory;
  QString listing;
  for (const QFileInfo& info : entries) {
    if (info.isDir()) continue;
    listing += info.fileName() + '\t' + FormatSizeKB(info.size()) + QStringLiteral("\r\n");
  }
  return listing;
}

bool PathInside(const QString& path, const QString& folder) {
  std::error_code error;
  const fs::path base = fs::weakly_canonical(ToPath(folder), error);
  if (error || base.empty()) return false;
  const fs::path real = fs::weakly_canonical(ToPath(path), error);
  if (error) return false;
  auto b = base.begin(), r = real.begin();
  for (; b != base.end(); ++b, ++r) {
    if (b->empty() && std::next(b) == base.end()) break;  // a trailing separator
    if (r == real.end() || *b != *r) return false;
  }
  return true;
}

QString ResolveSharePath(const QString& request, const QString& share) {
  const int slash = request.indexOf('\\');
  const QString head = slash < 0 ? QString() : TrimText(request.left(slash));
  QString tail = slash < 0 ? TrimText(request) : TrimText(request.mid(slash + 1));
  static const QRegularExpression lineBreak(QStringLiteral("\r\n|\r|\n"));
  for (const QString& line : share.split(lineBreak)) {
    const int gt = line.indexOf('>');
    const QString name = gt < 0 ? QString() : TrimText(line.left(gt));
    QString folder = gt < 0 ? TrimText(line) : TrimText(line.mid(gt + 1));
    if (folder.endsWith('\\') || (folder.endsWith('/') && folder.size() > 1)) folder.chop(1);
    // Only the ASCII letters compare without case in a share name.
    bool same = name.size() == head.size();
    for (int i = 0; same && i < name.size(); ++i)
      same = name[i] == head[i] || (name[i].unicode() < 128 && name[i].toLower() == head[i].toLower());
    if (!same) continue;
    if (folder.isEmpty() || tail.isEmpty()) return {};
    tail.replace('\\', '/');
    if (tail.startsWith('/')) return {};
    const QString path = folder + '/' + tail;
    return PathInside(path, folder) ? path : QString();
  }
  return {};
}

bool RunAndWait(const QString& program, const QStringList& arguments) {
  QProcess process;
  process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
  process.setStandardOutputFile(QProcess::nullDevice());
  process.start(program, arguments);
  if (!process.waitForStarted()) return false;
  while (!process.waitForFinished(50)) {
    if (process.state() == QProcess::NotRunning) break;
    if (QCoreApplication::instance()) QCoreApplication::processEvents();
    if (QCoreApplication::closingDown()) break;
  }
  return true;
}

bool RegisterServer(const QString& path, QString* errorText) {
  void* library = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return true;  // a library that does not load is skipped
  bool ok = true;
  using Entry = long (*)();
  if (auto entry = reinterpret_cast<Entry>(::dlsym(library, "DllRegisterServer"))) {
    if (entry() != 0) {
      ok = false;
      if (errorText) *errorText = QStringLiteral("Unable to register %1").arg(path);
    }
  }
  ::dlclose(library);
  return ok;
}
