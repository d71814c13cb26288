#include "config/Storage.h"

#include "platform/ErrorLog.h"

#include <QFile>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

// What a root storage and its streams share: the content and the open file.
struct StorageHandle {
  cfb::Document Doc;
  QString Path;
  int Fd = -1;
  bool Writable = false;
  bool Transacted = false;
  bool Dirty = false;
  ~StorageHandle() {
    if (Fd >= 0) ::close(Fd);  // also drops the lock
  }
};

namespace {

StgResult FromErrno(int error) {
  switch (error) {
    case ENOENT: return stg::kFileNotFound;
    case ENOTDIR: return stg::kPathNotFound;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR: return stg::kAccessDenied;
    case EWOULDBLOCK: return stg::kShareViolation;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return stg::kMediumFull;
    case ENOMEM: return stg::kInsufficientMemory;
    case EMFILE:
    case ENFILE: return stg::kFail;
    default: return stg::kFail;
  }
}

// The lock that stands for a share mode: an exclusive lock unless every
// other opener may read and write, or this one only reads and denies writing.
int LockFor(int access, int share) {
  if (share == stgDenyNone || (share == stgDenyWrite && access == stgRead)) return LOCK_SH;
  return LOCK_EX;
}

bool ValidModeArgs(int access, int share) {
  return access >= stgRead && access <= stgReadWrite && share >= stgExclusive && share <= stgDenyNone;
}

StgResult WriteWhole(int fd, const QByteArray& bytes) {
  qint64 done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::pwrite(fd, bytes.constData() + done, bytes.size() - done, done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return errno == ENOSPC ? stg::kMediumFull : stg::kWriteFault;
    }
    done += n;
  }
  if (::ftruncate(fd, bytes.size()) != 0 || ::fsync(fd) != 0) return stg::kWriteFault;
  return stg::kOk;
}

}  // namespace

ECompDocError::ECompDocError(const QString& what, StgResult code)
    : std::runtime_error((what + QStringLiteral(": ") + StgResultText(code)).toStdString()), FCode(code) {}

std::uint32_t StorageMode(int access, int share, bool transacted, bool create) {
  std::uint32_t mode = static_cast<std::uint32_t>(access) & 0x7F;
  mode |= static_cast<std::uint32_t>(share + 1) << 4;
  if (transacted) mode |= kStgmTransacted;
  if (create) mode |= kStgmCreate;
  return mode;
}

StgResult StgIsStorageFile(const QString& path) {
  if (path.isEmpty()) return stg::kInvalidName;
  const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return FromErrno(errno);
  char head[8];
  qint64 got = 0;
  while (got < 8) {
    const ssize_t n = ::read(fd, head + got, 8 - got);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    got += n;
  }
  ::close(fd);
  return cfb::Document::HasSignature(QByteArray(head, static_cast<qsizetype>(got))) ? stg::kOk : stg::kFalse;
}

// ---- TStorage

TStorage::~TStorage() {
  FName.clear();
  FParent = nullptr;
}

bool TStorage::Writable() const { return FHandle && FHandle->Writable; }

std::vector<cfb::ElementInfo> TStorage::Elements() const {
  std::vector<cfb::ElementInfo> all = FHandle->Doc.Elements();
  if (FEntry == cfb::Document::kRoot) return all;
  // Below a sub-storage: the elements under its path, relative to it.
  QStringList path;
  for (const TStorage* s = this; s && s->FParent; s = s->FParent) path.prepend(s->FName);
  const QString prefix = path.join(u'/') + u'/';
  std::vector<cfb::ElementInfo> out;
  for (auto& e : all)
    if (e.Path.startsWith(prefix, Qt::CaseInsensitive)) {
      e.Path = e.Path.mid(prefix.size());
      out.push_back(e);
    }
  return out;
}

// ---- TRootStorage

void TRootStorage::Fail(const char* what, StgResult code) {
  FLastResult = code;
  throw ECDStorageError(QString::fromLatin1(what), code);
}

TRootStorage::TRootStorage(const QString& name, int access, int share, bool transacted, bool create) {
  if (create) CreateNew(name, access, share, transacted);
  else Open(name, access, share, transacted);
  FName = name;
  FParent = nullptr;
}

