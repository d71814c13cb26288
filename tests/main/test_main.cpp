// The application object: loading, saving, autostart, and a damaged configuration.
#include "main/ClassMain.h"
#include "config/Storage.h"
#include "platform/Autostart.h"
#include "MainTestEnv.h"
#include "TestFiles.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <gtest/gtest.h>

namespace {

class MainTest : public ::testing::Test {
protected:
  QTemporaryDir Dir;
  MainTestEnv Env{Dir.path()};
};

struct FriendRow {
  QString Address, Folder;
  bool Authent, CmdLine, ChangeDir, Download;
};
const std::vector<FriendRow> kFriends = {
    {" Ann@Example.org", "/srv/ann", true, false, true, false},
    {"bob@example.org", QString::fromUtf8("/srv/bøb"), false, true, false, true},
    {"carl@example.org", "/srv/carl", true, true, true, true},
};
const QStringList kAddresses = {"one@x.org", "two@x.org", "Three@x.org", "three@x.org", "five@x.org"};

}  // namespace

TEST_F(MainTest, FreshConfigurationLoadsEmptyAndItsOwnerWritesBothFiles) {
  auto* owner = new QObject;
  auto* main = new TClassMain(owner);
  EXPECT_EQ(main->parent(), owner);
  EXPECT_FALSE(main->SecondStart());
  EXPECT_EQ(main->Options().Pop3AccelTime(), 0);  // a table without rows reads 0
  EXPECT_EQ(main->Options().AttachVolume(), 0);
  EXPECT_TRUE(main->Options().Pop3Ssl());  // not stored: keeps its preset
  EXPECT_FALSE(main->Anonymous().Enabled());
  EXPECT_EQ(main->ExeName(), "/opt/kestro/bin/kestro --from-autostart");
  EXPECT_EQ(main->HomePage(), "https://example.org/home");
  EXPECT_EQ(main->QuickStart(), "/opt/kestro/quickstart.pdf");
  EXPECT_EQ(main->LogFolder(), Env.Root + "/log");
  EXPECT_EQ(main->LocalizerExt(), "ES");
  EXPECT_TRUE(main->TempInput().startsWith(Env.Root + "/in/conf-"));  // its own part of the folder
  EXPECT_TRUE(main->TempOutput().startsWith(Env.Root + "/out/conf-"));
  EXPECT_EQ(main->Data().MainFile(), Env.Conf() + "/server.cfg");
  EXPECT_FALSE(QFile::exists(Env.Conf() + "/server.cfg"));
  delete owner;  // frees the application object, which writes

  MessageCipher cipher;
  TClassData::KeyFileCipher(cipher);
  for (const auto& [file, table] : {std::pair{QString("server.cfg"), kTableMain}, {QString("server103.cfg"), kTableMain103}}) {
    auto root = TRootStorage::FromBytes(cipher.Decrypt(ReadFile(Env.Conf() + "/" + file)));
    ASSERT_EQ(root->Elements().size(), 1u) << file.toStdString();
    EXPECT_EQ(root->Elements()[0].Path, table);
  }
  TClassData data(nullptr, Env.Conf());
  data.SetSaveOnDestroy(false);
  EXPECT_EQ(data.DataMain().RecordCount(), 1);
  EXPECT_EQ(data.DataMain103().RecordCount(), 1);
  EXPECT_EQ(data.DataMain().Nested("USERS").RecordCount(), 0);
}

