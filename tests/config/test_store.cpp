// Tables, their packets, and the encrypted configuration files.
#include "config/ClassData.h"
#include "config/Storage.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/file.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "TestFiles.h"

namespace {

QByteArray DecryptFile(const QString& path) {
  MessageCipher cipher;
  cipher.SetKey(QStringLiteral("5TK8QM20R7H3CVWN"));
  return cipher.Decrypt(ReadFile(path));
}

TMemTable MainShaped() {
  TMemTable t(kTableMain);
  t.Define(TClassData::MainFields());
  return t;
}

// A configuration folder with both files written by a store.
void WriteSample(const QString& folder) {
  TClassData data(nullptr, folder);
  data.DataMain().Edit();
  data.DataMain().SetString("MAIN_REMOTE_HOST", "peer@example.org");
  data.DataMain().Nested("USERS").Append();
  data.DataMain().Nested("USERS").SetString("USER_ADDRESS", "friend@example.org");
  data.DataMain103().Edit();
  data.DataMain103().SetBoolean("ANONYMOUS_ON", true);
}

}  // namespace

TEST(MemTable, EmptyTableReadsEmptyAndEditAddsTheFirstRow) {
  TMemTable t = MainShaped();
  EXPECT_EQ(t.RecordCount(), 0);
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST"), "");
  EXPECT_FALSE(t.AsBoolean("MAIN_CLOSE_ON"));
  EXPECT_EQ(t.AsInteger("OPTIONS_POP3_PORT"), 0);
  EXPECT_EQ(t.Nested("USERS").RecordCount(), 0);
  EXPECT_THROW(t.Nested("USERS").Append(), ETableError);  // no main row to hold it
  EXPECT_THROW(t.SetString("MAIN_REMOTE_HOST", "x"), ETableError);  // not in editing
  EXPECT_THROW(t.AsString("NO_SUCH_FIELD"), ETableError);

  t.Edit();
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_TRUE(t.Editing());
  t.SetInteger("OPTIONS_POP3_ACCEL_TIME", 30);
  t.Post();
  EXPECT_FALSE(t.Editing());
  EXPECT_THROW(t.SetInteger("OPTIONS_POP3_ACCEL_TIME", 31), ETableError);
  t.Edit();  // the existing row, no second one
  EXPECT_EQ(t.RecordCount(), 1);
  EXPECT_EQ(t.AsInteger("OPTIONS_POP3_ACCEL_TIME"), 30);
}

TEST(MemTable, ValuesAreTypedAndStringsKeepTheirSize) {
  TMemTable t = MainShaped();
  t.Edit();
  t.SetString("MAIN_REMOTE_HOST", QString(150, 'a'));
  EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST").size(), 100);
  // A character outside the basic plane at the cut is not split in half.
  t.SetString("OPTIONS_POP3_ACCOUNT", QString(49, 'b') + QString::fromUtf8("\xF0\x9F\x98\x80"));
  EXPECT_EQ(t.AsString("OPTIONS_POP3_ACCOUNT"), QString(49, 'b'));
  t.SetString("OPTIONS_STARTUP_RUN", "TRUE");
  EXPECT_TRUE(t.AsBoolean("OPTIONS_STARTUP_RUN"));
  EXPECT_EQ(t.AsString("OPTIONS_STARTUP_RUN"), "True");
  t.SetString("OPTIONS_POP3_ACCEL_TIME", "45");
  EXPECT_EQ(t.AsInteger("OPTIONS_POP3_ACCEL_TIME"), 45);
  EXPECT_THROW(t.SetString("OPTIONS_POP3_ACCEL_TIME", "4x5"), ETableError);
  EXPECT_THROW(t.SetString("OPTIONS_POP3_ACCEL_TIME", "99999999999"), ETableError);
  EXPECT_THROW(t.SetString("OPTIONS_STARTUP_RUN", "maybe"), ETableError);
  EXPECT_THROW(t.SetBoolean("OPTIONS_POP3_PORT", true), ETableError);
  EXPECT_THROW(t.AsString("USERS"), ETableError);
}

TEST(MemTable, RowsMoveAndNestedRowsBelongToTheirMainRow) {
  TMemTable t = MainShaped();
  for (int i = 0; i < 3; ++i) {
    t.Append();
    t.SetString("MAIN_REMOTE_HOST", QString("row%1").arg(i));
    t.Nested("ADDRESSES").Append();
    t.Nested("ADDRESSES").SetString("ADDRESS_ADDRESS", QString("a%1").arg(i));
    t.Post();
  }
  QStringList seen;
  for (t.First(); !t.Eof(); t.Next())
    seen << t.AsString("MAIN_REMOTE_HOST") + "/" + t.Nested("ADDRESSES").AsString("ADDRESS_ADDRESS");
  EXPECT_EQ(seen, QStringList({"row0/a0", "row1/a1", "row2/a2"}));
  t.First();
  t.Next();
  t.Delete();  // the middle row
  EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST"), "row2");
  while (t.RecordCount() > 0) {
    t.Last();
    t.Delete();
  }
  EXPECT_TRUE(t.Eof());
  EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST"), "");
}

