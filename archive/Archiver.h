// The archive component: PKZip archives split into volumes of a fixed size.
//
// BuildVolumes writes disk.001, disk.002, ... into a folder, every volume
// exactly VolumeSize() bytes but the last, which holds the central directory.
// Several volumes form a standard split archive (spanning signature at the
// start of the first volume, disk numbers and offsets within each disk); an
// archive that fits one volume is a plain zip file. Zip64 records are written
// wherever sizes, offsets or counts need them. Names are UTF-8 and flagged so.
// Files are streamed and deflated in blocks on several threads; memory does
// not grow with the size of a file or of the archive.
//
// Extract opens an archive through its last volume, finds the other volumes
// beside it by name (disk.001 ... or name.z01 ... name.zip), and writes every
// entry into a destination folder. Before it writes anything it refuses
// absolute names and ".." components, sizes that add up past any disk,
// entries whose data overlap another's or the central directory, and a total
// that would leave less than a reserve of free space (1 % of the disk, at
// least 100 MB); the number of volumes it looks for is bounded by the volumes
// present. It writes nothing outside the destination and never replaces a
// file there: a name that exists is written as "name (2).ext" (then 3, ...).
// Files get the user's default permissions, never set-uid, set-gid, group- or
// world-writable, executable by the owner alone when the archive says so. It
// checks sizes and CRC-32, stops when an entry outgrows its announced size,
// and never leaves a truncated file behind (each file is written under a
// temporary name and renamed when complete; a full disk is named as such).
//
// Every operation returns a Result (core/Result.h): the value, or the text of
// what went wrong, ready to be shown to the user.
//
// An Archiver holds only its settings; builds and extractions keep all their
// state in the call, so one object (or several) may serve several threads at
// once as long as the settings are not changed meanwhile.
#pragma once

#include <QString>
#include <QStringList>
#include <atomic>
#include <cstdint>
#include <functional>
#include <vector>

#include "core/Result.h"

// Bytes done of bytes in all (input bytes for a build, output bytes for an
// extraction). Called on the thread that runs the build or extraction.
using ArchiveProgress = std::function<void(qint64 done, qint64 total)>;

struct ArchiveEntryInfo {
  QString Name;  // as stored, folders ending in "/"
  bool Folder = false;
  quint64 Size = 0;
  quint64 CompressedSize = 0;
  std::uint16_t Method = 0;  // 0 stored, 8 deflated
  std::uint16_t Flags = 0;
  std::uint32_t Crc = 0;
  std::uint32_t Disk = 0;    // volume index of the local header
  quint64 Offset = 0;        // within that volume
};

// What an extraction wrote.
struct ExtractSummary {
  int Files = 0;    // files written
  int Renamed = 0;  // of them, written under another name beside an existing file
};

class Archiver {
public:
  static constexpr int kDefaultLevel = 3;
  static constexpr qint64 kDefaultVolumeSize = 10000000;
  static constexpr qint64 kMinVolumeSize = 65536;

  explicit Archiver(int level = kDefaultLevel, qint64 volumeSize = kDefaultVolumeSize)
      : FLevel(level), FVolumeSize(volumeSize) {}

  // 0 stores; 1..9 deflate; other values are clamped to what zlib accepts.
  void SetLevel(int level) { FLevel = level; }
  int Level() const { return FLevel; }
  void SetVolumeSize(qint64 bytes) { FVolumeSize = bytes; }
  qint64 VolumeSize() const { return FVolumeSize; }
  // Compression threads; 0 (the default) uses one per processor.
  void SetThreads(int threads) { FThreads = threads; }
  void SetProgress(ArchiveProgress progress) { FProgress = std::move(progress); }
  // When *cancel becomes true, the work stops with the error "Cancelled.".
  void SetCancel(const std::atomic<bool>* cancel) { FCancel = cancel; }

  // Archives the paths (files, and folders recursively with folder entries,
  // under their own names) into volumes in outFolder, which is created when
  // missing. Missing or unreadable paths are skipped. Gives the paths of the
  // volumes in order; fails, with no volume left behind, when nothing could
  // be archived or writing failed.
  Result<QStringList> BuildVolumes(const QStringList& paths, const QString& outFolder) const;

  // Extracts the archive whose last volume is given into destFolder (created
  // when missing), beside the files that are there.
  Result<ExtractSummary> Extract(const QString& lastVolume, const QString& destFolder) const;

  // The entries of the central directory, without extracting.
  Result<std::vector<ArchiveEntryInfo>> List(const QString& lastVolume) const;

  // Names that are stored without compression: "*.arj", "*.rar", "*.zip", "*cab".
  static bool StoredByName(const QString& fileName);

private:
  int FLevel;
  qint64 FVolumeSize;
  int FThreads = 0;
  ArchiveProgress FProgress;
  const std::atomic<bool>* FCancel = nullptr;
};
