// The decisions of the serving and requesting threads, run by the real engine
// (cipher, archive, temporary folders) against a recording host and a
// recording mail sender: who is served, what goes on the wire, what the job
// rows and the serving record are told, and how the volumes of a download are
// collected. No mail server; unpaced.
#include <QCoreApplication>
#include <QDir>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QTimer>
#include <gtest/gtest.h>

#include <map>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include <unistd.h>

#include "archive/Archiver.h"
#include "core/Users.h"
#include "archive/VolumeNames.h"
#include "exchange/PlainAnswers.h"
#include "exchange/ShareListing.h"
#include "core/Jobs.h"
#include "exchange/ClientThread.h"
#include "exchange/ExchangeHost.h"
#include "exchange/SenderGuard.h"
#include "exchange/ServerThread.h"
#include "message/PeerMessage.h"
#include "platform/Closing.h"
#include "platform/NamedSemaphore.h"
#include "transport/MailResult.h"
#include "transport/MailSender.h"

using namespace peer;

namespace {

const QString kAlice = "alice@example.test";  // a friend
const QString kBob = "bob@example.test";      // no friend
const QString kMe = "me@example.test";        // our own address, as a requester

// One report to a job row or to the serving record.
struct Report {
  QString Ident;
  qint32 State = -1;
  QString Message;
  bool Additive = false;
  double Progress = 0;
};

// Records every call of a worker; answers StopJobId and ActiveRowProgress
// from its fields. Lives on the test's thread, which runs the calls.
class RecordingHost : public QObject, public ExchangeHost {
  Q_OBJECT
public:
  struct Opened {
    QString Number, Subject, Address, Action, Text;
  };
  std::vector<Opened> OpenedJobs;
  std::vector<Report> ServingReports;
  std::vector<Report> RowReports;
  QStringList Listings;
  mutable int ProgressQuestions = 0;
  mutable std::set<QString> ProgressAskedFor;  // the jobs

  QString StopId;
  double RowProgress = -1;
  // Our requests whose rows are Active, by stamp.
  std::map<QString, OwnRequest> Requests;

  void Reset() {
    OpenedJobs.clear();
    ServingReports.clear();
    RowReports.clear();
    Listings.clear();
    ProgressQuestions = 0;
    ProgressAskedFor.clear();
    StopId.clear();
    RowProgress = -1;
    Requests.clear();
  }

  void OpenServingJob(const QString& number, const QString& subject, const QString& address, const QString& action,
                      const QString& text) override {
    OpenedJobs.push_back({number, subject, address, action, text});
    emit Called();
  }
  void UpdateServingJob(const QString& tag, qint32 state, const QString& info, bool additive,
                        double progress) override {
    ServingReports.push_back({tag, state, info, additive, progress});
    emit Called();
  }
  void UpdateJobRow(const QString& ident, qint32 state, const QString& message, bool additive,
                    double progress) override {
    RowReports.push_back({ident, state, message, additive, progress});
    emit Called();
  }
  void ListingArrived(const QString&, const QString& listing) override {
    Listings << listing;
    emit Called();
  }
  QString StopJobId() const override { return StopId; }
  double ActiveRowProgress(const QString& jobId) const override {
    ++ProgressQuestions;
    ProgressAskedFor.insert(jobId);
    emit const_cast<RecordingHost*>(this)->Called();
    return RowProgress;
  }

  std::optional<OwnRequest> ActiveRequest(const QString& jobId) const override {
    const auto it = Requests.find(jobId);
    if (it == Requests.end()) return std::nullopt;
    return it->second;
  }

signals:
  void Called();
};

// The mails that the fake senders of one test handed over.
struct Outbox {
  struct Mail {
    QStringList Recipients;
    QString Subject, Body;
    QStringList AttachmentNames;
    QList<QByteArray> Attachments;
  };
  std::mutex Lock;
  std::condition_variable Released;
  std::vector<Mail> Sent;
  int FailResult = mrOk;  // what Send answers; mrOk sends
  bool Hold = false;      // Send waits while it is set
  int Holding = 0;        // sends waiting

  void Release() {
    {
      std::lock_guard<std::mutex> guard(Lock);
      Hold = false;
    }
    Released.notify_all();
  }