TEST(MemTable, PacketRestoresDefinitionValuesAndOrder) {
  TMemTable t = MainShaped();
  t.Edit();
  t.SetBoolean("MAIN_SECOND_START", true);
  t.SetString("OPTIONS_DOWNLOAD_FOLDER", QString::fromUtf8("/home/ünï/Downloads"));
  t.SetInteger("OPTIONS_TIMEOUT_CLIENT", -7);
  for (int i = 0; i < 5; ++i) {
    t.Nested("USERS").Append();
    t.Nested("USERS").SetString("USER_ADDRESS", QString("u%1@x").arg(i));
    t.Nested("USERS").SetBoolean("USER_DOWNLOAD", i % 2);
    t.Nested("USERS").Post();
  }
  const QByteArray packet = t.SavePacket();

  TMemTable back;
  back.LoadPacket(packet);
  EXPECT_EQ(back.Name(), kTableMain);
  ASSERT_EQ(back.Fields().size(), TClassData::MainFields().size());
  EXPECT_EQ(back.FindField("USER_FOLDER"), nullptr);  // nested fields stay nested
  EXPECT_EQ(back.FindField("USERS")->Fields.size(), 8u);
  EXPECT_EQ(back.FindField("OPTIONS_DOWNLOAD_FOLDER")->Size, 4000);
  EXPECT_TRUE(back.AsBoolean("MAIN_SECOND_START"));
  EXPECT_TRUE(back.IsNull("MAIN_CLOSE_ON"));
  EXPECT_EQ(back.AsString("OPTIONS_DOWNLOAD_FOLDER"), QString::fromUtf8("/home/ünï/Downloads"));
  EXPECT_EQ(back.AsInteger("OPTIONS_TIMEOUT_CLIENT"), -7);
  TMemTable& users = back.Nested("USERS");
  for (int i = 0; i < 5; ++i, users.Next()) {
    EXPECT_EQ(users.AsString("USER_ADDRESS"), QString("u%1@x").arg(i));
    EXPECT_EQ(users.AsBoolean("USER_DOWNLOAD"), bool(i % 2));
  }
  EXPECT_TRUE(users.Eof());
  EXPECT_EQ(back.SavePacket(), packet);
}

TEST(MemTable, DamagedPacketsRaiseAndChangeNothing) {
  TMemTable good = MainShaped();
  good.Edit();
  good.SetString("MAIN_REMOTE_HOST", "keep");
  const QByteArray packet = good.SavePacket();
  auto cbor = [](const nlohmann::json& j) {
    const auto v = nlohmann::json::to_cbor(j);
    return QByteArray(reinterpret_cast<const char*>(v.data()), v.size());
  };
  const nlohmann::json field = {{"name", "A"}, {"type", "string"}, {"size", 5}};
  const std::vector<std::pair<const char*, QByteArray>> cases = {
      {"empty", QByteArray()},
      {"garbage", QByteArray("not cbor at all")},
      {"truncated", packet.left(packet.size() / 2)},
      {"trailing bytes", packet + "x"},
      {"deep nesting", QByteArray(200000, '\x81') + '\x00'},
      {"huge array header", QByteArray("\x9b\x00\x00\x00\x01\x00\x00\x00\x00", 9)},
      {"huge string header", QByteArray("\x7b\x7f\xff\xff\xff\xff\xff\xff\xff", 9)},
      {"no table", cbor({{"x", 1}})},
      {"no fields", cbor({{"table", "T"}, {"fields", nlohmann::json::array()}, {"rows", nlohmann::json::array()}})},
      {"unknown type", cbor({{"table", "T"}, {"fields", {{{"name", "A"}, {"type", "blob"}}}}, {"rows", nlohmann::json::array()}})},
      {"absurd size", cbor({{"table", "T"}, {"fields", {{{"name", "A"}, {"type", "string"}, {"size", 1LL << 40}}}}, {"rows", nlohmann::json::array()}})},
      {"twice the same field", cbor({{"table", "T"}, {"fields", {field, field}}, {"rows", nlohmann::json::array()}})},
      {"short row", cbor({{"table", "T"}, {"fields", {field}}, {"rows", {nlohmann::json::array()}}})},
      {"wrong value type", cbor({{"table", "T"}, {"fields", {field}}, {"rows", {{42}}}})},
      {"integer out of range", cbor({{"table", "T"}, {"fields", {{{"name", "N"}, {"type", "integer"}}}}, {"rows", {{1LL << 40}}}})},
  };
  for (const auto& [what, bytes] : cases) {
    SCOPED_TRACE(what);
    TMemTable t = MainShaped();
    t.LoadPacket(packet);
    EXPECT_THROW(t.LoadPacket(bytes), ETableError);
    EXPECT_EQ(t.AsString("MAIN_REMOTE_HOST"), "keep");
  }
}