TEST_F(MainTest, WhatOneObjectSavesTheNextReadsBack) {
  {
    TClassMain main(nullptr);
    main.SetSecondStart(true);
    main.SetCloseOn(true);
    TClassOptions& o = main.Options();
    o.SetDownloadFolder("/home/me/Downloads");
    o.SetPop3Account("RECENT:me@elsewhere.org");
    o.SetPop3Password("s3cret");
    o.SetPop3Type(1);
    o.SetPop3AccelTime(30);
    o.SetStartupSystem(true);
    o.SetStartupTray(true);
    o.SetStartupRun(true);
    o.SetStartupAbout(true);
    o.SetAttachCompress(9);
    o.SetAttachVolume(2000000);
    o.SetTimeoutClient(7200);
    for (const QString& a : kAddresses) main.Addresses().Remember(a);
    main.SetRemoteHost("Three@x.org");
    for (const FriendRow& f : kFriends) {
      TClassUser* u = main.Users().Add();
      u->SetAddress(f.Address);
      u->SetFolder(f.Folder);
      u->SetAuthent(f.Authent);
      u->SetCmdLine(f.CmdLine);
      u->SetChangeDir(f.ChangeDir);
      u->SetDownload(f.Download);
    }
    main.Anonymous().SetEnabled(true);
    main.Anonymous().SetFolder("/srv/public");
    main.Anonymous().SetCmdLine(false);
    main.Anonymous().SetDownload(true);  // a fresh table read them all as false
  }
  EXPECT_EQ(ReadAutostartEntry(), "/opt/kestro/bin/kestro --from-autostart");

  TClassMain main(nullptr);
  EXPECT_TRUE(main.SecondStart());
  EXPECT_TRUE(main.CloseOn());
  EXPECT_EQ(main.RemoteHost(), "Three@x.org");
  const TClassOptions& o = main.Options();
  EXPECT_EQ(o.DownloadFolder(), "/home/me/Downloads");
  EXPECT_EQ(o.Pop3Account(), "RECENT:me@elsewhere.org");
  EXPECT_EQ(o.SmtpAddress(), "me@" + o.Provider().Domain);  // derived again by the setter
  EXPECT_EQ(o.Pop3Password(), "s3cret");
  EXPECT_EQ(o.Pop3Type(), 1);
  EXPECT_EQ(o.Pop3Port(), o.Provider().Imap4Port);
  EXPECT_EQ(o.Pop3AccelTime(), 30);
  EXPECT_TRUE(o.StartupSystem());
  EXPECT_TRUE(o.StartupTray());
  EXPECT_TRUE(o.StartupRun());
  EXPECT_TRUE(o.StartupAbout());
  EXPECT_EQ(o.AttachCompress(), 9);
  EXPECT_EQ(o.AttachVolume(), 2000000);
  EXPECT_EQ(o.TimeoutClient(), 7200);
  EXPECT_EQ(main.Addresses().Addresses(), kAddresses);
  ASSERT_EQ(main.Users().Count(), 3);
  for (int i = 0; i < 3; ++i) {
    const TClassUser* u = main.Users().Items(i);
    EXPECT_EQ(u->Address(), kFriends[i].Address);
    EXPECT_EQ(u->Folder(), kFriends[i].Folder);
    EXPECT_EQ(u->Authent(), kFriends[i].Authent);
    EXPECT_EQ(u->CmdLine(), kFriends[i].CmdLine);
    EXPECT_EQ(u->ChangeDir(), kFriends[i].ChangeDir);
    EXPECT_EQ(u->Download(), kFriends[i].Download);
  }
  EXPECT_TRUE(main.Anonymous().Enabled());
  EXPECT_EQ(main.Anonymous().Folder(), "/srv/public");
  EXPECT_FALSE(main.Anonymous().CmdLine());
  EXPECT_TRUE(main.Anonymous().Download());
}

TEST_F(MainTest, AutostartEntryDecidesStartupSystem) {
  {
    TClassMain main(nullptr);
    main.Options().SetStartupSystem(true);
  }
  ASSERT_FALSE(ReadAutostartEntry().isEmpty());
  RemoveAutostartEntry();  // removed by hand: the option is off at the next start
  {
    TClassMain main(nullptr);
    EXPECT_FALSE(main.Options().StartupSystem());
    EXPECT_FALSE(main.ReadAutostart());
  }
  WriteAutostartEntry("/somewhere/kestro");  // and on again although the file says off
  TClassMain main(nullptr);
  EXPECT_TRUE(main.Options().StartupSystem());
  main.Options().SetStartupSystem(false);
  main.WriteAutostart();
  EXPECT_FALSE(QFile::exists(AutostartFile()));
}

TEST_F(MainTest, RemoteHostOutsideTheHistoryIsSavedEmpty) {
  for (const auto& [remote, kept] : {std::pair{QString("two@x.org"), true}, {QString("TWO@x.org"), false},
                                     {QString("nobody@x.org"), false}}) {
    {
      TClassMain main(nullptr);
      main.Addresses().Clear();
      main.Addresses().Remember("two@x.org");
      main.SetRemoteHost(remote);
    }
    TClassMain main(nullptr);
    EXPECT_EQ(main.RemoteHost(), kept ? remote : QString()) << remote.toStdString();
  }
}

TEST_F(MainTest, SaveReachesTheFilesAtOnce) {
  TClassMain main(nullptr);
  main.Users().Add()->SetAddress("early@x.org");
  main.Save();
  main.Save();  // a second save replaces the rows, it does not add to them
  TClassData reader(nullptr, Env.Conf());
  reader.SetSaveOnDestroy(false);
  TMemTable& users = reader.DataMain().Nested("USERS");
  ASSERT_EQ(users.RecordCount(), 1);
  EXPECT_EQ(users.AsString("USER_ADDRESS"), "early@x.org");
}

