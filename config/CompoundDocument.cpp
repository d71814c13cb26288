#include "config/CompoundDocument.h"

#include <algorithm>
#include <cstring>

namespace cfb {
namespace {

const unsigned char kSignature[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
constexpr int kDirEntrySize = 128;
constexpr int kHeaderDifatCount = 109;
constexpr std::uint32_t kUntilEnd = 0xFFFFFFFFu;

std::uint16_t Rd16(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint16_t>(u[0] | (u[1] << 8));
}
std::uint32_t Rd32(const char* p) {
  const auto* u = reinterpret_cast<const unsigned char*>(p);
  return static_cast<std::uint32_t>(u[0]) | (static_cast<std::uint32_t>(u[1]) << 8) |
         (static_cast<std::uint32_t>(u[2]) << 16) | (static_cast<std::uint32_t>(u[3]) << 24);
}
std::uint64_t Rd64(const char* p) {
  return static_cast<std::uint64_t>(Rd32(p)) | (static_cast<std::uint64_t>(Rd32(p + 4)) << 32);
}
void Wr16(char* p, std::uint16_t v) {
  p[0] = static_cast<char>(v & 0xFF);
  p[1] = static_cast<char>(v >> 8);
}
void Wr32(char* p, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}
void Wr64(char* p, std::uint64_t v) {
  Wr32(p, static_cast<std::uint32_t>(v));
  Wr32(p + 4, static_cast<std::uint32_t>(v >> 32));
}
std::uint32_t CeilDiv(qint64 a, qint64 b) { return static_cast<std::uint32_t>((a + b - 1) / b); }

}  // namespace

int CompareNames(const QString& a, const QString& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  for (qsizetype i = 0; i < a.size(); ++i) {
    const char16_t x = a[i].toUpper().unicode();
    const char16_t y = b[i].toUpper().unicode();
    if (x != y) return x < y ? -1 : 1;
  }
  return 0;
}

Document::Document() {
  Entry root;
  root.Name = QStringLiteral("Root Entry");
  root.Type = EntryType::Root;
  FEntries.push_back(root);
}

bool Document::HasSignature(const QByteArray& image) {
  return image.size() >= 8 && std::memcmp(image.constData(), kSignature, 8) == 0;
}

bool Document::ValidName(const QString& name) {
  if (name.isEmpty() || name.size() > kMaxNameLength) return false;
  for (QChar c : name)
    if (c == u'/' || c == u'\\' || c == u':' || c == u'!' || c.unicode() == 0) return false;
  return true;
}

StgResult Document::Parse(const QByteArray& image) {
  StgResult r = ParseImpl(image);
  if (r != stg::kOk) *this = Document();
  return r;
}

StgResult Document::ReadChain(const std::vector<std::uint32_t>& table, std::uint32_t start,
                              std::uint32_t limit, std::uint32_t needed,
                              std::vector<std::uint32_t>& out) const {
  out.clear();
  if (needed == 0) return stg::kOk;
  std::vector<bool> seen(limit, false);
  std::uint32_t s = start;
  while (needed == kUntilEnd || out.size() < needed) {
    if (needed == kUntilEnd && s == kEndOfChain) break;
    if (s >= limit || s >= table.size() || seen[s]) return stg::kDocfileCorrupt;
    seen[s] = true;
    out.push_back(s);
    s = table[s];
  }
  return stg::kOk;
}

StgResult Document::ParseImpl(const QByteArray& input) {
  if (!HasSignature(input)) return stg::kFalse;
  if (input.size() > kMaxFileSize) return stg::kDocfileTooLarge;
  if (input.size() < kSectorSize) return stg::kInvalidHeader;
  const char* h = input.constData();
  const std::uint16_t major = Rd16(h + 0x1A);
  const std::uint16_t shift = Rd16(h + 0x1E);
  if (Rd16(h + 0x1C) != 0xFFFE || Rd16(h + 0x20) != 6 || Rd32(h + 0x38) != kMiniStreamCutoff)
    return stg::kInvalidHeader;
  if (major == 3 && shift == 9) FSectorSize = 512;
  else if (major == 4 && shift == 12) FSectorSize = 4096;
  else return stg::kInvalidHeader;
  if (input.size() < FSectorSize) return stg::kInvalidHeader;

  const std::uint32_t numFat = Rd32(h + 0x2C);
  const std::uint32_t firstDir = Rd32(h + 0x30);
  const std::uint32_t firstMiniFat = Rd32(h + 0x3C);
  const std::uint32_t firstDifat = Rd32(h + 0x44);

  // The image padded to whole sectors; sector s starts at (s + 1) * size.
  FSectorCount = CeilDiv(input.size() - FSectorSize, FSectorSize);
  FImage = input;
  FImage.resize(static_cast<qsizetype>(FSectorCount + 1) * FSectorSize, '\0');
  auto sector = [&](std::uint32_t s) { return FImage.constData() + static_cast<qint64>(s + 1) * FSectorSize; };
  const std::uint32_t perSector = FSectorSize / 4;

  // FAT sectors from the header's DIFAT, then from the DIFAT chain.
  if (numFat == 0 || numFat > FSectorCount) return stg::kDocfileCorrupt;
  std::vector<std::uint32_t> fatSectors;
  fatSectors.reserve(numFat);
  for (int i = 0; i < kHeaderDifatCount && fatSectors.size() < numFat; ++i)
    fatSectors.push_back(Rd32(h + 0x4C + 4 * i));
  std::vector<bool> seenDifat(FSectorCount, false);
  std::uint32_t d = firstDifat;
  while (fatSectors.size() < numFat) {
    if (d >= FSectorCount || seenDifat[d]) return stg::kDocfileCorrupt;
    seenDifat[d] = true;
    const char* p = sector(d);
    for (std::uint32_t i = 0; i + 1 < perSector && fatSectors.size() < numFat; ++i)
      fatSectors.push_back(Rd32(p + 4 * i));
    d = Rd32(p + 4 * (perSector - 1));
  }
  FFat.assign(static_cast<std::size_t>(numFat) * perSector, kFreeSect);
  for (std::uint32_t i = 0; i < numFat; ++i) {
    if (fatSectors[i] >= FSectorCount) return stg::kDocfileCorrupt;
    const char* p = sector(fatSectors[i]);
    for (std::uint32_t j = 0; j < perSector; ++j) FFat[i * perSector + j] = Rd32(p + 4 * j);
  }

  // Directory.
  std::vector<std::uint32_t> chain;
  if (ReadChain(FFat, firstDir, FSectorCount, kUntilEnd, chain) != stg::kOk || chain.empty())
    return stg::kDocfileCorrupt;
  const std::uint32_t perDirSector = FSectorSize / kDirEntrySize;
  const std::size_t count = chain.size() * perDirSector;
  struct Raw {
    std::uint32_t Left, Right, Child;
  };
  std::vector<Raw> raw(count);
  FEntries.assign(count, Entry());
  for (std::size_t i = 0; i < count; ++i) {
    const char* p = sector(chain[i / perDirSector]) + (i % perDirSector) * kDirEntrySize;
    Entry& e = FEntries[i];
    const std::uint8_t type = static_cast<std::uint8_t>(p[0x42]);
    raw[i] = {Rd32(p + 0x44), Rd32(p + 0x48), Rd32(p + 0x4C)};
    if (type != 1 && type != 2 && type != 5) continue;  // unused entries stay Empty
    const std::uint16_t nameLen = Rd16(p + 0x40);
    if (nameLen < 2 || nameLen > 64 || nameLen % 2) return stg::kDocfileCorrupt;
    std::u16string name;
    for (int k = 0; k < nameLen / 2 - 1; ++k) name.push_back(static_cast<char16_t>(Rd16(p + 2 * k)));
    e.Name = QString::fromStdU16String(name);
    e.Type = static_cast<EntryType>(type);
    e.Clsid = QByteArray(p + 0x50, 16);
    e.StateBits = Rd32(p + 0x60);
    e.StartSector = Rd32(p + 0x74);
    // Version 3 files keep only the low 32 bits of the size.
    const std::uint64_t size = FSectorSize == 512 ? Rd32(p + 0x78) : Rd64(p + 0x78);
    if (size > static_cast<std::uint64_t>(kMaxStreamSize)) return stg::kDocfileTooLarge;
    if (size > static_cast<std::uint64_t>(FImage.size())) return stg::kDocfileCorrupt;
    e.Size = static_cast<qint64>(size);
    e.Loaded = (e.Type != EntryType::Stream) || size == 0;
  }
  if (FEntries[0].Type != EntryType::Root) return stg::kDocfileCorrupt;
  for (std::size_t i = 1; i < count; ++i)
    if (FEntries[i].Type == EntryType::Root) FEntries[i].Type = EntryType::Empty;

  // The tree: every entry is reached at most once; siblings belong to the
  // storage whose child pointer led to them.
  std::vector<bool> reached(count, false);
  reached[0] = true;
  std::vector<std::pair<int, std::uint32_t>> todo;  // (storage, node)
  if (raw[0].Child != kNoStream) todo.emplace_back(0, raw[0].Child);
  while (!todo.empty()) {
    auto [storage, node] = todo.back();
    todo.pop_back();
    if (node >= count || reached[node] || FEntries[node].Type == EntryType::Empty)
      return stg::kDocfileCorrupt;
    reached[node] = true;
    FEntries[storage].Children.push_back(static_cast<int>(node));
    if (raw[node].Left != kNoStream) todo.emplace_back(storage, raw[node].Left);
    if (raw[node].Right != kNoStream) todo.emplace_back(storage, raw[node].Right);
    if (FEntries[node].Type == EntryType::Storage && raw[node].Child != kNoStream)
      todo.emplace_back(static_cast<int>(node), raw[node].Child);
  }
  for (std::size_t i = 1; i < count; ++i)
    if (!reached[i]) FEntries[i] = Entry();  // unreachable entries are dropped

  // Mini stream and mini FAT.
  const Entry& root = FEntries[0];
  if (root.Size > 0) {
    if (ReadChain(FFat, root.StartSector, FSectorCount, CeilDiv(root.Size, FSectorSize), chain) != stg::kOk)
      return stg::kDocfileCorrupt;
    FMiniStream.resize(root.Size);
    for (std::size_t i = 0; i < chain.size(); ++i) {
      const qint64 off = static_cast<qint64>(i) * FSectorSize;
      std::memcpy(FMiniStream.data() + off, sector(chain[i]), std::min<qint64>(FSectorSize, root.Size - off));
    }
  }
  if (firstMiniFat != kEndOfChain) {
    if (ReadChain(FFat, firstMiniFat, FSectorCount, kUntilEnd, chain) != stg::kOk)
      return stg::kDocfileCorrupt;
    FMiniFat.assign(chain.size() * perSector, kFreeSect);
    for (std::size_t i = 0; i < chain.size(); ++i)
      for (std::uint32_t j = 0; j < perSector; ++j) FMiniFat[i * perSector + j] = Rd32(sector(chain[i]) + 4 * j);
  }
  FEntries[0].Size = 0;
  return stg::kOk;
}

StgResult Document::LoadStreamConst(const Entry& e, QByteArray& out) const {
  if (e.Loaded) {
    out = e.Data;
    return stg::kOk;
  }
  std::vector<std::uint32_t> chain;
  const bool mini = e.Size < kMiniStreamCutoff;
  const int unit = mini ? kMiniSectorSize : FSectorSize;
  const std::uint32_t limit = mini ? CeilDiv(FMiniStream.size(), kMiniSectorSize) : FSectorCount;
  if (ReadChain(mini ? FMiniFat : FFat, e.StartSector, limit, CeilDiv(e.Size, unit), chain) != stg::kOk)
    return stg::kDocfileCorrupt;
  out = QByteArray(e.Size, Qt::Uninitialized);
  for (std::size_t i = 0; i < chain.size(); ++i) {
    const qint64 off = static_cast<qint64>(i) * unit;
    const qint64 n = std::min<qint64>(unit, e.Size - off);
    if (mini) {
      const qint64 src = static_cast<qint64>(chain[i]) * unit;
      const qint64 avail = std::max<qint64>(0, std::min<qint64>(n, FMiniStream.size() - src));
      std::memcpy(out.data() + off, FMiniStream.constData() + src, avail);
      std::memset(out.data() + off + avail, 0, n - avail);
    } else {
      std::memcpy(out.data() + off, FImage.constData() + static_cast<qint64>(chain[i] + 1) * FSectorSize, n);
    }
  }
  return stg::kOk;
}

StgResult Document::LoadStream(int index) {
  if (!IsStream(index)) return stg::kInvalidFunction;
  Entry& e = FEntries[index];
  if (e.Loaded) return stg::kOk;
  QByteArray data;
  const StgResult r = LoadStreamConst(e, data);
  if (r != stg::kOk) return r;
  e.Data = data;
  e.Loaded = true;
  return stg::kOk;
}

QByteArray& Document::StreamData(int index) { return FEntries[index].Data; }

qint64 Document::StreamSize(int index) const {
  const Entry& e = FEntries[index];
  return e.Loaded ? e.Data.size() : e.Size;
}

int& Document::OpenCount(int index) { return FEntries[index].OpenCount; }

bool Document::IsStorage(int index) const {
  return ValidIndex(index) &&
         (FEntries[index].Type == EntryType::Storage || FEntries[index].Type == EntryType::Root);
}
bool Document::IsStream(int index) const {
  return ValidIndex(index) && FEntries[index].Type == EntryType::Stream;
}
QString Document::EntryName(int index) const { return ValidIndex(index) ? FEntries[index].Name : QString(); }

int Document::FindChild(int storage, const QString& name) const {
  if (!IsStorage(storage)) return -1;
  for (int c : FEntries[storage].Children)
    if (CompareNames(FEntries[c].Name, name) == 0) return c;
  return -1;
}

int Document::CreateStream(int storage, const QString& name, StgResult* result) {
  if (!ValidName(name)) {
    *result = stg::kInvalidName;
    return -1;
  }
  if (!IsStorage(storage)) {
    *result = stg::kInvalidFunction;
    return -1;
  }
  int index = FindChild(storage, name);
  if (index >= 0) {
    if (FEntries[index].OpenCount > 0) {
      *result = stg::kAccessDenied;
      return -1;
    }
    Entry& e = FEntries[index];
    e.Children.clear();  // a replaced storage takes its elements with it
  } else {
    FEntries.emplace_back();
    index = static_cast<int>(FEntries.size()) - 1;
    FEntries[storage].Children.push_back(index);
  }
  Entry& e = FEntries[index];
  e.Name = name;
  e.Type = EntryType::Stream;
  e.Data.clear();
  e.Size = 0;
  e.Loaded = true;
  e.Clsid.clear();
  e.StateBits = 0;
  *result = stg::kOk;
  return index;
}

std::vector<int> Document::SortedChildren(int storage) const {
  std::vector<int> kids = FEntries[storage].Children;
  std::stable_sort(kids.begin(), kids.end(),
                   [&](int a, int b) { return CompareNames(FEntries[a].Name, FEntries[b].Name) < 0; });
  return kids;
}

std::vector<ElementInfo> Document::Elements() const {
  std::vector<ElementInfo> out;
  std::vector<std::pair<int, QString>> todo;  // (entry, path), depth first
  const auto kids = SortedChildren(kRoot);
  for (auto it = kids.rbegin(); it != kids.rend(); ++it) todo.emplace_back(*it, FEntries[*it].Name);
  while (!todo.empty()) {
    auto [index, path] = todo.back();
    todo.pop_back();
    const bool storage = IsStorage(index);
    out.push_back({path, storage, storage ? 0 : StreamSize(index)});
    if (!storage) continue;
    const auto sub = SortedChildren(index);
    for (auto it = sub.rbegin(); it != sub.rend(); ++it)
      todo.emplace_back(*it, path + u'/' + FEntries[*it].Name);
  }
  return out;
}

QByteArray Document::Serialize(StgResult* result) const {
  *result = stg::kOk;
  // Entries in breadth-first order from the root; new index = position.
  std::vector<int> order{kRoot};
  for (std::size_t i = 0; i < order.size(); ++i)
    if (IsStorage(order[i]))
      for (int c : FEntries[order[i]].Children) order.push_back(c);
  std::vector<std::uint32_t> newIndex(FEntries.size(), kNoStream);
  for (std::size_t i = 0; i < order.size(); ++i) newIndex[order[i]] = static_cast<std::uint32_t>(i);

  struct Node {
    std::uint32_t Left = kNoStream, Right = kNoStream, Child = kNoStream;
    bool Red = false;
    std::uint32_t Start = kEndOfChain;
    qint64 Size = 0;
    QByteArray Data;
  };
  std::vector<Node> nodes(order.size());

  // Each storage's children as a balanced tree, sorted by name; nodes below the
  // last complete level are red, so every path holds the same number of blacks.
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (!IsStorage(order[i])) continue;
    const std::vector<int> kids = SortedChildren(order[i]);
    if (kids.empty()) continue;
    int full = 0;
    while ((std::size_t(2) << full) - 1 <= kids.size()) ++full;
    struct Range {
      int Lo, Hi, Depth;
      std::uint32_t* Link;
    };
    std::vector<Range> todo{{0, static_cast<int>(kids.size()) - 1, 0, &nodes[i].Child}};
    while (!todo.empty()) {
      Range r = todo.back();
      todo.pop_back();
      if (r.Lo > r.Hi) continue;
      const int mid = r.Lo + (r.Hi - r.Lo) / 2;
      const std::uint32_t n = newIndex[kids[mid]];
      *r.Link = n;
      nodes[n].Red = r.Depth >= full;
      todo.push_back({r.Lo, mid - 1, r.Depth + 1, &nodes[n].Left});
      todo.push_back({mid + 1, r.Hi, r.Depth + 1, &nodes[n].Right});
    }
  }

