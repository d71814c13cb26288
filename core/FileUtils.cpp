#include "core/FileUtils.h"

#include <QDir>
#include <QFileInfo>
#include <filesystem>

namespace fs = std::filesystem;

namespace {

fs::path ToPath(const QString& text) { return fs::path(text.toStdU16String()); }

// The entries of a folder that take part in listings and sizes: everything but "." and "..".
QFileInfoList Entries(const QString& folder, bool* ok) {
  QDir dir(folder);
  *ok = dir.exists() && dir.isReadable();
  if (!*ok) return {};
  return dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort);
}

}  // namespace

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
