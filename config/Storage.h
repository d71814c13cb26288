// Compound files as storages and streams: a root storage creates or opens a
// whole file, a stream is a named byte stream inside a storage.
//
// Every create or open builds a mode word from access, share, transacted and
// create. Share modes are kept with advisory file locks: an exclusive open
// makes every other open of the same file fail, also within one process.
// A root storage keeps the file's content in memory; a direct (not transacted)
// storage writes its changes back when it is released or on Commit, a
// transacted one only on Commit.
//
// Errors: the container's own vocabulary is the StgResult code
// (StorageResult.h). The document and the byte streams answer with codes (a
// stream keeps its last one in LastResult); creating or opening a storage or
// a stream, Commit and Bytes raise ECompDocError, which carries the failed
// step and the code. The configuration store turns it into EConfigFileError,
// so above config/ only tools that open compound files directly see it.
#pragma once

#include "config/CompoundDocument.h"
#include "config/StorageResult.h"

#include <QByteArray>
#include <QString>
#include <memory>
#include <stdexcept>
#include <vector>

// Errors of compound files: the message is the failed step, ": " and the text of the code.
class ECompDocError : public std::runtime_error {
public:
  ECompDocError(const QString& what, StgResult code);
  StgResult Code() const { return FCode; }
  QString Message() const { return QString::fromUtf8(what()); }

private:
  StgResult FCode;
};
class ECDStorageError : public ECompDocError {
public:
  using ECompDocError::ECompDocError;
};
class ECDStreamError : public ECompDocError {
public:
  using ECompDocError::ECompDocError;
};

enum StgAccess : int { stgRead = 0, stgWrite = 1, stgReadWrite = 2 };
enum StgShare : int { stgExclusive = 0, stgDenyWrite = 1, stgDenyRead = 2, stgDenyNone = 3 };

inline constexpr std::uint32_t kStgmTransacted = 0x10000;
inline constexpr std::uint32_t kStgmCreate = 0x1000;
inline constexpr std::uint32_t kStgmDeleteOnRelease = 0x4000000;

// access in the low 7 bits, (share + 1) << 4, 0x10000 when transacted, 0x1000 when create.
std::uint32_t StorageMode(int access, int share, bool transacted, bool create);

// kOk when the file is a compound file, kFalse when it is not, another code
// when it cannot be read.
StgResult StgIsStorageFile(const QString& path);

struct StorageHandle;

class TStorage {
public:
  virtual ~TStorage();
  TStorage(const TStorage&) = delete;
  TStorage& operator=(const TStorage&) = delete;

  QString Name() const { return FName; }
  TStorage* Parent() const { return FParent; }
  const std::shared_ptr<StorageHandle>& Handle() const { return FHandle; }
  StgResult LastResult() const { return FLastResult; }
  // The directory entry of this storage inside the file.
  int Entry() const { return FEntry; }
  bool Writable() const;

  // The storages and streams below this one, depth first.
  std::vector<cfb::ElementInfo> Elements() const;

protected:
  TStorage() = default;
  QString FName;
  TStorage* FParent = nullptr;
  std::shared_ptr<StorageHandle> FHandle;
  StgResult FLastResult = stg::kOk;
  int FEntry = cfb::Document::kRoot;
};

class TRootStorage : public TStorage {
public:
  // Creates (create true, replacing a file of that name) or opens the compound
  // file name. A create without a name gives a storage in memory only.
  // Raises ECDStorageError.
  TRootStorage(const QString& name, int access, int share, bool transacted, bool create);
  // A compound file held in memory, parsed from its bytes. Raises ECDStorageError
  // with "not a storage file" or "root storage open failed".
  static std::unique_ptr<TRootStorage> FromBytes(const QByteArray& image, int access = stgReadWrite);
  ~TRootStorage() override;

  // Writes the changes into the file. Raises ECDStorageError "root storage write failed".
  void Commit();
  // The whole compound file as it would be written now. Raises ECDStorageError.
  QByteArray Bytes() const;

private:
  TRootStorage() = default;
  void Open(const QString& name, int access, int share, bool transacted);
  void CreateNew(const QString& name, int access, int share, bool transacted);
  [[noreturn]] void Fail(const char* what, StgResult code);
};

// A storage inside another one, opened by name. Raises ECDStorageError "storage open failed".
class TSubStorage : public TStorage {
public:
  TSubStorage(const QString& name, TStorage& parent);
};

// The byte-stream base: read, write, seek and size, without exceptions.
class TByteStream {
public:
  virtual ~TByteStream() = default;
  virtual qint64 Read(void* buffer, qint64 count) = 0;
  virtual qint64 Write(const void* buffer, qint64 count) = 0;
  // origin 0 from the start, 1 from the current position, 2 from the end.
  virtual qint64 Seek(qint64 offset, int origin) = 0;
  virtual qint64 Size() const = 0;
  virtual void SetSize(qint64 size) = 0;

  // The rest of the stream from the current position.
  QByteArray ReadAll();
  // True when every byte was written.
  bool WriteAll(const QByteArray& data);
};

class TStorageStream : public TByteStream {
public:
  // Creates (replacing an element of that name) or opens the stream name in
  // storage, always exclusively. Raises ECDStreamError.
  TStorageStream(const QString& name, bool create, int access, TStorage& storage);
  ~TStorageStream() override;
  TStorageStream(const TStorageStream&) = delete;
  TStorageStream& operator=(const TStorageStream&) = delete;

  QString Name() const { return FName; }
  TStorage* Storage() const { return FStorage; }
  StgResult LastResult() const { return FLastResult; }

  // Number of bytes read; 0 at the end or on failure.
  qint64 Read(void* buffer, qint64 count) override;
  // Number of bytes written; 0 on failure.
  qint64 Write(const void* buffer, qint64 count) override;
  // The new position from the start; -1 on failure.
  qint64 Seek(qint64 offset, int origin) override;
  qint64 Size() const override;
  // The result goes to LastResult only.
  void SetSize(qint64 size) override;

private:
  QString FName;
  TStorage* FStorage = nullptr;
  std::shared_ptr<StorageHandle> FHandle;
  StgResult FLastResult = stg::kOk;
  int FEntry = -1;
  int FAccess = stgRead;
  qint64 FPosition = 0;
};