  // Stream contents: small ones into the mini stream, the others into sectors.
  std::uint32_t miniCount = 0, regCount = 0;
  for (std::size_t i = 0; i < order.size(); ++i) {
    if (!IsStream(order[i])) continue;
    Node& n = nodes[i];
    const StgResult r = LoadStreamConst(FEntries[order[i]], n.Data);
    if (r != stg::kOk) {
      *result = r;
      return {};
    }
    n.Size = n.Data.size();
    if (n.Size == 0) continue;
    if (n.Size < kMiniStreamCutoff) {
      n.Start = miniCount;
      miniCount += CeilDiv(n.Size, kMiniSectorSize);
    } else {
      n.Start = regCount;  // relative to the first stream sector, fixed below
      regCount += CeilDiv(n.Size, kSectorSize);
    }
  }
  const std::uint32_t perSector = kSectorSize / 4;
  const std::uint32_t dirSectors = CeilDiv(static_cast<qint64>(order.size()), kSectorSize / kDirEntrySize);
  const qint64 miniBytes = static_cast<qint64>(miniCount) * kMiniSectorSize;
  const std::uint32_t miniStreamSectors = CeilDiv(miniBytes, kSectorSize);
  const std::uint32_t miniFatSectors = CeilDiv(static_cast<qint64>(miniCount) * 4, kSectorSize);
  const qint64 base = static_cast<qint64>(dirSectors) + miniStreamSectors + miniFatSectors + regCount;
  std::uint32_t fatCount = 0, difatCount = 0;
  for (;;) {
    const std::uint32_t f = CeilDiv(base + fatCount + difatCount, perSector);
    const std::uint32_t x = f > kHeaderDifatCount ? CeilDiv(f - kHeaderDifatCount, perSector - 1) : 0;
    if (f == fatCount && x == difatCount) break;
    fatCount = f;
    difatCount = x;
  }
  const qint64 total = base + fatCount + difatCount;
  if ((total + 1) * kSectorSize > kMaxFileSize) {
    *result = stg::kDocfileTooLarge;
    return {};
  }
  const std::uint32_t difatStart = fatCount;
  const std::uint32_t dirStart = difatStart + difatCount;
  const std::uint32_t miniFatStart = dirStart + dirSectors;
  const std::uint32_t miniStreamStart = miniFatStart + miniFatSectors;
  const std::uint32_t regStart = miniStreamStart + miniStreamSectors;

