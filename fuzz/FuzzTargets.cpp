#include "fuzz/FuzzTargets.h"

#include <QByteArray>
#include <QDir>
#include <QString>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <set>
#include <string>
#include <sys/stat.h>

#include "archive/Archiver.h"
#include "config/ClassData.h"
#include "config/CompoundDocument.h"
#include "config/MemTable.h"
#include "config/Storage.h"
#include "core/Jobs.h"
#include "core/Table.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "message/Stamp.h"
#include "transport/MailSession.h"
#include "transport/ReceivedMessage.h"

namespace fs = std::filesystem;

namespace fuzz {

namespace {

// A broken rule: named on stderr, then abort, which the fuzzer and the
// regression test both report with the input.
[[noreturn]] void Broken(const std::string& what) {
  std::fprintf(stderr, "fuzz: %s\n", what.c_str());
  std::abort();
}

QByteArray Bytes(const std::uint8_t* data, std::size_t size) {
  return QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
}

// A folder of this process's own, emptied for every input; every write of a
// target must stay inside it.
class Scratch {
public:
  Scratch() {
    static const fs::path base = [] {
      std::string pattern = (fs::temp_directory_path() / "kestro-fuzz-XXXXXX").string();
      if (!::mkdtemp(pattern.data())) Broken("no scratch folder");
      std::atexit([] { std::error_code ec; fs::remove_all(Base(), ec); });
      return fs::path(pattern);
    }();
    Base() = base;
    Clear();
  }
  ~Scratch() { Clear(); }
  static fs::path& Base() {
    static fs::path path;
    return path;
  }
  fs::path operator/(const char* name) const { return Base() / name; }
  // Fails unless the folder holds exactly these names at its top.
  void ExpectOnly(const std::set<std::string>& names) const {
    std::set<std::string> found;
    for (const auto& entry : fs::directory_iterator(Base())) found.insert(entry.path().filename().string());
    for (const std::string& name : found)
      if (!names.count(name)) Broken("written outside its folder: " + name);
  }

private:
  void Clear() {
    std::error_code ec;
    for (const auto& entry : fs::directory_iterator(Base(), ec)) fs::remove_all(entry.path(), ec);
  }
};

// What extraction left below a folder: no symbolic link, no temporary part,
// no mode beyond the user's (set-uid, set-gid, group or world write).
void ExpectSafeTree(const fs::path& folder) {
  std::error_code ec;
  if (!fs::exists(folder, ec)) return;
  for (auto it = fs::recursive_directory_iterator(folder); it != fs::recursive_directory_iterator(); ++it) {
    struct stat st;
    const std::string path = it->path().string();
    if (::lstat(path.c_str(), &st) != 0) Broken("cannot stat " + path);
    if (S_ISLNK(st.st_mode)) Broken("extraction made a symbolic link: " + path);
    if (it->path().filename().string().starts_with(".kestro-part-")) Broken("a temporary part was left: " + path);
    if (S_ISREG(st.st_mode) && (st.st_mode & (S_ISUID | S_ISGID | S_IWGRP | S_IWOTH)))
      Broken("an extracted file has the mode " + std::to_string(st.st_mode & 07777) + ": " + path);
  }
}

bool WriteBytes(const fs::path& path, const std::uint8_t* data, std::size_t size) {
  std::FILE* file = std::fopen(path.c_str(), "wb");
  if (!file) return false;
  const bool ok = std::fwrite(data, 1, size, file) == size;
  return std::fclose(file) == 0 && ok;
}

// Lists and extracts the archive whose volumes are in scratch/in, the last one
// named last, into scratch/out; nothing else may change.
void ExtractVolumes(const Scratch& scratch, const std::set<std::string>& volumes, const std::string& last) {
  const QString in = QString::fromStdString((scratch / "in").string());
  const QString out = QString::fromStdString((scratch / "out").string());
  const QString lastPath = in + '/' + QString::fromStdString(last);
  const Archiver archiver;
  (void)archiver.List(lastPath);
  (void)archiver.Extract(lastPath, out);
  scratch.ExpectOnly({"in", "out"});
  std::set<std::string> left;
  for (const auto& entry : fs::directory_iterator(scratch / "in")) left.insert(entry.path().filename().string());
  if (left != volumes) Broken("the volumes' folder changed");
  ExpectSafeTree(scratch / "out");
}

// Reads every field of every row, nested tables too.
void ReadAll(TTable& table, const std::vector<FieldDef>& fields, int depth = 0) {
  if (depth > TMemTable::kMaxTableDepth + 1) Broken("tables nest deeper than allowed");
  for (table.First(); !table.Eof(); table.Next()) {
    for (const FieldDef& f : fields) {
      if (f.Type == FieldType::Table) {
        ReadAll(table.Nested(f.Name), f.Fields, depth + 1);
      } else {
        (void)table.AsString(f.Name);
      }
    }
  }
}

}  // namespace

int PeerSubject(const std::uint8_t* data, std::size_t size) {
  const QString text = QString::fromUtf8(Bytes(data, size));
  const peer::ReceivedSubject s = peer::ParseSubject(text, QStringLiteral("20240102030405006"));
  if (s.Ours) {
    (void)peer::Accepts(s, QStringLiteral("20200101000000000"), QStringLiteral("20210101000000000"));
    (void)IsStamp(s.IdentBase);
    const peer::ReplyRest rest = peer::SplitReplyRest(s.SubjectRest);
    (void)peer::CommandOf(rest.EncPayload);
    (void)peer::CommandOf(s.SubjectRest);
  }
  for (const QString& tag : {s.Ident, text}) {
    try {
      (void)SplitJobTag(tag);
    } catch (const EConvertError&) {
      // a number part that is not a number: refused with its text
    }
  }
  (void)peer::RemoveLineBreaks(text);
  return 0;
}

int MessageCipherText(const std::uint8_t* data, std::size_t size) {
  static MessageCipher cipher;
  static const bool keyed = (peer::SetPeerKey(cipher, QStringLiteral("alice@example.org")), true);
  (void)keyed;
  const QByteArray bytes = Bytes(data, size);
  const QString text = QString::fromUtf8(bytes);
  (void)cipher.DecryptText(peer::RemoveLineBreaks(text));
  (void)cipher.DecryptTextBytes(text);
  if (cipher.Decrypt(cipher.Encrypt(bytes)) != bytes) Broken("decryption does not undo encryption");
  if (MessageCipher::Base64Decode(QString::fromLatin1(MessageCipher::Base64Encode(bytes))) != bytes)
    Broken("Base64 does not round-trip");
  return 0;
}

int ZipVolume(const std::uint8_t* data, std::size_t size) {
  const Scratch scratch;
  fs::create_directory(scratch / "in");
  if (!WriteBytes(scratch / "in" / "disk.zip", data, size)) Broken("cannot write the volume");
  ExtractVolumes(scratch, {"disk.zip"}, "disk.zip");
  return 0;
}

int ZipVolumes(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const std::size_t count = 1 + data[0] % 4;
  std::size_t at = 1;
  std::vector<std::size_t> sizes;
  for (std::size_t i = 0; i + 1 < count; ++i) {
    std::uint32_t n = 0;
    for (int b = 0; b < 4; ++b) n |= at < size ? std::uint32_t(data[at++]) << (8 * b) : 0;
    sizes.push_back(n);
  }
  const Scratch scratch;
  fs::create_directory(scratch / "in");
  std::set<std::string> names;
  std::string last;
  for (std::size_t i = 0; i < count; ++i) {
    const std::size_t left = size - std::min(at, size);
    const std::size_t piece = i + 1 < count ? std::min<std::size_t>(sizes[i], left) : left;
    char name[16];
    std::snprintf(name, sizeof name, "disk.%03zu", i + 1);
    if (!WriteBytes(scratch / "in" / name, data + std::min(at, size), piece)) Broken("cannot write a volume");
    at += piece;
    names.insert(name);
    last = name;
  }
  ExtractVolumes(scratch, names, last);
  return 0;
}

int CompoundFile(const std::uint8_t* data, std::size_t size) {
  const QByteArray image = Bytes(data, size);
  cfb::Document doc;
  if (doc.Parse(image) != stg::kOk) return 0;
  std::vector<int> streams;
  for (int i = 0; i < 4096; ++i) {
    if (!doc.IsStream(i) && !doc.IsStorage(i)) continue;
    if (doc.IsStream(i) && doc.LoadStream(i) == stg::kOk) streams.push_back(i);
  }
  const std::vector<cfb::ElementInfo> elements = doc.Elements();
  StgResult written = stg::kOk;
  const QByteArray again = doc.Serialize(&written);
  if (written != stg::kOk) return 0;  // a stream that could not be read
  cfb::Document copy;
  if (copy.Parse(again) != stg::kOk) Broken("a written compound file does not parse");
  const std::vector<cfb::ElementInfo> copied = copy.Elements();
  if (copied.size() != elements.size()) Broken("a written compound file lost elements");
  for (std::size_t i = 0; i < copied.size(); ++i)
    if (copied[i].Path != elements[i].Path || copied[i].Size != elements[i].Size)
      Broken("a written compound file changed an element");
  try {
    auto root = TRootStorage::FromBytes(image, stgRead);
    (void)root->Elements();
  } catch (const ECompDocError&) {
    // refused with its text
  }
  return 0;
}

int ConfigTable(const std::uint8_t* data, std::size_t size) {
  if (size < 1) return 0;
  const QByteArray rest = Bytes(data + 1, size - 1);
  if (data[0] % 2 == 0) {
    TMemTable table;
    try {
      table.LoadPacket(rest);
    } catch (const ETableError&) {
      return 0;
    }
    ReadAll(table, table.Fields());
    TMemTable copy;
    copy.LoadPacket(table.SavePacket());  // must not throw
    if (copy.RecordCount() != table.RecordCount()) Broken("a saved table lost rows");
    return 0;
  }
  static MessageCipher cipher;
  static const bool keyed = (TClassData::KeyFileCipher(cipher), true);
  (void)keyed;
  const QByteArray file = cipher.Encrypt(rest);
  for (const auto& [name, fields] :
       {std::pair{kTableMain, TClassData::MainFields()}, std::pair{kTableMain103, TClassData::Main103Fields()}}) {
    TMemTable table(name);
    table.Define(fields);
    try {
      TClassData::DecodeFile(file, table, cipher, QStringLiteral("server.cfg"));
    } catch (const EConfigFileError&) {
      continue;
    }
    ReadAll(table, table.Fields());
  }
  return 0;
}

int ReceivedMail(const std::uint8_t* data, std::size_t size) {
  mail::InitMailLibrary();
  const Scratch scratch;
  const fs::path raw = scratch / "mail.eml";
  if (!WriteBytes(raw, data, size)) Broken("cannot write the mail");
  fs::create_directory(scratch / "saved");
  try {
    const mail::ReceivedMessage message(QString::fromStdString(raw.string()));
    const peer::ReceivedSubject s = peer::ParseSubject(message.Subject(), QStringLiteral("20240102030405006"));
    (void)s;
    (void)message.FromAddr();
    (void)message.MessageId();
    (void)message.BodyText();
    const int count = message.AttachmentCount();
    for (int i = 0; i < count && i < 4; ++i) {
      (void)message.AttachmentFileName(i);
      const QString path = QString::fromStdString((scratch / "saved").string()) + QStringLiteral("/%1.bin").arg(i);
      (void)message.SaveAttachment(i, path);
    }
  } catch (const std::exception&) {
    // a mail the library cannot read: the mailbox turns it into a result code
  }
  scratch.ExpectOnly({"mail.eml", "saved"});
  return 0;
}

const std::vector<Target>& Targets() {
  static const std::vector<Target> targets = {
      {"peer_subject", PeerSubject}, {"message_cipher", MessageCipherText}, {"zip_volume", ZipVolume},
      {"zip_volumes", ZipVolumes},   {"compound_file", CompoundFile},       {"config_table", ConfigTable},
      {"received_mail", ReceivedMail},
  };
  return targets;
}

}  // namespace fuzz
