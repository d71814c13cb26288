// The compound-file format (MS-CFB) in memory: a tree of storages and streams,
// parsed from a file image and written back as a version 3 file (512-byte
// sectors, FAT, DIFAT, directory, and the mini stream for streams under 4096
// bytes). Parsing checks every sector number, chain and size against the image,
// so a damaged or hostile file gives an error code, never a crash, a hang or an
// allocation beyond the image's size.
#pragma once

#include "config/StorageResult.h"

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <vector>

namespace cfb {

inline constexpr std::uint32_t kNoStream = 0xFFFFFFFFu;
inline constexpr std::uint32_t kFreeSect = 0xFFFFFFFFu;
inline constexpr std::uint32_t kEndOfChain = 0xFFFFFFFEu;
inline constexpr std::uint32_t kFatSect = 0xFFFFFFFDu;
inline constexpr std::uint32_t kDifSect = 0xFFFFFFFCu;
inline constexpr std::uint32_t kMaxRegSect = 0xFFFFFFFAu;
inline constexpr int kSectorSize = 512;
inline constexpr int kMiniSectorSize = 64;
inline constexpr int kMiniStreamCutoff = 4096;
inline constexpr int kMaxNameLength = 31;  // UTF-16 code units, without the terminator
// Bounds of what this implementation reads or writes.
inline constexpr qint64 kMaxFileSize = qint64(1) << 30;
inline constexpr qint64 kMaxStreamSize = qint64(1) << 28;

enum class EntryType : std::uint8_t { Empty = 0, Storage = 1, Stream = 2, Root = 5 };

struct ElementInfo {
  QString Path;  // storage names joined with "/"
  bool IsStorage = false;
  qint64 Size = 0;
};

class Document {
public:
  // An empty compound file: a root storage without children.
  Document();

  // Replaces the content with the parsed image. kFalse when the bytes are no
  // compound file, kInvalidHeader or kDocfileCorrupt when the file is damaged.
  // On failure the document is empty.
  StgResult Parse(const QByteArray& image);
  // The whole file as a version 3 compound file. Loads every stream first;
  // a stream that cannot be read makes it fail (result set, empty bytes).
  QByteArray Serialize(StgResult* result) const;

  static bool HasSignature(const QByteArray& image);
  // Valid element name: 1 to 31 UTF-16 units, none of / \ : !
  static bool ValidName(const QString& name);

  static constexpr int kRoot = 0;
  // Child of a storage by name (case-insensitive, as the format compares); -1 when missing.
  int FindChild(int storage, const QString& name) const;
  // Creates an empty stream in the storage, replacing an element of that name.
  // Returns the entry index, or -1 with result set.
  int CreateStream(int storage, const QString& name, StgResult* result);

  bool IsStorage(int index) const;
  bool IsStream(int index) const;
  QString EntryName(int index) const;
  // Reads a stream's content from the image on first use (checking its chain).
  StgResult LoadStream(int index);
  // The content of a loaded stream.
  QByteArray& StreamData(int index);
  const QByteArray& StreamData(int index) const { return FEntries[index].Data; }
  qint64 StreamSize(int index) const;
  // Open handles on an entry, for exclusive opens.
  int& OpenCount(int index);

  // Every storage and stream below the root, depth first, children sorted by name.
  std::vector<ElementInfo> Elements() const;

private:
  struct Entry {
    QString Name;
    EntryType Type = EntryType::Empty;
    std::vector<int> Children;
    QByteArray Clsid;          // 16 bytes or empty
    std::uint32_t StateBits = 0;
    std::uint32_t StartSector = kEndOfChain;
    qint64 Size = 0;
    bool Loaded = true;        // data holds the content
    QByteArray Data;
    int OpenCount = 0;
  };

  StgResult ParseImpl(const QByteArray& image);
  StgResult ReadChain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                      std::uint32_t limit, std::uint32_t needed,
                      std::vector<std::uint32_t>& out) const;
  StgResult LoadStreamConst(const Entry& entry, QByteArray& out) const;
  bool ValidIndex(int index) const { return index >= 0 && index < static_cast<int>(FEntries.size()); }
  std::vector<int> SortedChildren(int storage) const;

  std::vector<Entry> FEntries;
  // What a parsed image leaves for the lazy loading of streams.
  QByteArray FImage;
  int FSectorSize = kSectorSize;
  std::uint32_t FSectorCount = 0;
  std::vector<std::uint32_t> FFat;
  std::vector<std::uint32_t> FMiniFat;
  QByteArray FMiniStream;
};

// The order of names inside a storage: shorter first, then by upper-case code units.
int CompareNames(const QString& a, const QString& b);

}  // namespace cfb