  QByteArray out(static_cast<qsizetype>((total + 1) * kSectorSize), '\0');
  char* o = out.data();
  auto sector = [&](std::uint32_t s) { return o + static_cast<qint64>(s + 1) * kSectorSize; };
  std::vector<std::uint32_t> fat(static_cast<std::size_t>(fatCount) * perSector, kFreeSect);
  auto chainUp = [](std::vector<std::uint32_t>& table, std::uint32_t first, std::uint32_t count) {
    for (std::uint32_t k = 0; k < count; ++k) table[first + k] = k + 1 < count ? first + k + 1 : kEndOfChain;
  };
  for (std::uint32_t k = 0; k < fatCount; ++k) fat[k] = kFatSect;
  for (std::uint32_t k = 0; k < difatCount; ++k) fat[difatStart + k] = kDifSect;
  chainUp(fat, dirStart, dirSectors);
  chainUp(fat, miniFatStart, miniFatSectors);
  chainUp(fat, miniStreamStart, miniStreamSectors);
  std::vector<std::uint32_t> miniFat(static_cast<std::size_t>(miniFatSectors) * perSector, kFreeSect);
  for (Node& n : nodes) {
    if (n.Size == 0) continue;
    if (n.Size < kMiniStreamCutoff) {
      const std::uint32_t count = CeilDiv(n.Size, kMiniSectorSize);
      chainUp(miniFat, n.Start, count);
      std::memcpy(sector(miniStreamStart) + static_cast<qint64>(n.Start) * kMiniSectorSize, n.Data.constData(), n.Size);
    } else {
      n.Start += regStart;
      const std::uint32_t count = CeilDiv(n.Size, kSectorSize);
      chainUp(fat, n.Start, count);
      std::memcpy(sector(n.Start), n.Data.constData(), n.Size);
    }
  }

