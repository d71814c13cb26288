// fuzz_seeds OUT: the first inputs of every fuzz target, written by our own
// writers (subjects, cipher texts, volumes, compound files, table packets,
// mails as the sender composes them) into OUT/<target>/.
#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <cstdio>
#include <fstream>
#include <vmime/vmime.hpp>

#include "archive/Archiver.h"
#include "config/ClassData.h"
#include "config/MemTable.h"
#include "fuzz/FuzzTargets.h"
#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "transport/MailSession.h"

namespace {

QString gOut;

void Seed(const char* target, const QString& name, const QByteArray& bytes) {
  const QString folder = gOut + '/' + target;
  QDir().mkpath(folder);
  QFile file(folder + '/' + name);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(bytes) != bytes.size()) {
    std::fprintf(stderr, "fuzz_seeds: cannot write %s\n", qPrintable(file.fileName()));
    std::exit(1);
  }
}

QByteArray ReadAll(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray Text(int size, char seed) {
  QByteArray text;
  while (text.size() < size) text += QByteArray("share folder friend volume ") + char('a' + (seed + text.size()) % 26) + '\n';
  return text.left(size);
}

QByteArray Le32(qint64 v) {
  QByteArray out;
  for (int i = 0; i < 4; ++i) out += char((v >> (8 * i)) & 0xFF);
  return out;
}

// A small tree of files to archive.
QStringList Corpus(const QString& root, int textSize) {
  QDir().mkpath(root + "/sub/empty");
  QFile(root + "/empty.txt").open(QIODevice::WriteOnly);
  for (const auto& [name, size] : {std::pair{"notes.txt", textSize}, std::pair{"sub/run.sh", 200}}) {
    QFile file(root + '/' + name);
    file.open(QIODevice::WriteOnly);
    file.write(Text(size, name[0]));
  }
  QFile::setPermissions(root + "/sub/run.sh", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ExeGroup);
  return {root + "/empty.txt", root + "/notes.txt", root + "/sub"};
}

void Subjects(MessageCipher& cipher) {
  peer::SetPeerKey(cipher, QStringLiteral("alice@example.org"));
  const QString stamp = QStringLiteral("20240102030405006");
  const QString list = cipher.EncryptText(QStringLiteral("list"));
  const QString download = cipher.EncryptText(QStringLiteral("download"));
  const QStringList subjects = {
      peer::RequestSubject(stamp, list),
      peer::RequestSubject(stamp, download),
      peer::ReplySubject(stamp, cipher.EncryptText(QStringLiteral("list_")), peer::kStatusDone),
      peer::ReplySubject(stamp, cipher.EncryptText(QStringLiteral("none_")), peer::kErrorPrefix + peer::kMsgForbidden),
      peer::VolumeSubject(stamp, 5000123, 3, cipher.EncryptText(QStringLiteral("download_"))),
      QStringLiteral("?_list"),
      QStringLiteral("?_download"),
  };
  for (int i = 0; i < subjects.size(); ++i) Seed("peer_subject", QStringLiteral("seed-%1").arg(i), subjects[i].toUtf8());
  const QStringList texts = {list, download, cipher.EncryptText(QStringLiteral("notes.txt\r\nsub\\run.sh\r\n")),
                             cipher.EncryptText(QStringLiteral("Grüße.txt\t12KB\r\n"))};
  for (int i = 0; i < texts.size(); ++i) Seed("message_cipher", QStringLiteral("seed-%1").arg(i), texts[i].toUtf8());
}

void Volumes(const QString& work) {
  // One volume, deflated and stored.
  const QStringList small = Corpus(work + "/small", 3000);
  for (int level : {3, 0}) {
    const Result<QStringList> built = Archiver(level).BuildVolumes(small, work + QStringLiteral("/one%1").arg(level));
    if (!built) std::exit(1);
    Seed("zip_volume", QStringLiteral("seed-level%1").arg(level), ReadAll(built->last()));
    Seed("zip_volumes", QStringLiteral("seed-level%1").arg(level), QByteArray(1, '\0') + ReadAll(built->last()));
  }
  // Three volumes of the smallest size.
  const QStringList big = Corpus(work + "/big", 150000);
  const Result<QStringList> built = Archiver(0, Archiver::kMinVolumeSize).BuildVolumes(big, work + "/split");
  if (!built || built->size() < 2 || built->size() > 4) std::exit(1);
  QByteArray joined(1, char(built->size() - 1));
  QByteArray data;
  for (int i = 0; i < built->size(); ++i) {
    const QByteArray volume = ReadAll(built->at(i));
    if (i + 1 < built->size()) joined += Le32(volume.size());
    data += volume;
  }
  Seed("zip_volumes", QStringLiteral("seed-split"), joined + data);
}

void Configuration() {
  MessageCipher cipher;
  TClassData::KeyFileCipher(cipher);
  TMemTable main(kTableMain);
  main.Define(TClassData::MainFields());
  main.Append();
  main.SetString("MAIN_REMOTE_HOST", QStringLiteral("bob@example.org"));
  main.SetString("OPTIONS_DOWNLOAD_FOLDER", QStringLiteral("/home/alice/Downloads"));
  main.SetInteger("OPTIONS_POP3_PORT", 995);
  main.SetBoolean("OPTIONS_POP3_SSL", true);
  TTable& users = main.Nested("USERS");
  users.Append();
  users.SetString("USER_ADDRESS", QStringLiteral("carol@example.org"));
  users.SetString("USER_FOLDER", QStringLiteral("/home/alice/Share"));
  users.SetBoolean("USER_DOWNLOAD", true);
  users.Post();
  main.Post();
  TMemTable anonymous(kTableMain103);
  anonymous.Define(TClassData::Main103Fields());
  anonymous.Append();
  anonymous.SetBoolean("ANONYMOUS_ON", true);
  anonymous.SetString("ANONYMOUS_FOLDER", QStringLiteral("/srv/public"));
  anonymous.Post();
  int n = 0;
  for (const TMemTable* table : {&main, &anonymous}) {
    const QByteArray image = cipher.Decrypt(TClassData::EncodeFile(*table, cipher));
    Seed("compound_file", QStringLiteral("seed-%1").arg(n), image);
    Seed("config_table", QStringLiteral("seed-packet-%1").arg(n), QByteArray(1, '\0') + table->SavePacket());
    Seed("config_table", QStringLiteral("seed-file-%1").arg(n), QByteArray(1, '\1') + image);
    ++n;
  }
}

// A mail as the sender composes one: a text part and an attachment.
void Mails(const QString& work, MessageCipher& cipher) {
  mail::InitMailLibrary();
  peer::SetPeerKey(cipher, QStringLiteral("alice@example.org"));
  struct Mail {
    QString Subject, Body, Attachment;
  };
  const QString stamp = QStringLiteral("20240102030405006");
  const Mail mails[] = {
      {peer::VolumeSubject(stamp, 300, 1, cipher.EncryptText(QStringLiteral("download_"))), QString(),
       QStringLiteral("disk.001")},
      {peer::RequestSubject(stamp, cipher.EncryptText(QStringLiteral("download"))),
       cipher.EncryptText(QStringLiteral("notes.txt\r\n")), QString()},
      {QStringLiteral("?_download"), QStringLiteral("notes.txt\r\nGrüße.txt\r\n"), QString()},
  };
  int n = 0;
  for (const Mail& m : mails) {
    vmime::messageBuilder mb;
    mb.setExpeditor(vmime::mailbox("bob@example.org"));
    mb.getRecipients().appendAddress(std::make_shared<vmime::mailbox>("alice@example.org"));
    mb.setSubject(vmime::text(m.Subject.toStdString(), vmime::charset(vmime::charsets::US_ASCII)));
    mb.getTextPart()->setCharset(vmime::charset(vmime::charsets::UTF_8));
    mb.getTextPart()->setText(std::make_shared<vmime::stringContentHandler>(m.Body.toStdString()));
    if (!m.Attachment.isEmpty()) {
      auto content = std::make_shared<vmime::stringContentHandler>(Text(300, 'v').toStdString());
      mb.appendAttachment(std::make_shared<vmime::fileAttachment>(
          content, vmime::word(m.Attachment.toStdString()), vmime::mediaType("application/octet-stream")));
    }
    std::string raw;
    vmime::utility::outputStreamStringAdapter out(raw);
    mb.construct()->generate(out);
    Seed("received_mail", QStringLiteral("seed-%1").arg(n++), QByteArray::fromStdString(raw));
  }
  (void)work;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_seeds OUT\n");
    return 2;
  }
  gOut = QString::fromLocal8Bit(argv[1]);
  QTemporaryDir work;
  if (!work.isValid()) return 1;
  MessageCipher cipher;
  Subjects(cipher);
  Volumes(work.path());
  Configuration();
  Mails(work.path(), cipher);
  for (const fuzz::Target& target : fuzz::Targets())
    if (!QDir(gOut + '/' + target.Name).exists()) {
      std::fprintf(stderr, "fuzz_seeds: no seed for %s\n", target.Name);
      return 1;
    }
  return 0;
}