  std::vector<Mail> Mails() {
    std::lock_guard<std::mutex> guard(Lock);
    return Sent;
  }
};

// A sender that keeps every mail (attachments read when they are added, as
// the worker deletes its volumes after sending).
class FakeSender : public MailSender {
public:
  explicit FakeSender(std::shared_ptr<Outbox> outbox) : FOutbox(std::move(outbox)) {}
  void Clear() override { FMail = {}; }
  int AddRecipient(const QString& address) override {
    FMail.Recipients << address;
    return mrOk;
  }
  void SetSubject(const QString& subject) override { FMail.Subject = subject; }
  void SetBodyText(const QString& body) override { FMail.Body = body; }
  int AddAttachment(const QString& path) override {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return mrFileError;
    FMail.AttachmentNames << QFileInfo(path).fileName();
    FMail.Attachments << file.readAll();
    return mrOk;
  }
  int Send() override {
    std::unique_lock<std::mutex> lock(FOutbox->Lock);
    ++FOutbox->Holding;
    FOutbox->Released.wait(lock, [this] { return !FOutbox->Hold; });
    --FOutbox->Holding;
    if (FOutbox->FailResult == mrOk) FOutbox->Sent.push_back(FMail);
    return FOutbox->FailResult;
  }

private:
  std::shared_ptr<Outbox> FOutbox;
  Outbox::Mail FMail;
};

QByteArray RandomBytes(int size, quint32 seed) {
  QRandomGenerator gen(seed);
  QByteArray bytes(size, Qt::Uninitialized);
  for (char& c : bytes) c = char(gen.generate() & 0xFF);
  return bytes;
}

void WriteFile(const QString& path, const QByteArray& bytes) {
  QDir().mkpath(QFileInfo(path).path());
  QFile file(path);
  ASSERT_TRUE(file.open(QIODevice::WriteOnly)) << path;
  file.write(bytes);
}

QByteArray ReadFile(const QString& path) {
  QFile file(path);
  return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString Seal(const QString& text, const QString& keyAddress) {
  MessageCipher cipher;
  SetPeerKey(cipher, keyAddress);
  return cipher.EncryptText(text);
}

QString Open(const QString& text, const QString& keyAddress) {
  MessageCipher cipher;
  SetPeerKey(cipher, keyAddress);
  return cipher.DecryptText(RemoveLineBreaks(text));
}

// A mail as a poller hands it over.
HandOverData HandOver(const QString& sender, const QString& subject, const QString& body,
                      const QString& attachment = QString()) {
  const ReceivedSubject s = ParseSubject(subject);
  return {sender, s.Prefix, s.Ident, s.IdentBase, s.SubjectRest, body.trimmed(), attachment};
}

// The lines logged under the "kestro" category while it lives.
class KestroLog {
public:
  KestroLog() {
    Instance = this;
    FPrevious = qInstallMessageHandler(&KestroLog::Handle);
  }
  ~KestroLog() {
    qInstallMessageHandler(FPrevious);
    Instance = nullptr;
  }
  QStringList Lines() {
    std::lock_guard<std::mutex> guard(FLock);
    return FLines;
  }
  void Clear() {
    std::lock_guard<std::mutex> guard(FLock);
    FLines.clear();
  }

private:
  static void Handle(QtMsgType, const QMessageLogContext& context, const QString& text) {
    if (Instance && context.category && QByteArray(context.category) == "kestro") {
      std::lock_guard<std::mutex> guard(Instance->FLock);
      Instance->FLines << text;
    }
  }
  static inline KestroLog* Instance = nullptr;
  QtMessageHandler FPrevious = nullptr;
  std::mutex FLock;
  QStringList FLines;
};

class ExchangeDecisions : public ::testing::Test {
protected:
  static void SetUpTestSuite() {
    if (!QCoreApplication::instance()) {
      static int argc = 1;
      static char name[] = "exchange_decisions_test";
      static char* argv[] = {name, nullptr};
      new QCoreApplication(argc, argv);
    }
  }

  void SetUp() override {
    ASSERT_TRUE(Dir.isValid());
    // Slots of our own, not shared with a Kestro or a mail test running beside.
    qputenv("KESTRO_RUNTIME_DIR", (Dir.path() + "/run").toUtf8());
    SetPaceFactor(0);
    SetClosing(false);
    Share = Dir.path() + "/share";
    Anonymous = Dir.path() + "/anonymous";
    TempInput = Dir.path() + "/in";
    TempOutput = Dir.path() + "/out";
    Downloads = Dir.path() + "/downloads";
    QDir().mkpath(Share);
    QDir().mkpath(Anonymous);
    WriteFile(Share + "/a.txt", "alpha");
    WriteFile(Anonymous + "/public.txt", "for all");
    PublishShares(false);
  }
  void TearDown() override { SetClosing(false); }

  void PublishShares(bool anonymousOn, bool changeDir = true) {
    auto snapshot = std::make_shared<ShareSnapshot>();
    snapshot->Friends.push_back({kAlice, Share, changeDir});
    snapshot->AnonymousEnabled = anonymousOn;
    snapshot->AnonymousFolder = Anonymous;
    Shares.Publish(snapshot);
  }

  std::unique_ptr<TClassServerSMTP> Server(const HandOverData& mail) {
    auto server = std::make_unique<TClassServerSMTP>(&Host, &Host);
    Fill(*server);
    server->SetMail(mail);
    server->SetShares(&Shares);
    server->SetSenderGuard(&Guard);
    server->SetLocalAddress(kMe);
    server->SetKeySuffix(kKeySuffix);
    server->SetTempInput(TempInput);
    server->SetTempOutput(TempOutput);
    server->SetStopJobId(Host.StopId);
    server->SetTimeoutSeconds(TimeoutSeconds);
    server->SetDownloadFolder(Downloads);
    server->SetArchive(3, VolumeSize);
    return server;
  }

  void Fill(TClassWorker& worker) {
    SmtpSettings smtp;
    smtp.FromAddress = kMe;
    worker.SetSmtp(smtp);
    worker.SetMailSenderFactory([outbox = Sent](const SmtpSettings&) { return std::make_unique<FakeSender>(outbox); });
  }

  // Starts the worker (unless started already) and runs the host's calls
  // until it has finished.
  void RunToEnd(TClassWorker& worker, bool start = true) {
    QEventLoop loop;
    QObject::connect(&worker, &QThread::finished, &loop, &QEventLoop::quit);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // a broken engine fails instead of hanging
    if (start) worker.Resume();
    if (!worker.isFinished()) loop.exec();
    ASSERT_TRUE(worker.wait(60000));
  }

  // Runs the host's calls until cond holds (looked at after each of them,
  // and now and then for what happens on the workers' side alone).
  void RunUntilCalled(const std::function<bool()>& cond) {
    QEventLoop loop;
    QObject::connect(&Host, &RecordingHost::Called, &loop, [&] {
      if (cond()) loop.quit();
    });
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
      if (cond()) loop.quit();
    });
    poll.start(10);
    QTimer::singleShot(60000, &loop, &QEventLoop::quit);  // a broken engine fails instead of hanging
    if (!cond()) loop.exec();
    ASSERT_TRUE(cond());
  }

  QTemporaryDir Dir;
  QString Share, Anonymous, TempInput, TempOutput, Downloads;
  ShareDirectory Shares;
  std::atomic<qint64> Clock{0};  // the guard's, in ms
  SenderGuard Guard{[this] { return Clock.load(); }};
  RecordingHost Host;
  std::shared_ptr<Outbox> Sent = std::make_shared<Outbox>();
  int TimeoutSeconds = 3600;
  qint64 VolumeSize = 70000;
};

// --- Serving ---------------------------------------------------------------