  // Header.
  std::memcpy(o, kSignature, 8);
  Wr16(o + 0x18, 0x003E);
  Wr16(o + 0x1A, 3);
  Wr16(o + 0x1C, 0xFFFE);
  Wr16(o + 0x1E, 9);
  Wr16(o + 0x20, 6);
  Wr32(o + 0x2C, fatCount);
  Wr32(o + 0x30, dirStart);
  Wr32(o + 0x38, kMiniStreamCutoff);
  Wr32(o + 0x3C, miniFatSectors ? miniFatStart : kEndOfChain);
  Wr32(o + 0x40, miniFatSectors);
  Wr32(o + 0x44, difatCount ? difatStart : kEndOfChain);
  Wr32(o + 0x48, difatCount);
  for (int k = 0; k < kHeaderDifatCount; ++k)
    Wr32(o + 0x4C + 4 * k, static_cast<std::uint32_t>(k) < fatCount ? static_cast<std::uint32_t>(k) : kFreeSect);
  // DIFAT sectors: 127 FAT sector numbers each, then the next DIFAT sector.
  for (std::uint32_t x = 0; x < difatCount; ++x) {
    char* p = sector(difatStart + x);
    for (std::uint32_t k = 0; k + 1 < perSector; ++k) {
      const std::uint32_t f = kHeaderDifatCount + x * (perSector - 1) + k;
      Wr32(p + 4 * k, f < fatCount ? f : kFreeSect);
    }
    Wr32(p + 4 * (perSector - 1), x + 1 < difatCount ? difatStart + x + 1 : kEndOfChain);
  }
  for (std::size_t k = 0; k < fat.size(); ++k) Wr32(sector(0) + 4 * k, fat[k]);
  for (std::size_t k = 0; k < miniFat.size(); ++k)
    Wr32(sector(miniFatStart + static_cast<std::uint32_t>(k / perSector)) + 4 * (k % perSector), miniFat[k]);

