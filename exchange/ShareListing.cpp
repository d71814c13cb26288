#include "exchange/ShareListing.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>
#include <filesystem>

#include "core/FileUtils.h"
#include "core/TextUtils.h"
#include "message/PeerMessage.h"

namespace {
namespace fs = std::filesystem;

// The path with ".." and symbolic links followed, without a trailing
// separator; empty when it cannot be made out.
fs::path RealPath(const QString& path) {
  std::error_code error;
  fs::path real = fs::weakly_canonical(fs::path(path.toStdU16String()), error);
  if (error) return {};
  real = real.lexically_normal();
  if (!real.has_filename() && real != real.root_path()) real = real.parent_path();
  return real;
}
}  // namespace

namespace {
// The listing of folder; withFolders, its subfolders first.
Result<QString> ListFolder(const QString& folder, bool withFolders) {
  const QDir dir(folder);
  if (folder.isEmpty() || !QFileInfo(folder).isDir() || !dir.isReadable()) return Failure(peer::kMsgNoDirectory);
  QString folders, files;
  for (const QFileInfo& info :
       dir.entryInfoList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::NoSort)) {
    if (!info.isDir())
      files += info.fileName() + '\t' + FormatSizeKB(info.size()) + QStringLiteral("\r\n");
    else if (withFolders && PathInside(info.filePath(), folder))
      folders += info.fileName() + QStringLiteral("/\tDIR\r\n");
  }
  return folders + files;
}
}  // namespace

Result<QString> FolderListing(const QString& folder) { return ListFolder(folder, false); }

Result<QString> FolderListingWithFolders(const QString& folder) { return ListFolder(folder, true); }

bool NamesShareTop(const QString& folder) {
  const QString text = TrimText(folder);
  return text.isEmpty() || text == QLatin1String("/");
}

QString ResolveShareFolder(const QString& folder, const QString& share) {
  QString text = TrimText(folder);
  if (NamesShareTop(text)) return {};
  if (text.startsWith('/')) text.remove(0, 1);
  const QString path = ResolveSharePath(text, share);
  return !path.isEmpty() && QFileInfo(path).isDir() ? path : QString();
}

bool ReachesBelowTop(const QString& request, const QString& share) {
  const int slash = request.indexOf('\\');
  const QString tail = TrimText(slash < 0 ? request : request.mid(slash + 1));
  if (tail.contains('/') || tail.contains('\\')) return true;
  const QString path = ResolveSharePath(request, share);
  return !path.isEmpty() && QFileInfo(path).isDir();
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
    // The granted folder itself ("." or "sub/..") is no file of it.
    if (!PathInside(path, folder) || RealPath(path) == RealPath(folder)) return {};
    return path;
  }
  return {};
}