TEST(ConfigStore, FreshFolderGivesEmptyTablesAndWritesBothFiles) {
  QTemporaryDir dir;
  const QString conf = dir.filePath("conf/sub");  // created on the first save
  {
    TClassData data(nullptr, conf);
    EXPECT_EQ(data.MainFile(), conf + "/server.cfg");
    EXPECT_EQ(data.MainFile103(), conf + "/server103.cfg");
    EXPECT_EQ(data.DataMain().RecordCount(), 0);
    EXPECT_EQ(data.DataMain103().RecordCount(), 0);
    data.DataMain().Edit();
    data.DataMain103().Edit();
    EXPECT_FALSE(QFile::exists(data.MainFile()));
  }
  for (const QString& name : {QString("server.cfg"), QString("server103.cfg")}) {
    const QString path = conf + "/" + name;
    const QByteArray onDisk = ReadFile(path);
    EXPECT_FALSE(cfb::Document::HasSignature(onDisk)) << "left decrypted";
    struct stat st {};
    ASSERT_EQ(::stat(QFile::encodeName(path).constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0600u);
    // The decrypted file is a compound file that olefile reads: one stream, named after the table.
    // Decrypted by the cipher's own in-place file routine, in its 4096-byte pieces.
    const QString plain = dir.filePath(name + ".plain");
    ASSERT_TRUE(QFile::copy(path, plain));
    MessageCipher cipher;
    cipher.SetKey(QStringLiteral("5TK8QM20R7H3CVWN"));
    ASSERT_TRUE(cipher.DecryptFileInPlace(plain));
    EXPECT_EQ(ReadFile(plain), DecryptFile(path));
    QProcess ole;
    ole.start("/usr/bin/python3", {KESTRO_SOURCE_DIR "/tests/config/ole_dump.py", plain});
    ASSERT_TRUE(ole.waitForFinished(60000));
    const QStringList lines = QString::fromUtf8(ole.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    ASSERT_EQ(lines.size(), 1) << ole.readAllStandardError().toStdString();
    EXPECT_EQ(lines[0].section('\t', 0, 0), name == "server.cfg" ? kTableMain : kTableMain103);
  }
  TClassData again(nullptr, conf);
  EXPECT_EQ(again.DataMain().RecordCount(), 1);
  EXPECT_EQ(again.DataMain103().RecordCount(), 1);
  EXPECT_TRUE(QDir(conf).entryList(QDir::Files | QDir::Hidden).size() == 2) << "temporary files left";
}

TEST(ConfigStore, UnreadableFilesRaiseNameTheFileAndStayAsTheyWere) {
  QTemporaryDir dir;
  WriteSample(dir.path());
  const QString main = dir.filePath("server.cfg");
  const QByteArray sound = ReadFile(main);

  // A plain compound file, not encrypted.
  TRootStorage plain(QString(), stgReadWrite, stgExclusive, false, true);
  {
    TStorageStream s(kTableMain, true, stgReadWrite, plain);
    s.WriteAll(MainShaped().SavePacket());
  }
  QByteArray flipped = sound;
  flipped[flipped.size() / 2] = static_cast<char>(flipped[flipped.size() / 2] ^ 0x5A);
  MessageCipher cipher;
  TClassData::KeyFileCipher(cipher);
  TMemTable other(kTableMain103);
  other.Define(TClassData::Main103Fields());
  TMemTable renamed = MainShaped();
  renamed.SetName("Other");
  TRootStorage wrongStream(QString(), stgReadWrite, stgExclusive, false, true);
  { TStorageStream s("Other", true, stgReadWrite, wrongStream); }

  const std::vector<std::tuple<const char*, QByteArray, QString>> cases = {
      {"plain compound file", plain.Bytes(), "not a storage file: "},
      {"empty file", QByteArray(), "not a storage file: "},
      {"truncated", sound.left(700), "root storage open failed: "},
      {"damaged in the middle", flipped, ""},
      {"the other table's file", TClassData::EncodeFile(other, cipher), "stream open failed: "},
      {"a stream of another name", cipher.Encrypt(wrongStream.Bytes()), "stream open failed: "},
  };
  for (const auto& [what, bytes, reason] : cases) {
    SCOPED_TRACE(what);
    WriteFile(main, bytes);
    try {
      TClassData data(nullptr, dir.path());
      ADD_FAILURE() << "loaded";
    } catch (const EConfigFileError& e) {
      const QString message = QString::fromUtf8(e.what());
      EXPECT_TRUE(message.contains(main)) << e.what();
      EXPECT_TRUE(message.contains(reason)) << e.what();
    }
    EXPECT_EQ(ReadFile(main), bytes);  // byte for byte as it was
  }
  // Exclusive while it is read: a file held by another program cannot be loaded.
  WriteFile(main, sound);
  const int fd = ::open(QFile::encodeName(main).constData(), O_RDONLY);
  ASSERT_EQ(::flock(fd, LOCK_EX), 0);
  EXPECT_THROW(TClassData(nullptr, dir.path()), EConfigFileError);
  ::close(fd);
  TClassData data(nullptr, dir.path());
  EXPECT_EQ(data.DataMain().AsString("MAIN_REMOTE_HOST"), "peer@example.org");
}

TEST(ConfigStore, SaveFilesWritesOnDemandAndClearsStaleTemporaries) {
  QTemporaryDir dir;
  const QString stale = dir.filePath(".server.cfg.AbC123");
  WriteFile(stale, "left by a writer that was killed");
  TClassData data(nullptr, dir.path());
  data.SetSaveOnDestroy(false);
  data.DataMain().Edit();
  data.DataMain().SetString("OPTIONS_POP3_ACCOUNT", "me");
  data.SaveFiles();
  EXPECT_FALSE(QFile::exists(stale));
  EXPECT_FALSE(data.DataMain().Editing());
  TClassData reader(nullptr, dir.path());
  reader.SetSaveOnDestroy(false);
  EXPECT_EQ(reader.DataMain().AsString("OPTIONS_POP3_ACCOUNT"), "me");

  // A folder that cannot be written: a clear error, nothing else changes.
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner);
  if (::access(QFile::encodeName(dir.path()).constData(), W_OK) != 0) {
    EXPECT_THROW(data.SaveFiles(), EConfigFileError);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 2);
  }
  QFile::setPermissions(dir.path(), QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
}

// A save interrupted after its commit mark is finished by the next load; one
// interrupted before it is forgotten: a load always reads one save's pair.
TEST(ConfigStore, InterruptedSaveIsFinishedOrForgottenAsAPair) {
  QTemporaryDir dir;
  auto save = [&](const QString& host, const QString& anonymous) {
    TClassData data(nullptr, dir.path());
    data.SetSaveOnDestroy(false);
    data.DataMain().Edit();
    data.DataMain().SetString("MAIN_REMOTE_HOST", host);
    data.DataMain103().Edit();
    data.DataMain103().SetString("ANONYMOUS_FOLDER", anonymous);
    data.SaveFiles();
  };
  save("old@example.org", "/old");
  const QByteArray oldMain = ReadFile(dir.filePath("server.cfg")), old103 = ReadFile(dir.filePath("server103.cfg"));
  save("new@example.org", "/new");
  const QByteArray newMain = ReadFile(dir.filePath("server.cfg")), new103 = ReadFile(dir.filePath("server103.cfg"));
  const struct {
    const char* Name;
    bool Mark, Main103Renamed, MainPending;
    const char* Want;
  } cases[] = {
      {"pending copies, no mark", false, false, true, "old"},
      {"mark, nothing renamed", true, false, true, "new"},
      {"mark, one file renamed", true, true, true, "new"},
      {"mark, both renamed", true, true, false, "new"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFile(dir.filePath("server.cfg"), oldMain);
    WriteFile(dir.filePath("server103.cfg"), c.Main103Renamed ? new103 : old103);
    if (!c.Main103Renamed) WriteFile(dir.filePath(".server103.cfg.pending"), new103);
    if (c.MainPending) WriteFile(dir.filePath(".server.cfg.pending"), newMain);
    else WriteFile(dir.filePath("server.cfg"), newMain);
    if (c.Mark) WriteFile(dir.filePath(".save.commit"), "");
    TClassData data(nullptr, dir.path());
    data.SetSaveOnDestroy(false);
    const QString want = QString::fromLatin1(c.Want);
    EXPECT_EQ(data.DataMain().AsString("MAIN_REMOTE_HOST"), want + "@example.org");
    EXPECT_EQ(data.DataMain103().AsString("ANONYMOUS_FOLDER"), "/" + want);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList({"server.cfg", "server103.cfg"}));
  }
}