void TRootStorage::CreateNew(const QString& name, int access, int share, bool transacted) {
  if (!ValidModeArgs(access, share) || access == stgRead) Fail("root storage create failed", stg::kInvalidFlag);
  FHandle = std::make_shared<StorageHandle>();
  FHandle->Writable = true;
  FHandle->Transacted = transacted;
  if (name.isEmpty()) return;  // a temporary storage, gone when released: kept in memory
  FHandle->Path = name;
  const int fd = ::open(QFile::encodeName(name).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
  if (fd < 0) Fail("root storage create failed", FromErrno(errno));
  FHandle->Fd = fd;
  if (::flock(fd, LockFor(access, share) | LOCK_NB) != 0) Fail("root storage create failed", FromErrno(errno));
  // The new file is an empty compound file at once.
  StgResult r = stg::kOk;
  const QByteArray empty = FHandle->Doc.Serialize(&r);
  if (r == stg::kOk) r = WriteWhole(fd, empty);
  if (r != stg::kOk) Fail("root storage create failed", r);
}

void TRootStorage::Open(const QString& name, int access, int share, bool transacted) {
  if (name.isEmpty()) Fail("no storage name given", stg::kFail);
  if (!ValidModeArgs(access, share)) Fail("root storage open failed", stg::kInvalidFlag);
  FLastResult = StgIsStorageFile(name);
  if (FLastResult != stg::kOk) Fail("not a storage file", FLastResult);
  FHandle = std::make_shared<StorageHandle>();
  FHandle->Path = name;
  FHandle->Writable = access != stgRead;
  FHandle->Transacted = transacted;
  const int fd = ::open(QFile::encodeName(name).constData(), (access == stgRead ? O_RDONLY : O_RDWR) | O_CLOEXEC);
  if (fd < 0) Fail("root storage open failed", FromErrno(errno));
  FHandle->Fd = fd;
  if (::flock(fd, LockFor(access, share) | LOCK_NB) != 0) Fail("root storage open failed", FromErrno(errno));
  struct stat st {};
  if (::fstat(fd, &st) != 0) Fail("root storage open failed", FromErrno(errno));
  if (st.st_size > cfb::kMaxFileSize) Fail("root storage open failed", stg::kDocfileTooLarge);
  QByteArray image(static_cast<qsizetype>(st.st_size), Qt::Uninitialized);
  qint64 got = 0;
  while (got < image.size()) {
    const ssize_t n = ::pread(fd, image.data() + got, image.size() - got, got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) Fail("root storage open failed", stg::kReadFault);
    if (n == 0) break;
    got += n;
  }
  image.truncate(got);
  const StgResult r = FHandle->Doc.Parse(image);
  if (r == stg::kFalse) Fail("not a storage file", r);
  if (r != stg::kOk) Fail("root storage open failed", r);
}

std::unique_ptr<TRootStorage> TRootStorage::FromBytes(const QByteArray& image, int access) {
  std::unique_ptr<TRootStorage> root(new TRootStorage());
  root->FHandle = std::make_shared<StorageHandle>();
  root->FHandle->Writable = access != stgRead;
  const StgResult r = root->FHandle->Doc.Parse(image);
  if (r == stg::kFalse) root->Fail("not a storage file", r);
  if (r != stg::kOk) root->Fail("root storage open failed", r);
  return root;
}

TRootStorage::~TRootStorage() {
  if (FHandle && !FHandle->Transacted && FHandle->Dirty) {
    try {
      Commit();
    } catch (...) {
      LogDropped("writing a compound file on release");  // a caller that must know calls Commit
    }
  }
}

void TRootStorage::Commit() {
  if (!FHandle->Dirty) return;
  if (FHandle->Fd < 0) {
    FHandle->Dirty = false;  // in memory: nothing to write
    return;
  }
  StgResult r = stg::kOk;
  const QByteArray bytes = FHandle->Doc.Serialize(&r);
  if (r == stg::kOk) r = WriteWhole(FHandle->Fd, bytes);
  if (r != stg::kOk) Fail("root storage write failed", r);
  FHandle->Dirty = false;
  FLastResult = stg::kOk;
}

QByteArray TRootStorage::Bytes() const {
  StgResult r = stg::kOk;
  QByteArray bytes = FHandle->Doc.Serialize(&r);
  if (r != stg::kOk) throw ECDStorageError(QStringLiteral("root storage write failed"), r);
  return bytes;
}

// ---- TSubStorage

TSubStorage::TSubStorage(const QString& name, TStorage& parent) {
  FHandle = parent.Handle();
  const int index = FHandle->Doc.FindChild(parent.Entry(), name);
  if (index < 0 || !FHandle->Doc.IsStorage(index)) {
    FLastResult = stg::kFileNotFound;
    throw ECDStorageError(QStringLiteral("storage open failed"), FLastResult);
  }
  FEntry = index;
  FName = FHandle->Doc.EntryName(index);
  FParent = &parent;
}

// ---- TByteStream

QByteArray TByteStream::ReadAll() {
  const qint64 here = Seek(0, 1);
  const qint64 size = Size();
  if (here < 0 || here >= size) return {};
  QByteArray out(static_cast<qsizetype>(size - here), Qt::Uninitialized);
  out.truncate(static_cast<qsizetype>(Read(out.data(), out.size())));
  return out;
}

bool TByteStream::WriteAll(const QByteArray& data) {
  return Write(data.constData(), data.size()) == data.size();
}

// ---- TStorageStream

TStorageStream::TStorageStream(const QString& name, bool create, int access, TStorage& storage) {
  FHandle = storage.Handle();
  cfb::Document& doc = FHandle->Doc;
  const char* what = create ? "stream create failed" : "stream open failed";
  auto fail = [&](const char* message, StgResult code) {
    FLastResult = code;
    throw ECDStreamError(QString::fromLatin1(message), code);
  };
  if (access < stgRead || access > stgReadWrite) fail(what, stg::kInvalidFlag);
  if (access != stgRead && !FHandle->Writable) fail(what, stg::kAccessDenied);
  if (create) {
    if (name.isEmpty()) fail(what, stg::kInvalidName);
    StgResult r = stg::kOk;
    FEntry = doc.CreateStream(storage.Entry(), name, &r);
    if (FEntry < 0) fail(what, r);
    FHandle->Dirty = true;
  } else {
    if (name.isEmpty()) fail("no stream name given", stg::kFail);
    const int index = doc.FindChild(storage.Entry(), name);
    if (!doc.IsStream(index)) fail(what, stg::kFileNotFound);
    if (doc.OpenCount(index) > 0) fail(what, stg::kAccessDenied);
    const StgResult r = doc.LoadStream(index);
    if (r != stg::kOk) fail(what, r);
    FEntry = index;
  }
  ++doc.OpenCount(FEntry);
  FAccess = access;
  FName = name;
  FStorage = &storage;
}

TStorageStream::~TStorageStream() {
  --FHandle->Doc.OpenCount(FEntry);
  FName.clear();
  FStorage = nullptr;
}

qint64 TStorageStream::Read(void* buffer, qint64 count) {
  if (FAccess == stgWrite) {
    FLastResult = stg::kAccessDenied;
    return 0;
  }
  if (count < 0 || (count > 0 && !buffer)) {
    FLastResult = stg::kInvalidParameter;
    return 0;
  }
  const QByteArray& data = FHandle->Doc.StreamData(FEntry);
  const qint64 n = std::max<qint64>(0, std::min<qint64>(count, data.size() - FPosition));
  if (n > 0) std::memcpy(buffer, data.constData() + FPosition, static_cast<std::size_t>(n));
  FPosition += n;
  FLastResult = stg::kOk;
  return n;
}

qint64 TStorageStream::Write(const void* buffer, qint64 count) {
  if (FAccess == stgRead) {
    FLastResult = stg::kAccessDenied;
    return 0;
  }
  if (count < 0 || (count > 0 && !buffer)) {
    FLastResult = stg::kInvalidParameter;
    return 0;
  }
  if (FPosition + count > cfb::kMaxStreamSize) {
    FLastResult = stg::kMediumFull;
    return 0;
  }
  QByteArray& data = FHandle->Doc.StreamData(FEntry);
  if (FPosition + count > data.size()) data.resize(static_cast<qsizetype>(FPosition + count), '\0');
  if (count > 0) std::memcpy(data.data() + FPosition, buffer, static_cast<std::size_t>(count));
  FPosition += count;
  FHandle->Dirty = true;
  FLastResult = stg::kOk;
  return count;
}

qint64 TStorageStream::Seek(qint64 offset, int origin) {
  qint64 base = 0;
  switch (origin) {
    case 0: base = 0; break;
    case 1: base = FPosition; break;
    case 2: base = Size(); break;
    default:
      FLastResult = stg::kInvalidFunction;
      return -1;
  }
  const qint64 target = base + offset;
  if (target < 0) {
    FLastResult = stg::kInvalidFunction;
    return -1;
  }
  FPosition = target;
  FLastResult = stg::kOk;
  return FPosition;
}

qint64 TStorageStream::Size() const { return FHandle->Doc.StreamData(FEntry).size(); }

void TStorageStream::SetSize(qint64 size) {
  if (FAccess == stgRead) {
    FLastResult = stg::kAccessDenied;
    return;
  }
  if (size < 0) {
    FLastResult = stg::kInvalidParameter;
    return;
  }
  if (size > cfb::kMaxStreamSize) {
    FLastResult = stg::kMediumFull;
    return;
  }
  FHandle->Doc.StreamData(FEntry).resize(static_cast<qsizetype>(size), '\0');
  FHandle->Dirty = true;
  FLastResult = stg::kOk;
}