TEST_F(MainTest, DamagedConfigurationBuildsNoObjectAndTouchesNothing) {
  { TClassMain main(nullptr); }
  for (const QString& file : {QString("server.cfg"), QString("server103.cfg")}) {
    SCOPED_TRACE(file.toStdString());
    const QString path = Env.Conf() + "/" + file;
    const QByteArray sound = ReadFile(path);
    QByteArray damaged = sound;
    damaged[100] = static_cast<char>(damaged[100] ^ 0xFF);
    {
      QFile f(path);
      ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
      f.write(damaged);
    }
    const QByteArray otherBefore = ReadFile(Env.Conf() + "/" + (file == "server.cfg" ? "server103.cfg" : "server.cfg"));
    QObject owner;
    try {
      new TClassMain(&owner);
      ADD_FAILURE() << "built";
    } catch (const EConfigFileError& e) {
      EXPECT_TRUE(QString(e.what()).contains(path)) << e.what();
    }
    EXPECT_TRUE(owner.children().isEmpty());
    EXPECT_EQ(ReadFile(path), damaged);
    EXPECT_EQ(ReadFile(Env.Conf() + "/" + (file == "server.cfg" ? "server103.cfg" : "server.cfg")), otherBefore);
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(sound);
  }
}

TEST_F(MainTest, EachConfigurationHasItsOwnTemporaryFolders) {
  const QString otherConf = Dir.path() + "/second conf";
  TClassMain first(nullptr), second(nullptr, otherConf), again(nullptr);
  for (const TClassMain* m : {&first, &second}) {
    EXPECT_TRUE(m->TempInput().startsWith(Dir.path() + "/in/")) << m->TempInput().toStdString();
    EXPECT_TRUE(m->TempOutput().startsWith(Dir.path() + "/out/")) << m->TempOutput().toStdString();
  }
  EXPECT_NE(first.TempInput(), second.TempInput());
  EXPECT_NE(first.TempOutput(), second.TempOutput());
  EXPECT_EQ(first.TempInput(), again.TempInput());  // the same folder each start
  EXPECT_TRUE(second.TempInput().section('/', -1).startsWith("second_conf-"));

  // The start-up clean-up of one leaves the other's files alone.
  ASSERT_TRUE(WriteFile(second.TempInput() + "/20260101000000001/disk.001", "volume"));
  ASSERT_TRUE(WriteFile(second.TempOutput() + "/20260101000000002/disk.001", "volume"));
  ASSERT_TRUE(WriteFile(first.TempInput() + "/left.txt", "x"));
  first.CleanTempFolders();
  EXPECT_FALSE(QFile::exists(first.TempInput() + "/left.txt"));
  EXPECT_TRUE(QDir(first.TempInput()).exists());
  EXPECT_EQ(ReadFile(second.TempInput() + "/20260101000000001/disk.001"), "volume");
  EXPECT_EQ(ReadFile(second.TempOutput() + "/20260101000000002/disk.001"), "volume");
}

// The user's running requests are kept in the main table's nested table
// "REQUESTS"; a file written before that table existed loads with none and
// is written with it from then on.
TEST_F(MainTest, KeptRequestsRoundTripAndAnOlderFileWithoutThemLoads) {
  {
    // A file as older versions wrote it: the main table without "REQUESTS"
    // and the fields added after it.
    std::vector<FieldDef> fields = TClassData::MainFields();
    std::erase_if(fields, [](const FieldDef& f) {
      return f.Name == "REQUESTS" || f.Name == "OPTIONS_POP3_SECURITY" || f.Name == "OPTIONS_SMTP_SECURITY";
    });
    ASSERT_EQ(fields.size() + 3, TClassData::MainFields().size());
    TMemTable older(kTableMain);
    older.Define(fields);
    older.Edit();
    older.SetString("MAIN_REMOTE_HOST", "one@x.org");
    older.Nested("ADDRESSES").Append();
    older.Nested("ADDRESSES").SetString("ADDRESS_ADDRESS", "one@x.org");
    older.Nested("ADDRESSES").Post();
    older.Post();
    MessageCipher cipher;
    TClassData::KeyFileCipher(cipher);
    QDir().mkpath(Env.Conf());
    ASSERT_TRUE(WriteFile(Env.Conf() + "/server.cfg", TClassData::EncodeFile(older, cipher)));
  }
  const KeptRequest download{"20261211013000123", "Bob@Example.org", "me@x.org", "download",
                             QString::fromUtf8("a.bin\r\nsub\\ünï.txt\r\n"), 50 + 50.0 / 3, 3,
                             qint64(5000000000), "01:30:00", "2026-12-11T01:35:00.250Z",
                             Env.Root + "/in/x/20261211013000123"};
  const KeptRequest list{"20261211014000000", "carl@x.org", "me@x.org", "list", "", 50, 0, 0, "01:40:00",
                         "2026-12-11T01:40:00.000Z", Env.Root + "/in/x/20261211014000000"};
  {
    TClassMain main(nullptr);
    EXPECT_TRUE(main.Requests().isEmpty());
    EXPECT_EQ(main.RemoteHost(), "one@x.org");  // the rest of the older file is read as before
    EXPECT_EQ(main.Addresses().Addresses(), QStringList({"one@x.org"}));
    main.SetRequests({download, list});
  }
  {
    TClassMain main(nullptr);
    ASSERT_EQ(main.Requests().size(), 2);
    EXPECT_EQ(main.Requests()[0], download);
    EXPECT_EQ(main.Requests()[1], list);
    main.SetRequests({list});  // one ended: it is no longer kept
  }
  TClassMain main(nullptr);
  ASSERT_EQ(main.Requests().size(), 1);
  EXPECT_EQ(main.Requests()[0], list);
}

