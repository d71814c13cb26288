// The byte stream of an archive cut into volumes. Positions are offsets in the
// stream of all volumes joined in order; the writer cuts it into volumes of a
// fixed size, the reader maps positions onto the volume files it found.
#pragma once

#include <QString>
#include <QStringList>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/Result.h"

// Writes disk.001, disk.002, ... in a folder, each exactly VolumeSize bytes
// but the last. Volumes are created as the stream reaches them.
class VolumeWriter {
public:
  VolumeWriter(const QString& folder, std::uint64_t volumeSize);
  ~VolumeWriter();
  VolumeWriter(const VolumeWriter&) = delete;
  VolumeWriter& operator=(const VolumeWriter&) = delete;

  // Appends at Pos().
  bool Write(const void* data, std::size_t size);
  // Writes at pos without moving Pos(): patches bytes already written.
  bool WriteAt(std::uint64_t pos, const void* data, std::size_t size);
  // Cuts the stream back to pos, removing volumes past it.
  bool Truncate(std::uint64_t pos);
  // Removes the first n bytes of a stream that is still a single volume.
  bool DropLeading(std::size_t n);
  // Closes the open volume and removes volumes of the same naming left by an
  // earlier, longer archive in the folder.
  bool Finish();
  // Removes every volume written.
  void RemoveAll();

  std::uint64_t Pos() const { return FPos; }
  std::uint64_t VolumeSize() const { return FVolumeSize; }
  std::uint32_t DiskOf(std::uint64_t pos) const { return static_cast<std::uint32_t>(pos / FVolumeSize); }
  std::uint64_t OffsetOf(std::uint64_t pos) const { return pos % FVolumeSize; }
  QStringList Volumes() const;
  const QString& Error() const { return FError; }

private:
  QString PathOf(std::uint64_t index) const;
  int Open(std::uint64_t index, bool fresh);
  bool Fail(const QString& what, std::uint64_t index);
  void CloseCurrent();

  QString FFolder;
  std::uint64_t FVolumeSize;
  std::uint64_t FPos = 0;
  std::uint64_t FCount = 0;  // volumes created
  int FFd = -1;
  std::uint64_t FFdIndex = 0;
  QString FError;
};

// The volumes of an archive, found beside its last volume, read as one stream.
class VolumeReader {
public:
  VolumeReader() = default;
  ~VolumeReader();
  VolumeReader(const VolumeReader&) = delete;
  VolumeReader& operator=(const VolumeReader&) = delete;

  // Opens the last volume alone (as disk count 1).
  Result<> OpenLast(const QString& lastVolume);
  // Looks up the other volumes of an archive of count disks beside the last
  // one, in order; the first one missing is an error that names it.
  Result<> SetDiskCount(std::uint32_t count);

  // The stream position of an offset within a disk; false when outside it.
  bool Position(std::uint32_t disk, std::uint64_t offset, std::uint64_t* pos) const;
  // Fails naming the volume that ends early or cannot be read.
  Result<> ReadAt(std::uint64_t pos, void* data, std::size_t size);
  std::uint64_t Size() const { return FVolumes.empty() ? 0 : FVolumes.back().Start + FVolumes.back().Size; }
  std::uint64_t LastStart() const { return FVolumes.empty() ? 0 : FVolumes.back().Start; }
  std::uint32_t DiskCount() const { return static_cast<std::uint32_t>(FVolumes.size()); }
  QString VolumeLabel(std::uint64_t pos) const;

  // The name of volume index (from 1) before the last one: disk.001 ...
  // beside disk.007, or name.z01 ... beside name.zip (or name.zip_, or any
  // other name).
  static QString EarlierVolumeName(const QString& lastVolume, std::uint32_t index);

private:
  struct Volume {
    QString Path;
    std::uint64_t Size = 0;
    std::uint64_t Start = 0;
  };
  std::size_t IndexOf(std::uint64_t pos) const;
  std::vector<Volume> FVolumes;
  int FFd = -1;
  std::size_t FFdIndex = 0;
};