  // Directory.
  const std::size_t dirSlots = static_cast<std::size_t>(dirSectors) * (kSectorSize / kDirEntrySize);
  for (std::size_t i = 0; i < dirSlots; ++i) {
    char* p = sector(dirStart + static_cast<std::uint32_t>(i / 4)) + (i % 4) * kDirEntrySize;
    if (i >= order.size()) {
      Wr32(p + 0x44, kNoStream);
      Wr32(p + 0x48, kNoStream);
      Wr32(p + 0x4C, kNoStream);
      continue;
    }
    const Entry& e = FEntries[order[i]];
    const Node& n = nodes[i];
    const std::u16string name = e.Name.toStdU16String();
    for (std::size_t k = 0; k < name.size(); ++k) Wr16(p + 2 * k, name[k]);
    Wr16(p + 0x40, static_cast<std::uint16_t>((name.size() + 1) * 2));
    p[0x42] = static_cast<char>(e.Type);
    p[0x43] = n.Red ? 0 : 1;
    Wr32(p + 0x44, i == 0 ? kNoStream : n.Left);
    Wr32(p + 0x48, i == 0 ? kNoStream : n.Right);
    Wr32(p + 0x4C, n.Child);
    if (e.Clsid.size() == 16) std::memcpy(p + 0x50, e.Clsid.constData(), 16);
    Wr32(p + 0x60, e.StateBits);
    if (i == 0) {
      Wr32(p + 0x74, miniStreamSectors ? miniStreamStart : kEndOfChain);
      Wr64(p + 0x78, static_cast<std::uint64_t>(miniBytes));
    } else if (e.Type == EntryType::Stream) {
      Wr32(p + 0x74, n.Size ? n.Start : kEndOfChain);
      Wr64(p + 0x78, static_cast<std::uint64_t>(n.Size));
    }
  }
  return out;
}

}  // namespace cfb