// Servers chosen for the account are stored with their security modes and
// read back; a file without the modes (written before them) keeps the
// installation's servers, whatever its server fields hold.
TEST_F(MainTest, ChosenServersRoundTripAndAnOlderFileKeepsTheInstallations) {
  {
    TClassMain main(nullptr);
    TClassOptions& o = main.Options();
    o.SetPop3Account("recent:me@gmx.de");
    o.SetPop3Type(1);
    o.ChooseServers({"imap.gmx.net", 993, MailSecurity::Tls}, {"mail.gmx.net", 587, MailSecurity::StartTls});
  }
  {
    TClassMain main(nullptr);
    const TClassOptions& o = main.Options();
    ASSERT_TRUE(o.ServersChosen());
    EXPECT_EQ(o.Pop3Server(), "imap.gmx.net");
    EXPECT_EQ(o.Pop3Port(), 993);
    EXPECT_EQ(o.Pop3Security(), MailSecurity::Tls);
    EXPECT_EQ(o.SmtpServer(), "mail.gmx.net");
    EXPECT_EQ(o.SmtpPort(), 587);
    EXPECT_EQ(o.SmtpSecurity(), MailSecurity::StartTls);
    EXPECT_EQ(o.SmtpAddress(), "me@gmx.de");
    TMemTable& t = main.Data().DataMain();
    EXPECT_EQ(t.AsString("OPTIONS_POP3_SECURITY"), "tls");
    EXPECT_EQ(t.AsString("OPTIONS_SMTP_SECURITY"), "starttls");
    EXPECT_TRUE(t.AsBoolean("OPTIONS_POP3_SSL"));
    // Back to the installation's servers: the fields are emptied.
    main.Options().SetPop3Type(0);
  }
  {
    TClassMain main(nullptr);
    EXPECT_FALSE(main.Options().ServersChosen());
    EXPECT_EQ(main.Data().DataMain().AsString("OPTIONS_POP3_SERVER"), "");
    EXPECT_EQ(main.Data().DataMain().AsString("OPTIONS_SMTP_SECURITY"), "");
  }

  // An older file: server fields filled by another program, no modes.
  std::vector<FieldDef> fields = TClassData::MainFields();
  std::erase_if(fields, [](const FieldDef& f) {
    return f.Name == "OPTIONS_POP3_SECURITY" || f.Name == "OPTIONS_SMTP_SECURITY";
  });
  TMemTable older(kTableMain);
  older.Define(fields);
  older.Edit();
  older.SetString("OPTIONS_POP3_ACCOUNT", "me@elsewhere.org");
  older.SetInteger("OPTIONS_POP3_TYPE", 1);
  older.SetString("OPTIONS_POP3_SERVER", "mail.elsewhere.org");
  older.SetInteger("OPTIONS_POP3_PORT", 143);
  older.SetString("OPTIONS_SMTP_SERVER", "mail.elsewhere.org");
  older.SetInteger("OPTIONS_SMTP_PORT", 25);
  older.Post();
  MessageCipher cipher;
  TClassData::KeyFileCipher(cipher);
  ASSERT_TRUE(WriteFile(Env.Conf() + "/server.cfg", TClassData::EncodeFile(older, cipher)));
  TClassMain main(nullptr);
  const TClassOptions& o = main.Options();
  EXPECT_FALSE(o.ServersChosen());
  EXPECT_EQ(o.Pop3Server(), o.Provider().Imap4Server);
  EXPECT_EQ(o.Pop3Port(), o.Provider().Imap4Port);
  EXPECT_EQ(o.SmtpServer(), o.Provider().SmtpServer);
  EXPECT_EQ(o.SmtpAddress(), "me@" + o.Provider().Domain);
}