TEST_F(ExchangeDecisions, AuthenticationDecidesWhoIsServed) {
  const QString listing = FolderListing(Share).value(), anonymousListing = FolderListing(Anonymous).value();
  struct Case {
    const char* Name;
    QString Sender;
    QString Subject;  // as received
    bool AnonymousOn;
    QString Status;   // of the reply
    QString KeyAddress;  // the reply is sealed under this address's key; empty: plain
    QString Listing;     // the reply's body, opened
  } cases[] = {
      {"friend", kAlice, "$_20240101120000001_" + Seal("list", kAlice), false, "Done", kAlice, listing},
      {"friend, address in other case and blanks", " ALICE@example.test ", "$_20240101120000002_" + Seal("list", kAlice),
       false, "Done", kAlice, listing},
      // A person without Kestro also reads how to ask for files.
      {"friend, plain", kAlice, "?_list", false, "Done", "", listing + "\r\n" + PlainRequestHelp() + "\r\n"},
      {"stranger, anonymous share on", kBob, "$_20240101120000003_" + Seal("list", kBob), true, "Done", kBob,
       anonymousListing},
      {"stranger, anonymous share off", kBob, "$_20240101120000004_" + Seal("list", kBob), false,
       "Error: User forbidden.", "", ""},
      {"friend, text under another key", kAlice, "$_20240101120000005_" + Seal("list", kBob), true,
       "Error: Authentication failed.", "", ""},
      {"friend, no known command", kAlice, "$_20240101120000006_" + Seal("delete_all", kAlice), false,
       "Error: Authentication failed.", "", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    PublishShares(c.AnonymousOn);
    Host.Reset();
    Sent->Sent.clear();
    const HandOverData mail = HandOver(c.Sender, c.Subject, "");
    auto server = Server(mail);
    RunToEnd(*server);

    // Exactly one reply, to the sender, whatever the decision.
    const auto mails = Sent->Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(mails[0].Recipients, QStringList{c.Sender});
    EXPECT_TRUE(mails[0].Attachments.isEmpty());
    const ReceivedSubject reply = ParseSubject(mails[0].Subject);
    EXPECT_EQ(reply.Prefix, kReplyPrefix);
    EXPECT_EQ(reply.IdentBase, mail.IdentBase);
    EXPECT_EQ(SplitReplyRest(reply.SubjectRest).Status, c.Status);
    // The record: opened once, and told the outcome.
    ASSERT_EQ(Host.OpenedJobs.size(), 1u);
    EXPECT_EQ(Host.OpenedJobs[0].Number, mail.IdentBase);
    ASSERT_EQ(Host.ServingReports.size(), 1u);
    const Report& r = Host.ServingReports[0];
    EXPECT_EQ(r.Ident, mail.Ident);
    EXPECT_EQ(r.Message, c.Status);
    if (c.Status == "Done") {
      EXPECT_EQ(Host.OpenedJobs[0].Subject, mail.Prefix + "list");
      EXPECT_EQ(r.State, jsDone);
      EXPECT_EQ(r.Progress, 100);
      EXPECT_FALSE(r.Additive);
      const QString payload = SplitReplyRest(reply.SubjectRest).EncPayload;
      if (c.KeyAddress.isEmpty()) {
        EXPECT_EQ(payload, "list");
        EXPECT_EQ(mails[0].Body, c.Listing);
      } else {
        EXPECT_EQ(Open(payload, c.KeyAddress), "list");
        EXPECT_EQ(Open(mails[0].Body, c.KeyAddress), c.Listing);
      }
    } else {
      EXPECT_EQ(r.State, jsError);
      EXPECT_EQ(r.Progress, 0);
      EXPECT_TRUE(r.Additive);
    }
    EXPECT_TRUE(Host.RowReports.empty());
  }
}

TEST_F(ExchangeDecisions, ListingFailsOnlyForAMissingFolder) {
  // A file whose name looks like an error is listed like any other.
  WriteFile(Share + "/Error: not one.txt", "x");
  auto server = Server(HandOver(kAlice, "$_20240101120000001_" + Seal("list", kAlice), ""));
  RunToEnd(*server);
  ASSERT_EQ(Sent->Mails().size(), 1u);
  EXPECT_EQ(SplitReplyRest(ParseSubject(Sent->Mails()[0].Subject).SubjectRest).Status, "Done");
  EXPECT_EQ(Open(Sent->Mails()[0].Body, kAlice), FolderListing(Share).value());
  EXPECT_TRUE(FolderListing(Share).value().contains("Error: not one.txt\t"));

  // The granted folder is gone: an error reply with an empty body.
  Host.Reset();
  Sent->Sent.clear();
  QDir(Share).removeRecursively();
  server = Server(HandOver(kAlice, "$_20240101120000002_" + Seal("list", kAlice), ""));
  RunToEnd(*server);
  ASSERT_EQ(Sent->Mails().size(), 1u);
  EXPECT_EQ(SplitReplyRest(ParseSubject(Sent->Mails()[0].Subject).SubjectRest).Status,
            "Error: Disk or directory not exists or is inaccessible.");
  EXPECT_EQ(Open(Sent->Mails()[0].Body, kAlice), "");
  ASSERT_EQ(Host.ServingReports.size(), 1u);
  EXPECT_EQ(Host.ServingReports[0].State, jsError);
  EXPECT_EQ(Host.ServingReports[0].Message, "Error: Disk or directory not exists or is inaccessible.");
}

// Serves one request of alice's (her right to open subfolders as given): the
// status of the one reply (or of the volume mails) and its body, opened.
struct Served {
  QString Status, Body;
};

class SubfolderDecisions : public ExchangeDecisions {
protected:
  void SetUp() override {
    ExchangeDecisions::SetUp();
    Outside = Dir.path() + "/outside";
    WriteFile(Outside + "/secret.txt", "outside");
    WriteFile(Share + "/sub/inner.txt", "inner");
    QDir().mkpath(Share + "/sub/deeper");
    ASSERT_TRUE(QFile::link(Outside, Share + "/escape"));
  }
  Served Serve(const QString& subject, const QString& body, bool changeDir) {
    PublishShares(false, changeDir);
    Host.Reset();
    Sent->Sent.clear();
    const bool plain = subject.startsWith(kPlainPrefix);
    auto server = Server(HandOver(kAlice, subject, plain ? body : Seal(body, kAlice)));
    RunToEnd(*server);
    const auto mails = Sent->Mails();
    EXPECT_FALSE(mails.empty());
    if (mails.empty()) return {};
    const QString status = SplitReplyRest(ParseSubject(mails[0].Subject).SubjectRest).Status;
    return {status, plain ? mails[0].Body : Open(mails[0].Body, kAlice)};
  }
  QString Outside;
};

// The folder lines ("name/" TAB "DIR") come first; each part is compared sorted.
std::pair<QStringList, QStringList> FoldersAndFiles(const QString& listing) {
  QStringList lines = listing.split("\r\n");
  EXPECT_EQ(lines.takeLast(), "");  // CR LF after the last line too
  QStringList folders, files;
  for (const QString& line : lines) {
    if (line.endsWith("/\tDIR")) {
      EXPECT_TRUE(files.isEmpty()) << "a folder after a file: " << line.toStdString();
      folders << line;
    } else {
      files << line;
    }
  }
  folders.sort();
  files.sort();
  return {folders, files};
}

TEST_F(SubfolderDecisions, ListNamesItsFolderInsideTheShare) {
  // What a peer that sends no folder always got: the files of the top.
  const QString today = FolderListing(Share).value();
  ASSERT_EQ(today, "a.txt\t0KB\r\n");
  const QString notThere = "Error: Disk or directory not exists or is inaccessible.";
  struct Case {
    const char* Name;
    bool ChangeDir;
    QString Folder;  // the request's body
    QString Status;
    QStringList Folders, Files;  // of a listing
  } cases[] = {
      {"the top", true, "/", "Done", {"sub/\tDIR"}, {"a.txt\t0KB"}},  // the link that leads out is no folder of it
      {"a subfolder", true, "/sub", "Done", {"deeper/\tDIR"}, {"inner.txt\t0KB"}},
      {"without the leading slash, blanks around", true, " sub/ ", "Done", {"deeper/\tDIR"}, {"inner.txt\t0KB"}},
      {"an empty subfolder", true, "/sub/deeper", "Done", {}, {}},
      {"the parent of the share", true, "/..", notThere, {}, {}},
      {"out through a subfolder", true, "sub/../..", notThere, {}, {}},
      {"an absolute path", true, Share + "/sub", notThere, {}, {}},
      {"a link that leads out", true, "/escape", notThere, {}, {}},
      {"a missing folder", true, "/nosuch", notThere, {}, {}},
      {"a file", true, "/a.txt", notThere, {}, {}},
      {"a subfolder, without the right", false, "/sub", "Error: Command not allowed.", {}, {}},
      {"a missing one, without the right", false, "/nosuch", "Error: Command not allowed.", {}, {}},
      {"the top, without the right: no folders", false, "/", "Done", {}, {"a.txt\t0KB"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const Served served = Serve("$_20240101120000001_" + Seal("list", kAlice), c.Folder, c.ChangeDir);
    EXPECT_EQ(served.Status, c.Status);
    if (c.Status == "Done") {
      const auto [folders, files] = FoldersAndFiles(served.Body);
      EXPECT_EQ(folders, c.Folders);
      EXPECT_EQ(files, c.Files);
    } else {
      // A refusal carries the request's text back; a folder not there, nothing.
      EXPECT_EQ(served.Body, c.Status == notThere ? QString() : c.Folder);
      ASSERT_EQ(Host.ServingReports.size(), 1u);
      EXPECT_EQ(Host.ServingReports[0].State, jsError);
    }
  }
  // No folder named: exactly the listing of old, with or without the right.
  for (const bool changeDir : {true, false})
    EXPECT_EQ(Serve("$_20240101120000002_" + Seal("list", kAlice), "", changeDir).Body, today);
}

TEST_F(SubfolderDecisions, DownloadsAndPlainListsBelowTheTopNeedTheRight) {
  const QString help = "\r\n" + PlainRequestHelp() + "\r\n";
  const QString notAllowed = "Error: Command not allowed.";
  struct Case {
    const char* Name;
    QString Subject, Body;
    bool ChangeDir;
    QString Status, Answer;  // Answer: the plain answer's body (empty: not looked at)
  } cases[] = {
      {"a file in a subfolder", "$_20240101120000011_" + Seal("download", kAlice), "sub/inner.txt", true, "Done", ""},
      {"a folder", "$_20240101120000012_" + Seal("download", kAlice), "sub", true, "Done", ""},
      {"a file in a subfolder, without the right", "$_20240101120000013_" + Seal("download", kAlice),
       "a.txt\r\nsub/inner.txt", false, notAllowed, ""},
      {"a folder, without the right", "$_20240101120000014_" + Seal("download", kAlice), "sub", false, notAllowed, ""},
      {"a file of the top, without the right", "$_20240101120000015_" + Seal("download", kAlice), "a.txt", false,
       "Done", ""},
      {"plain list of a subfolder", "?_list", "sub\r\n-- \r\nAlice", true, "Done",
       "deeper/\tDIR\r\ninner.txt\t0KB\r\n" + help},
      {"plain list of the top with folders", "?_list", "/", true, "Done", "sub/\tDIR\r\na.txt\t0KB\r\n" + help},
      // A person's mail may carry any text: what names no folder asks for the top, as always.
      {"plain list with a signature", "?_list", "Thanks,\r\nAlice", true, "Done", "a.txt\t0KB\r\n" + help},
      {"plain list of the parent", "?_list", "..", true, "Done", "a.txt\t0KB\r\n" + help},
      {"plain list of a subfolder, without the right", "?_list", "sub", false, notAllowed, "sub"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    const Served served = Serve(c.Subject, c.Body, c.ChangeDir);
    EXPECT_EQ(served.Status, c.Status);
    if (!c.Answer.isEmpty()) {
      EXPECT_EQ(served.Body, c.Answer);
    }
  }
  // The folder arrives with what it holds, under its own name.
  Serve("$_20240101120000016_" + Seal("download", kAlice), "sub", true);
  ASSERT_EQ(Sent->Mails().size(), 1u);
  const QString volume = Dir.path() + "/volume/disk.001";
  WriteFile(volume, Sent->Mails()[0].Attachments.value(0));
  MessageCipher cipher;
  cipher.SetKey(VolumeKeyText(cipher, kAlice));
  ASSERT_TRUE(cipher.DecryptFileInPlace(volume));
  ASSERT_TRUE(Archiver(3, VolumeSize).Extract(volume, Downloads));
  EXPECT_EQ(ReadFile(Downloads + "/sub/inner.txt"), "inner");
  EXPECT_TRUE(QFileInfo(Downloads + "/sub/deeper").isDir());
}

TEST_F(ExchangeDecisions, DownloadGoesOutAsOneMailPerVolume) {
  const QByteArray big = RandomBytes(160000, 1), small = RandomBytes(3000, 2);
  WriteFile(Share + "/big.bin", big);
  WriteFile(Share + "/small.bin", small);
  for (const QString& prefix : {kRequestPrefix, kPlainPrefix}) {
    SCOPED_TRACE(prefix.toStdString());
    Host.Reset();
    Sent->Sent.clear();
    const bool plain = prefix == kPlainPrefix;
    const QString files = "big.bin\r\nsmall.bin\r\nmissing.bin\r\n";
    const HandOverData mail =
        plain ? HandOver(kAlice, "?_download", files)
              : HandOver(kAlice, "$_20240101120000001_" + Seal("download", kAlice), Seal(files, kAlice));
    auto server = Server(mail);
    RunToEnd(*server);

    const auto mails = Sent->Mails();
    ASSERT_EQ(mails.size(), 3u);
    qint64 total = 0;
    for (const auto& m : mails) total += m.Attachments.value(0).size();
    const QString sealedPayload = plain ? "download" : Seal("download", kAlice);
    const QStringList names = plain ? QStringList{"disk.z01", "disk.z02", "disk.zip_"}
                                    : QStringList{"disk.001", "disk.002", "disk.003"};
    for (size_t i = 0; i < mails.size(); ++i) {
      EXPECT_EQ(mails[i].Recipients, QStringList{mail.SenderAddress});
      EXPECT_EQ(mails[i].Subject, VolumeSubject(mail.IdentBase, total, 3, sealedPayload));
      // A person is told which name was not found; a peer's volumes carry no text.
      EXPECT_EQ(mails[i].Body, plain ? VolumeInstructions(3) + "\r\n\r\n" +
                                           PlainNotFoundAnswer({"missing.bin"}, FolderListing(Share).value())
                                     : QString());
      EXPECT_EQ(mails[i].AttachmentNames, QStringList{names[int(i)]});
    }
    // The record follows the volumes, then ends Done under the volume tag.
    const QString tag = mail.IdentBase + "." + QString::number(total) + ".3";
    ASSERT_EQ(Host.ServingReports.size(), 3u);
    for (int i = 0; i < 2; ++i) {
      EXPECT_EQ(Host.ServingReports[i].Ident, tag);
      EXPECT_EQ(Host.ServingReports[i].State, jsActive);
      EXPECT_TRUE(Host.ServingReports[i].Additive);
    }
    EXPECT_EQ(Host.ServingReports[2].Ident, tag);
    EXPECT_EQ(Host.ServingReports[2].State, jsDone);
    EXPECT_EQ(Host.ServingReports[2].Progress, 100);
    // Nothing is left in the output folder.
    EXPECT_TRUE(QDir(TempOutput).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());

    // What arrived opens into the requested files (the first volume under the
    // requester's key when it is sealed).
    const QString received = Dir.path() + (plain ? "/received-plain" : "/received-sealed");
    for (size_t i = 0; i < mails.size(); ++i) WriteFile(received + "/" + VolumeName(qint64(i) + 1), mails[i].Attachments[0]);
    if (!plain) {
      MessageCipher cipher;
      cipher.SetKey(VolumeKeyText(cipher, kAlice));
      ASSERT_TRUE(cipher.DecryptFileInPlace(received + "/disk.001"));
    }
    const Result<ExtractSummary> extracted = Archiver().Extract(received + "/disk.003", received + "/out");
    ASSERT_TRUE(extracted) << extracted.error();
    EXPECT_EQ(ReadFile(received + "/out/big.bin"), big);
    EXPECT_EQ(ReadFile(received + "/out/small.bin"), small);
  }
}

TEST_F(ExchangeDecisions, DownloadOfNothingAndFailedSendsAreFailures) {
  struct Case {
    const char* Name;
    QString Files;
    int SendResult;
    QString Status;  // the record's message
    size_t Mails;    // that went out
  } cases[] = {
      {"nothing archived", "missing.bin\r\n", mrOk, "Error: Download content is empty.", 1},
      {"list not sent", "", mrMessageRefused, "Error: " + kMsgSendFailed, 0},
      {"volume not sent", "a.txt\r\n", mrConnectFailed, "Error: " + kMsgSendFailed, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Host.Reset();
    Sent->Sent.clear();
    Sent->FailResult = c.SendResult;
    const QString command = c.Files.isEmpty() ? "list" : "download";
    auto server = Server(HandOver(kAlice, "$_20240101120000001_" + Seal(command, kAlice), Seal(c.Files, kAlice)));
    RunToEnd(*server);
    const auto mails = Sent->Mails();
    ASSERT_EQ(mails.size(), c.Mails);
    if (c.Mails) {
      EXPECT_TRUE(mails[0].Attachments.isEmpty());
      EXPECT_EQ(SplitReplyRest(ParseSubject(mails[0].Subject).SubjectRest).Status, c.Status);
    }
    ASSERT_EQ(Host.ServingReports.size(), 1u);
    EXPECT_EQ(Host.ServingReports[0].State, jsError);
    EXPECT_EQ(Host.ServingReports[0].Message, c.Status);
    EXPECT_EQ(Host.ServingReports[0].Progress, 0);
    EXPECT_TRUE(QDir(TempOutput).entryList(QDir::NoDotAndDotDot | QDir::AllEntries).isEmpty());
  }
}

TEST_F(ExchangeDecisions, PlainDownloadOfUnknownNamesSaysWhatThereIs) {
  WriteFile(Share + "/real.txt", "x");
  for (const QString& prefix : {kRequestPrefix, kPlainPrefix}) {
    SCOPED_TRACE(prefix.toStdString());
    Sent->Sent.clear();
    const bool plain = prefix == kPlainPrefix;
    const QString files = "no such.txt\r\n../escape.txt\r\n";
    auto server = Server(plain ? HandOver(kAlice, "?_download", files)
                               : HandOver(kAlice, "$_20240101120000001_" + Seal("download", kAlice), Seal(files, kAlice)));
    RunToEnd(*server);
    const auto mails = Sent->Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_EQ(SplitReplyRest(ParseSubject(mails[0].Subject).SubjectRest).Status, "Error: " + kMsgEmpty);
    if (plain) {
      const QString body = mails[0].Body;
      EXPECT_TRUE(body.startsWith("These files were not found:\r\n  no such.txt\r\n  ../escape.txt\r\n"))
          << body.toStdString();
      EXPECT_TRUE(body.contains("The shared folder holds:\r\n" + FolderListing(Share).value())) << body.toStdString();
      EXPECT_TRUE(body.contains(PlainRequestHelp()));
    } else {
      EXPECT_EQ(Open(mails[0].Body, kAlice), "");  // a peer's answer is unchanged
    }
  }
}

// The attachment that the poller saved for a mail is deleted once the mail
// has been handled, whatever it was; only the volumes of a download still
// being collected stay.
TEST_F(ExchangeDecisions, AttachmentsGoOnceTheirMailIsHandled) {
  const QString job = "20240101120000021";
  struct Case {
    const char* Name;
    QString Sender;
    QString Subject;
    QString Body;
  } cases[] = {
      {"a friend's request", kAlice, "$_20240101120000031_" + Seal("list", kAlice), ""},
      {"a refused request", kBob, "$_20240101120000032_" + Seal("list", kBob), ""},
      {"a plain request", kAlice, "?_download", "a.txt"},
      {"a listing", kAlice, ReplySubject(job, Seal("list", kMe), "Done"), Seal("a.txt\t1KB\r\n", kMe)},
      {"an error reply", kAlice, ReplySubject(job, Seal("list", kMe), "Error: User forbidden."), Seal("", kMe)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Host.Reset();
    Host.Requests[job] = {kAlice, "list"};
    const HandOverData mail = HandOver(c.Sender, c.Subject, c.Body, "big.bin");
    WriteFile(TempInput + "/" + mail.IdentBase + "/big.bin", RandomBytes(50000, 3));
    auto server = Server(mail);
    RunToEnd(*server);
    EXPECT_FALSE(QFileInfo::exists(TempInput + "/" + mail.IdentBase));
    EXPECT_FALSE(Host.ServingReports.empty() && Host.RowReports.empty());  // it was handled
  }
  // Beside the mail's own attachment, its folder keeps whatever else lies there.
  Host.Reset();
  Host.Requests[job] = {kAlice, "list"};
  WriteFile(TempInput + "/" + job + "/other", "x");
  WriteFile(TempInput + "/" + job + "/big.bin", "y");
  auto server = Server(HandOver(kAlice, ReplySubject(job, Seal("list", kMe), "Done"), Seal("", kMe), "big.bin"));
  RunToEnd(*server);
  EXPECT_EQ(QDir(TempInput + "/" + job).entryList(QDir::Files), QStringList{"other"});
}

// A sender has one download served at a time: a second one waits, outside
// the serving slots, until the first has been sent; lists and other senders
// go on meanwhile.
TEST_F(ExchangeDecisions, OneDownloadPerSenderAtATime) {
  PublishShares(true);
  const QString first = "$_20240101120000041_", second = "$_20240101120000042_";
  Sent->Hold = true;
  auto one = Server(HandOver(kAlice, first + Seal("download", kAlice), Seal("a.txt", kAlice)));
  one->Resume();
  RunUntilCalled([&] {
    std::lock_guard<std::mutex> guard(Sent->Lock);
    return Sent->Holding == 1;
  });
  auto two = Server(HandOver(" Alice@Example.test", second + Seal("download", kAlice), Seal("a.txt", kAlice)));
  two->Resume();
  RunUntilCalled([&] { return !Host.ServingReports.empty(); });
  ASSERT_EQ(Host.ServingReports.size(), 1u);
  EXPECT_EQ(Host.ServingReports[0].Ident, "20240101120000042");
  EXPECT_EQ(Host.ServingReports[0].State, jsActive);
  EXPECT_EQ(Host.ServingReports[0].Message, "waiting");
  // The waiting download gave its slot back: nine more are free.
  {
    std::vector<std::unique_ptr<NamedSemaphore>> taken;
    for (int i = 0; i < 9; ++i) {
      taken.push_back(std::make_unique<NamedSemaphore>(kServerSemaphore, 10));
      EXPECT_TRUE(taken.back()->Acquire(0)) << i;
    }
  }
  // Another sender's download and the same sender's list are not held up.
  Sent->Release();
  auto other = Server(HandOver(kBob, "$_20240101120000043_" + Seal("download", kBob), Seal("public.txt", kBob)));
  auto list = Server(HandOver(kAlice, "$_20240101120000044_" + Seal("list", kAlice), ""));
  RunToEnd(*other);
  RunToEnd(*list);
  RunToEnd(*one, false);
  RunToEnd(*two, false);
  // The second download went out after the first, each with its own volume.
  const auto mails = Sent->Mails();
  QStringList order;
  for (const auto& m : mails) order << ParseSubject(m.Subject).IdentBase;
  EXPECT_LT(order.indexOf("20240101120000041"), order.indexOf("20240101120000042"));
  std::vector<QString> done;
  for (const Report& r : Host.ServingReports)
    if (r.State == jsDone) done.push_back(r.Ident.section('.', 0, 0));
  EXPECT_EQ(done.size(), 4u);
  // The waiting one's record: waiting, then taken up, then done.
  QStringList secondReports;
  for (const Report& r : Host.ServingReports)
    if (r.Ident.startsWith("20240101120000042")) secondReports << r.Message;
  EXPECT_EQ(secondReports, QStringList({"waiting", "", "Done"}));
}

// A sender refused more than twenty times within an hour is ignored for the
// hour that follows: no answer, no record. Others are served meanwhile.
TEST_F(ExchangeDecisions, SenderRefusedTooOftenIsIgnoredForAnHour) {
  KestroLog log;
  auto request = [&](const QString& sender, int n) {
    const QString stamp = QString("202401011400%1").arg(n, 5, 10, QChar('0'));
    auto server = Server(HandOver(sender, "$_" + stamp + "_" + Seal("list", sender), ""));
    RunToEnd(*server);
  };
  for (int n = 0; n < SenderGuard::kRefusalLimit + 1; ++n) {
    Clock += 60000;  // a minute apart
    request(kBob, n);
  }
  ASSERT_EQ(Sent->Mails().size(), size_t(SenderGuard::kRefusalLimit + 1));
  for (const auto& m : Sent->Mails())
    EXPECT_EQ(SplitReplyRest(ParseSubject(m.Subject).SubjectRest).Status, "Error: User forbidden.");
  ASSERT_EQ(log.Lines().size(), 1);
  EXPECT_TRUE(log.Lines()[0].contains(kBob)) << log.Lines()[0].toStdString();

  Host.Reset();
  Sent->Sent.clear();
  request(" BOB@example.test", 100);
  Clock += SenderGuard::kHourMs - 1;
  request(kBob, 101);
  request(kAlice, 102);  // a friend is served all the while
  ASSERT_EQ(Sent->Mails().size(), 1u);
  EXPECT_EQ(Sent->Mails()[0].Recipients, QStringList{kAlice});
  ASSERT_EQ(Host.OpenedJobs.size(), 1u);

  // The hour is over: answered again.
  Clock += 1;
  request(kBob, 103);
  ASSERT_EQ(Sent->Mails().size(), 2u);
  EXPECT_EQ(Sent->Mails()[1].Recipients, QStringList{kBob});

  // Refusals spread over more than an hour never add up.
  for (int n = 0; n < 3 * SenderGuard::kRefusalLimit; ++n) {
    Clock += SenderGuard::kHourMs / SenderGuard::kRefusalLimit;
    request("carol@example.test", 200 + n);
  }
  EXPECT_EQ(Sent->Mails().size(), size_t(2 + 3 * SenderGuard::kRefusalLimit));
  EXPECT_EQ(log.Lines().size(), 1);
}

// --- Requesting ------------------------------------------------------------

TEST_F(ExchangeDecisions, RequestIsSealedAndItsSendDecidesTheRow) {
  // A sent request waits, and its row says for whom; it never shows an error.
  const QString kWaiting = "Waiting for the answer from " + kAlice + ".";
  struct Case {
    int SendResult;
    QString StopId;
    qint32 State;
    int Progress;
    QString Message;
  } cases[] = {
      {mrOk, "", jsActive, 50, kWaiting},
      // Results of the mail component that count as sent.
      {6, "", jsActive, 50, kWaiting},
      {16, "", jsActive, 50, kWaiting},
      {27, "", jsActive, 50, kWaiting},
      {mrMessageRefused, "", jsError, 25, "Error: " + kMsgSendFailed},
      {mrConnectFailed, "", jsError, 25, "Error: " + kMsgSendFailed},
      // Stopped meanwhile: the request stays stopped, sent or not.
      {mrOk, "20240101120000001", jsStopped, 25, "Error: " + kMsgSendFailed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.SendResult);
    Host.Reset();
    Host.StopId = c.StopId;
    Sent->Sent.clear();
    Sent->FailResult = c.SendResult;
    TClassClientSMTP client(&Host, &Host);
    Fill(client);
    client.SetJobId("20240101120000001");
    client.SetCommand("download");
    client.SetRemoteAddress(kAlice);
    client.SetLocalAddress(kMe);
    client.SetKeySuffix(kKeySuffix);
    client.SetSubjectHead("$_download");
    client.SetFileList("a.txt\r\n");
    RunToEnd(client);

    ASSERT_EQ(Host.RowReports.size(), 1u);
    const Report& r = Host.RowReports[0];
    EXPECT_EQ(r.Ident, "20240101120000001");
    EXPECT_EQ(r.State, c.State);
    EXPECT_EQ(r.Progress, c.Progress);
    EXPECT_FALSE(r.Additive);
    EXPECT_EQ(r.Message, c.Message);
    if (c.SendResult == mrOk) {
      const auto mails = Sent->Mails();
      ASSERT_EQ(mails.size(), 1u);
      EXPECT_EQ(mails[0].Recipients, QStringList{kAlice});
      EXPECT_EQ(mails[0].Subject, RequestSubject("20240101120000001", Seal("download", kMe)));
      EXPECT_EQ(Open(mails[0].Body, kMe), "a.txt\r\n");
    }
  }
}

TEST_F(ExchangeDecisions, WithoutUsableSlotsRowAndRecordSayWhy) {
  // The folder of the cross-process slots is a link: no slot can be taken,
  // and neither a request of ours nor a friend's waits for one.
  QDir().mkpath(Dir.path() + "/elsewhere");
  ASSERT_TRUE(QFile::link(Dir.path() + "/elsewhere", Dir.path() + "/link"));
  qputenv("KESTRO_RUNTIME_DIR", (Dir.path() + "/link").toUtf8());
  const auto saysWhy = [&](const Report& r) {
    EXPECT_EQ(r.State, jsError);
    EXPECT_TRUE(r.Message.startsWith("Error: ") && r.Message.contains(Dir.path() + "/link"))
        << r.Message.toStdString();
  };
  TClassClientSMTP client(&Host, &Host);
  Fill(client);
  client.SetJobId("20240101120000001");
  client.SetCommand("list");
  client.SetRemoteAddress(kAlice);
  client.SetLocalAddress(kMe);
  client.SetSubjectHead("$_list");
  RunToEnd(client);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  saysWhy(Host.RowReports[0]);

  auto server = Server(HandOver(kAlice, "$_20240101120000002_" + Seal("list", kAlice), ""));
  RunToEnd(*server);
  ASSERT_EQ(Host.OpenedJobs.size(), 1u);
  ASSERT_EQ(Host.ServingReports.size(), 1u);
  saysWhy(Host.ServingReports[0]);
  EXPECT_TRUE(Sent->Mails().empty());
}

// --- Replies ---------------------------------------------------------------

TEST_F(ExchangeDecisions, RepliesMatchTheirJobRows) {
  const QString job = "20240101120000005";
  const QString listing = "a.txt\t1KB\r\nb.txt\t2KB\r\n";
  struct Case {
    const char* Name;
    QString Subject;
    QString Body;
    QString StopId;
    qint32 State;
    QString Message;
    double Progress;
    bool Additive;
    bool Listed;
  } cases[] = {
      {"list reply", ReplySubject(job, Seal("list", kMe), "Done"), Seal(listing, kMe), "", jsDone, "Done", 100, false,
       true},
      {"error reply", ReplySubject(job, Seal("list", kMe), "Error: User forbidden."), Seal("", kMe), "", jsError,
       "Error: User forbidden.", 0, true, false},
      {"error reply of a stopped job", ReplySubject(job, Seal("list", kMe), "Error: User forbidden."),
       Seal("", kMe), job, jsStopped, "Error: User forbidden.", 0, true, false},
      {"earlier volume of a stopped job", VolumeSubject(job, 1000, 2, Seal("download", kMe)), "", job, jsStopped,
       "Stopped by the user.", 25, true, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Host.Reset();
    Host.StopId = c.StopId;
    const bool volume = ParseSubject(c.Subject).Ident.contains('.');
    Host.Requests[job] = {kAlice, volume ? "download" : "list"};
    auto server = Server(HandOver(kAlice, c.Subject, c.Body, "disk.001"));
    RunToEnd(*server);
    ASSERT_EQ(Host.RowReports.size(), 1u);
    const Report& r = Host.RowReports[0];
    EXPECT_EQ(r.Ident, ParseSubject(c.Subject).Ident);
    EXPECT_EQ(r.State, c.State);
    EXPECT_EQ(r.Message, c.Message);
    EXPECT_EQ(r.Progress, c.Progress);
    EXPECT_EQ(r.Additive, c.Additive);
    EXPECT_EQ(Host.Listings, c.Listed ? QStringList{listing} : QStringList{});
    // A reply is never answered and opens no serving record.
    EXPECT_TRUE(Sent->Mails().empty());
    EXPECT_TRUE(Host.OpenedJobs.empty());
  }
}

// A "!_" mail is handled only as the answer to an open request of ours,
// from the address that request went to, and of the kind it asked for.
TEST_F(ExchangeDecisions, RepliesFromStrangersWriteNothing) {
  const QString listJob = "20240101120000011", downloadJob = "20240101120000012";
  const QString forged = "29991231235959013";
  // A stranger's archive, sealed the way a genuine first volume is: it would
  // replace notes.txt and add run.sh in the download folder.
  WriteFile(Dir.path() + "/evil/notes.txt", "replaced");
  WriteFile(Dir.path() + "/evil/run.sh", "#!/bin/sh\n");
  const Result<QStringList> built = Archiver(3, VolumeSize).BuildVolumes(
      {Dir.path() + "/evil/notes.txt", Dir.path() + "/evil/run.sh"}, Dir.path() + "/evil-volume");
  ASSERT_TRUE(built) << built.error();
  ASSERT_EQ(built->size(), 1);
  {
    MessageCipher cipher;
    cipher.SetKey(VolumeKeyText(cipher, kMe));
    ASSERT_TRUE(cipher.EncryptFileInPlace(built->at(0)));
  }
  const QByteArray volume = ReadFile(built->at(0));
  const qint64 total = volume.size();
  WriteFile(Downloads + "/notes.txt", "mine");
  const QString carol = "carol@example.test";

  struct Case {
    const char* Name;
    bool RequestsOpen;  // a list request to alice and a download request to alice
    QString Sender;
    QString Subject;
    QString Body;
  } cases[] = {
      {"no request open", false, carol, VolumeSubject(forged, total, 1, Seal("download", kMe)), ""},
      {"a stamp of no request of ours", true, carol, VolumeSubject(forged, total, 1, Seal("download", kMe)), ""},
      {"our stamp, another sender", true, carol, VolumeSubject(downloadJob, total, 1, Seal("download", kMe)), ""},
      {"our stamp, another sender, a listing", true, carol, ReplySubject(listJob, Seal("list", kMe), "Done"),
       Seal("evil.txt\t1KB\r\n", kMe)},
      {"a volume for a list request", true, kAlice, VolumeSubject(listJob, total, 1, Seal("download", kMe)), ""},
      {"a listing for a download request", true, kAlice, ReplySubject(downloadJob, Seal("list", kMe), "Done"),
       Seal("evil.txt\t1KB\r\n", kMe)},
      // Under a key that does not fit, the command means nothing.
      {"a reply under another key", true, kAlice, ReplySubject(listJob, Seal("list", kBob), "Done"),
       Seal("evil.txt\t1KB\r\n", kBob)},
  };
  KestroLog log;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.Name);
    Host.Reset();
    log.Clear();
    if (c.RequestsOpen) {
      Host.Requests[listJob] = {kAlice, "list"};
      Host.Requests[downloadJob] = {kAlice, "download"};
    }
    // The poller saved the attachment under the mail's stamp.
    const HandOverData mail = HandOver(c.Sender, c.Subject, c.Body, "disk.001");
    const QString saved = TempInput + "/" + mail.IdentBase;
    WriteFile(saved + "/disk.001", volume);
    auto server = Server(mail);
    RunToEnd(*server);

    EXPECT_EQ(ReadFile(Downloads + "/notes.txt"), "mine");
    EXPECT_EQ(QDir(Downloads).entryList(QDir::NoDotAndDotDot | QDir::AllEntries), QStringList{"notes.txt"});
    EXPECT_TRUE(Host.RowReports.empty());
    EXPECT_TRUE(Host.Listings.empty());
    EXPECT_TRUE(Host.OpenedJobs.empty());
    EXPECT_TRUE(Sent->Mails().empty());
    EXPECT_FALSE(QFileInfo::exists(saved));  // the attachment is gone with its folder
    const QStringList lines = log.Lines();
    ASSERT_EQ(lines.size(), 1) << lines.join('|').toStdString();
    EXPECT_TRUE(lines[0].contains(mail.Ident) && !lines[0].contains('\n')) << lines[0].toStdString();
  }

  // The genuine answer, from the request's address in other letters and
  // blanks, is handled.
  Host.Reset();
  Host.Requests[downloadJob] = {kAlice, "download"};
  const HandOverData mail =
      HandOver(" ALICE@Example.test ", VolumeSubject(downloadJob, total, 1, Seal("download", kMe)), "", "disk.001");
  WriteFile(TempInput + "/" + downloadJob + "/disk.001", volume);
  auto server = Server(mail);
  RunToEnd(*server);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  EXPECT_EQ(Host.RowReports[0].State, jsDone);
  EXPECT_EQ(ReadFile(Downloads + "/run.sh"), "#!/bin/sh\n");
  // The user's own notes.txt stays; the downloaded one goes beside it, and
  // the row says so.
  EXPECT_EQ(ReadFile(Downloads + "/notes.txt"), "mine");
  EXPECT_EQ(ReadFile(Downloads + "/notes (2).txt"), "replaced");
  EXPECT_EQ(Host.RowReports[0].Message,
            "Done; 1 file was saved as \"name (2)\" beside a file of the same name.");
}

// A forged reply that names a volume already collected: the poller left the
// collected file as it was (and did not keep the forged one), and refusing
// the mail removes nothing of it.
TEST_F(ExchangeDecisions, RefusedReplyLeavesACollectedVolumeAlone) {
  const QString downloadJob = "20240101120000014";
  Host.Requests[downloadJob] = {kAlice, "download"};
  const QString collected = TempInput + "/" + downloadJob + "/disk.001";
  WriteFile(collected, "collected volume");
  HandOverData mail = HandOver("carol@example.test", VolumeSubject(downloadJob, 100, 2, Seal("download", kMe)), "",
                               "disk.001");
  mail.AttachmentSaved = false;
  auto server = Server(mail);
  RunToEnd(*server);
  EXPECT_EQ(ReadFile(collected), "collected volume");
  EXPECT_TRUE(Host.RowReports.empty());
}

class VolumeCollection : public ExchangeDecisions {
protected:
  void SetUp() override {
    ExchangeDecisions::SetUp();
    A = RandomBytes(100000, 7);
    B = RandomBytes(60000, 8);
    WriteFile(Dir.path() + "/src/a.bin", A);
    WriteFile(Dir.path() + "/src/b.bin", B);
    const Result<QStringList> built =
        Archiver(3, 70000).BuildVolumes({Dir.path() + "/src/a.bin", Dir.path() + "/src/b.bin"}, Dir.path() + "/volumes");
    ASSERT_TRUE(built) << built.error();
    Volumes = *built;
    ASSERT_EQ(Volumes.size(), 3);
    MessageCipher cipher;
    cipher.SetKey(VolumeKeyText(cipher, kMe));
    ASSERT_TRUE(cipher.EncryptFileInPlace(Volumes[0]));
    for (const QString& v : Volumes) Total += QFileInfo(v).size();
    Collection = TempInput + "/" + Job;
    // The request was sent: its row stands at 50.
    Host.RowProgress = 50;
    Host.Requests[Job] = {kAlice, "download"};
  }

  // The poller saved volume i (0-based) into the collection folder.
  void Save(int i) {
    QDir().mkpath(Collection);
    ASSERT_TRUE(QFile::copy(Volumes[i], Collection + "/" + VolumeName(i + 1)));
  }
  std::unique_ptr<TClassServerSMTP> VolumeServer(int i) {
    return Server(HandOver(kAlice, VolumeSubject(Job, Total, 3, Seal("download", kMe)), "", VolumeName(i + 1)));
  }
  QString Tag() const { return Job + "." + QString::number(Total) + ".3"; }

  const QString Job = "20240101120000007";
  QByteArray A, B;
  QStringList Volumes;
  qint64 Total = 0;
  QString Collection;
};

TEST_F(VolumeCollection, EarlierVolumesOnlyAddProgress) {
  Save(0);
  Save(1);
  for (int i : {1, 0}) {
    auto server = VolumeServer(i);
    RunToEnd(*server);
  }
  ASSERT_EQ(Host.RowReports.size(), 2u);
  for (const Report& r : Host.RowReports) {
    EXPECT_EQ(r.Ident, Tag());
    EXPECT_EQ(r.State, jsActive);
    EXPECT_TRUE(r.Message == "Volume 1 of 3 received; waiting for the others." ||
                r.Message == "Volume 2 of 3 received; waiting for the others.")
        << r.Message.toStdString();
    EXPECT_TRUE(r.Additive);
    EXPECT_DOUBLE_EQ(r.Progress, 50.0 / 3);
  }
  EXPECT_EQ(Host.ProgressQuestions, 0);
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
  EXPECT_EQ(QDir(Collection).entryList(QDir::Files).size(), 2);
}

TEST_F(VolumeCollection, LastVolumeWaitsForEveryVolumeThenExtracts) {
  Save(2);  // the last volume first
  Save(0);
  auto server = VolumeServer(2);
  server->Resume();
  Save(1);
  // Every volume lies in the folder, but the row has not yet taken the
  // reports of the earlier ones: the thread waits on.
  RunUntilCalled([&] { return Host.ProgressQuestions >= 2; });
  EXPECT_TRUE(Host.RowReports.empty());
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
  Host.RowProgress = 50 + 2 * 50.0 / 3;
  RunToEnd(*server, false);

  ASSERT_EQ(Host.RowReports.size(), 1u);
  const Report& r = Host.RowReports[0];
  EXPECT_EQ(r.Ident, Tag());
  EXPECT_EQ(r.State, jsDone);
  EXPECT_EQ(r.Message, "Done");
  EXPECT_EQ(r.Progress, 100);
  EXPECT_FALSE(r.Additive);
  EXPECT_EQ(ReadFile(Downloads + "/a.bin"), A);
  EXPECT_EQ(ReadFile(Downloads + "/b.bin"), B);
  EXPECT_FALSE(QFileInfo::exists(Collection));
}

// A copy still being written beside the volumes, or one a killed program
// left half-written, is no volume: the download completes all the same.
TEST_F(VolumeCollection, AFileHalfWrittenBesideTheVolumesIsNoVolume) {
  for (int i : {0, 1, 2}) Save(i);
  WriteFile(Collection + "/.kestro-part-a1B2c3", "half a volume");
  Host.RowProgress = 50 + 2 * 50.0 / 3;
  auto server = VolumeServer(2);
  RunToEnd(*server);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  EXPECT_EQ(Host.RowReports[0].State, jsDone) << Host.RowReports[0].Message.toStdString();
  EXPECT_EQ(ReadFile(Downloads + "/a.bin"), A);
  EXPECT_EQ(ReadFile(Downloads + "/b.bin"), B);
}

// A small file system of its own (root only; skipped elsewhere).
class SmallDisk {
public:
  SmallDisk(const QString& path, const char* size) : Path(path) {
    QDir().mkpath(path);
    Mounted = ::getuid() == 0 &&
              QProcess::execute("mount", {"-t", "tmpfs", "-o", QString("size=") + size, "tmpfs", path}) == 0;
  }
  ~SmallDisk() {
    if (Mounted) QProcess::execute("umount", {Path});
  }
  QString Path;
  bool Mounted = false;
};

TEST_F(VolumeCollection, DownloadIntoAFullDiskSaysSo) {
  const SmallDisk disk(Dir.path() + "/small", "64k");
  if (!disk.Mounted) GTEST_SKIP() << "needs to mount a small tmpfs (root)";
  Downloads = disk.Path;
  for (int i : {0, 1, 2}) Save(i);
  Host.RowProgress = 50 + 2 * 50.0 / 3;
  auto server = VolumeServer(2);
  RunToEnd(*server);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  const Report& r = Host.RowReports[0];
  EXPECT_EQ(r.State, jsError);
  // Which folder, and that it lacks the space: not "the content is empty".
  EXPECT_TRUE(r.Message.startsWith("Error: Not enough free disk space in \"" + disk.Path + "\""))
      << r.Message.toStdString();
  EXPECT_TRUE(QDir(disk.Path).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
}

TEST_F(VolumeCollection, MissingVolumeEndsInTheTimeOut) {
  TimeoutSeconds = 0;  // given up after the first look
  Save(2);
  Save(0);
  auto server = VolumeServer(2);
  RunToEnd(*server);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  const Report& r = Host.RowReports[0];
  EXPECT_EQ(r.State, jsError);
  EXPECT_EQ(r.Message, "Error: Time out error.");
  EXPECT_EQ(r.Progress, 0);
  EXPECT_TRUE(r.Additive);
  EXPECT_FALSE(QFileInfo::exists(Collection));
  EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
}

TEST_F(VolumeCollection, RowEndedMeanwhileEndsTheWaitWithoutAReport) {
  // Timed out by the exchange just before, or stopped or removed by the
  // user: the row has its last word already.
  Save(2);
  Save(0);
  auto server = VolumeServer(2);
  server->Resume();
  RunUntilCalled([&] { return Host.ProgressQuestions >= 1; });
  Host.RowProgress = -1;
  RunToEnd(*server, false);
  EXPECT_TRUE(Host.RowReports.empty());
  EXPECT_FALSE(QFileInfo::exists(Collection));
}

TEST_F(VolumeCollection, CancelAndExitEndTheWait) {
  for (const bool exit : {false, true}) {
    SCOPED_TRACE(exit ? "exit" : "cancel");
    Host.ProgressQuestions = 0;
    for (int i = 0; i < 3; ++i) Save(i);
    auto server = VolumeServer(2);
    server->Resume();
    // Waiting for the earlier volumes' reports, for up to an hour.
    RunUntilCalled([&] { return Host.ProgressQuestions >= 1; });
    if (exit)
      SetClosing(true);
    else
      server->Cancel();
    RunToEnd(*server, false);
    SetClosing(false);
    // Nothing more reaches the host, and nothing is extracted.
    EXPECT_TRUE(Host.RowReports.empty());
    EXPECT_FALSE(QFileInfo::exists(Downloads + "/a.bin"));
    QDir(Collection).removeRecursively();
  }
}

// Replies take no serving slot: the last volumes of ten downloads that wait
// for their other volumes leave every slot to a friend's request, and
// replies are handled while every slot is taken.
TEST_F(VolumeCollection, RepliesTakeNoServingSlot) {
  std::vector<std::unique_ptr<TClassServerSMTP>> waiting;
  for (int j = 0; j < 10; ++j) {
    const QString job = QString("202401011300000%1").arg(j, 2, 10, QChar('0'));
    Host.Requests[job] = {kAlice, "download"};
    for (int i = 0; i < 3; ++i) {
      QDir().mkpath(TempInput + "/" + job);
      ASSERT_TRUE(QFile::copy(Volumes[i], TempInput + "/" + job + "/" + VolumeName(i + 1)));
    }
    // The row has not taken the earlier volumes' reports: each waits.
    waiting.push_back(Server(HandOver(kAlice, VolumeSubject(job, Total, 3, Seal("download", kMe)), "", "disk.003")));
    waiting.back()->Resume();
  }
  RunUntilCalled([&] { return Host.ProgressAskedFor.size() == 10; });

  auto request = Server(HandOver(kAlice, "$_20240101120000001_" + Seal("list", kAlice), ""));
  RunToEnd(*request);
  ASSERT_EQ(Host.ServingReports.size(), 1u);
  EXPECT_EQ(Host.ServingReports[0].State, jsDone);
  for (const auto& w : waiting) EXPECT_FALSE(w->isFinished());
  EXPECT_TRUE(Host.RowReports.empty());
  for (auto& w : waiting) {
    w->Cancel();
    RunToEnd(*w, false);
  }

  // With every slot taken, replies are still handled: a stranger's, and a
  // genuine last volume.
  std::vector<std::unique_ptr<NamedSemaphore>> taken;
  for (int i = 0; i < 10; ++i) {
    taken.push_back(std::make_unique<NamedSemaphore>(kServerSemaphore, 10));
    ASSERT_TRUE(taken.back()->Acquire(0));
  }
  auto forged =
      Server(HandOver(kBob, VolumeSubject("29991231235959013", Total, 3, Seal("download", kMe)), "", "disk.003"));
  RunToEnd(*forged);
  for (int i = 0; i < 3; ++i) Save(i);
  Host.RowProgress = 50 + 2 * 50.0 / 3;  // the earlier volumes are reported
  auto last = VolumeServer(2);
  RunToEnd(*last);
  ASSERT_EQ(Host.RowReports.size(), 1u);
  EXPECT_EQ(Host.RowReports[0].State, jsDone);
  EXPECT_EQ(ReadFile(Downloads + "/a.bin"), A);
}

}  // namespace

#include "test_decisions.moc"
