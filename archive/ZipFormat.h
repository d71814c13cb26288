// Record layouts of PKZip archives: signatures, flags, little-endian packing
// and MS-DOS time stamps, shared by the archive writer and reader.
#pragma once

#include <QByteArray>
#include <QDateTime>
#include <cstddef>
#include <cstdint>

namespace zipfmt {

constexpr std::uint32_t kLocalSig = 0x04034b50;
constexpr std::uint32_t kCentralSig = 0x02014b50;
constexpr std::uint32_t kEndSig = 0x06054b50;
constexpr std::uint32_t kZip64EndSig = 0x06064b50;
constexpr std::uint32_t kZip64LocatorSig = 0x07064b50;
// At the start of the first volume of a split archive.
constexpr std::uint32_t kSpanSig = 0x08074b50;

constexpr std::uint16_t kFlagEncrypted = 0x0001;
constexpr std::uint16_t kFlagUtf8 = 0x0800;

constexpr std::uint16_t kMethodStore = 0;
constexpr std::uint16_t kMethodDeflate = 8;

constexpr std::uint16_t kExtraZip64 = 0x0001;
constexpr std::uint16_t kExtraUnicodePath = 0x7075;
// Filler inside a central header, so that the end records never straddle two
// volumes; readers skip extra fields they do not know.
constexpr std::uint16_t kExtraFiller = 0x4b46;

constexpr std::size_t kLocalSize = 30;
constexpr std::size_t kCentralSize = 46;
constexpr std::size_t kEndSize = 22;
constexpr std::size_t kZip64EndSize = 56;
constexpr std::size_t kZip64LocatorSize = 20;

constexpr std::uint64_t kMax16 = 0xFFFF;
constexpr std::uint64_t kMax32 = 0xFFFFFFFFu;

constexpr std::uint16_t kVersionStore = 10;
constexpr std::uint16_t kVersionDeflate = 20;
constexpr std::uint16_t kVersionZip64 = 45;
// Made by: Unix host (3), format version 6.3, so external attributes carry the mode.
constexpr std::uint16_t kVersionMadeBy = (3 << 8) | 63;

// Appends little-endian fields to a byte array.
class Put {
public:
  explicit Put(QByteArray& out) : FOut(out) {}
  Put& U16(std::uint64_t v) { return Raw(v, 2); }
  Put& U32(std::uint64_t v) { return Raw(v, 4); }
  Put& U64(std::uint64_t v) { return Raw(v, 8); }
  Put& Bytes(const QByteArray& bytes) {
    FOut.append(bytes);
    return *this;
  }

private:
  Put& Raw(std::uint64_t v, int n) {
    for (int i = 0; i < n; ++i) FOut.append(static_cast<char>((v >> (8 * i)) & 0xFF));
    return *this;
  }
  QByteArray& FOut;
};

// Reads little-endian fields from a buffer; reading past its end sets Ok() to
// false and yields zeros.
class Get {
public:
  Get(const void* data, std::size_t size) : FData(static_cast<const std::uint8_t*>(data)), FSize(size) {}
  std::uint16_t U16() { return static_cast<std::uint16_t>(Raw(2)); }
  std::uint32_t U32() { return static_cast<std::uint32_t>(Raw(4)); }
  std::uint64_t U64() { return Raw(8); }
  QByteArray Bytes(std::size_t n) {
    if (!Need(n)) return {};
    QByteArray out(reinterpret_cast<const char*>(FData + FPos), static_cast<qsizetype>(n));
    FPos += n;
    return out;
  }
  void Skip(std::size_t n) {
    if (Need(n)) FPos += n;
  }
  std::size_t Pos() const { return FPos; }
  std::size_t Left() const { return FSize - FPos; }
  bool Ok() const { return FOk; }

private:
  bool Need(std::size_t n) {
    if (n > FSize - FPos) FOk = false;
    return FOk;
  }
  std::uint64_t Raw(int n) {
    if (!Need(static_cast<std::size_t>(n))) return 0;
    std::uint64_t v = 0;
    for (int i = 0; i < n; ++i) v |= static_cast<std::uint64_t>(FData[FPos + i]) << (8 * i);
    FPos += n;
    return v;
  }
  const std::uint8_t* FData;
  std::size_t FSize;
  std::size_t FPos = 0;
  bool FOk = true;
};

// MS-DOS date (high half) and time (low half) of a local time; before 1980
// gives 1980-01-01 00:00.
std::uint32_t ToDosTime(const QDateTime& time);
QDateTime FromDosTime(std::uint32_t dosTime);

}  // namespace zipfmt
