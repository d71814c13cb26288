#include "transport/Imap4Mailbox.h"

#include <QMutex>
#include <QMutexLocker>
#include <QSet>
#include <QTemporaryFile>

#include <algorithm>
#include <functional>
#include <map>
#include <utility>

#include <vmime/vmime.hpp>
#include <vmime/net/imap/IMAPCommand.hpp>
#include <vmime/net/imap/IMAPConnection.hpp>
#include <vmime/net/imap/IMAPParser.hpp>
#include <vmime/net/imap/IMAPStore.hpp>
#include <vmime/net/imap/IMAPUtils.hpp>

#include "platform/ErrorLog.h"
#include "transport/HeaderText.h"
#include "transport/MailSession.h"
#include "transport/MailStrings.h"

using mail::FromStd;
using mail::ToStd;

namespace {

namespace imap = vmime::net::imap;
using Parser = imap::IMAPParser;
using Response = std::unique_ptr<Parser::response>;

// UIDs per UID STORE or UID EXPUNGE command, so that no command line grows long.
constexpr int kUidsPerCommand = 400;

// Streams the literal of a BODY[] item into an output stream.
class BodyToStream : public Parser::literalHandler {
public:
  explicit BodyToStream(vmime::utility::outputStream& os) : FOs(os) {}
  target* targetFor(const Parser::component&, const int data) override {
    if (data != Parser::msg_att_item::BODY_SECTION) return nullptr;
    ++Literals;
    return new targetStream(nullptr, FOs);
  }
  int Literals = 0;

private:
  vmime::utility::outputStream& FOs;
};

// Streams every BODY[] literal of a FETCH of several messages into a work
// file of its own, in the order they come. A file that cannot be made or
// written is marked failed (its message is then fetched again on its own).
class BodiesToFiles : public Parser::literalHandler {
public:
  explicit BodiesToFiles(std::function<std::unique_ptr<QTemporaryFile>()> newFile) : FNewFile(std::move(newFile)) {}

  struct Body : vmime::utility::outputStream {
    std::unique_ptr<QTemporaryFile> File;
    bool Failed = false;
    void writeImpl(const vmime::byte_t* const data, const size_t count) override {
      if (Failed) return;
      if (!File || File->write(reinterpret_cast<const char*>(data), qint64(count)) != qint64(count)) Failed = true;
    }
    void flush() override {
      if (!Failed && (!File || !File->flush())) Failed = true;
    }
  };

  target* targetFor(const Parser::component&, const int data) override {
    if (data != Parser::msg_att_item::BODY_SECTION) return nullptr;
    auto body = std::make_unique<Body>();
    try {
      body->File = FNewFile();
    } catch (const vmime::exception&) {
      body->Failed = true;
    }
    Bodies.push_back(std::move(body));
    return new targetStream(nullptr, *Bodies.back());
  }

  std::vector<std::unique_ptr<Body>> Bodies;

private:
  std::function<std::unique_ptr<QTemporaryFile>()> FNewFile;
};

// Reads the whole response to the command sent last. A BAD or NO answer
// throws, except NO when no is given (then *no is set).
Response ReadAnswer(const std::shared_ptr<imap::IMAPConnection>& conn, const std::string& text,
                    Parser::literalHandler* handler = nullptr, bool* no = nullptr) {
  Response resp(conn->readResponse(handler));
  const Parser::response_done* done = resp->response_done();
  if (resp->isBad() || !done || !done->response_tagged())
    throw vmime::exceptions::command_error(text, resp->getErrorLog(), "bad response");
  const auto status = done->response_tagged()->resp_cond_state()->status();
  if (status != Parser::resp_cond_state::OK) {
    if (no && status == Parser::resp_cond_state::NO) {
      *no = true;
      return resp;
    }
    throw vmime::exceptions::command_error(text, resp->getErrorLog(), "refused");
  }
  return resp;
}

// A copy of the tag of the command sent last.
std::shared_ptr<imap::IMAPTag> TagNow(const std::shared_ptr<imap::IMAPConnection>& conn) {
  auto tag = std::make_shared<imap::IMAPTag>();
  *tag = *conn->getTag();
  return tag;
}

// Sends text as one command and reads its whole response. Answers still
// owed for commands sent earlier are read first, by readOwed, before this
// command goes out: a server may interleave the data of commands in flight
// (the data this command asks for must come with its own answer), and a
// command may depend on what an earlier one did (UID EXPUNGE on the flags
// of UID STORE), which pipelining would leave open.
Response Command(const std::shared_ptr<imap::IMAPConnection>& conn, const std::string& text,
                 Parser::literalHandler* handler = nullptr, bool* no = nullptr,
                 const std::function<void()>& readOwed = {}) {
  if (readOwed) readOwed();
  imap::IMAPCommand::createCommand(text)->send(conn);
  return ReadAnswer(conn, text, handler, no);
}

// Follows what a response says about the selected mailbox: its message
// count (new messages, removed ones), its UID validity and next UID.
void NoteCounts(const Parser::response& resp, ImapMailboxCounts& counts) {
  for (const auto* c : resp.continue_req_or_response_data()) {
    const Parser::response_data* rd = c ? c->response_data() : nullptr;
    if (!rd) continue;
    if (const Parser::mailbox_data* md = rd->mailbox_data()) {
      if (md->type() == Parser::mailbox_data::EXISTS && md->number()) counts.Exists = quint32(md->number()->value());
    } else if (const Parser::message_data* msg = rd->message_data()) {
      if (msg->type() == Parser::message_data::EXPUNGE && counts.Exists > 0) --counts.Exists;
    } else if (const Parser::resp_cond_state* st = rd->resp_cond_state()) {
      const Parser::resp_text_code* code = st->resp_text() ? st->resp_text()->resp_text_code() : nullptr;
      if (code && code->nz_number()) {
        if (code->type() == Parser::resp_text_code::UIDVALIDITY) counts.UidValidity = quint32(code->nz_number()->value());
        if (code->type() == Parser::resp_text_code::UIDNEXT) counts.UidNext = quint32(code->nz_number()->value());
      }
    }
  }
}

// A command for the selected mailbox; what its response says about the
// mailbox in passing keeps counts up to date between selections.
Response Tracked(const std::shared_ptr<imap::IMAPConnection>& conn, ImapMailboxCounts& counts, const std::string& text,
                 const std::function<void()>& readOwed, Parser::literalHandler* handler = nullptr) {
  Response resp = Command(conn, text, handler, nullptr, readOwed);
  NoteCounts(*resp, counts);
  return resp;
}

// What one FETCH response said about one message.
struct Fetched {
  unsigned Seq = 0;
  QString Uid;
  MailHeaders Headers;
  bool HasHeader = false;
};

std::vector<Fetched> FetchedOf(const Parser::response& resp) {
  std::vector<Fetched> out;
  for (const auto* c : resp.continue_req_or_response_data()) {
    const Parser::response_data* rd = c ? c->response_data() : nullptr;
    const Parser::message_data* md = rd ? rd->message_data() : nullptr;
    if (!md || md->type() != Parser::message_data::FETCH || !md->msg_att()) continue;
    Fetched f;
    f.Seq = md->number();
    for (const Parser::msg_att_item* item : md->msg_att()->items()) {
      switch (item->type()) {
        case Parser::msg_att_item::UID:
          f.Uid = QString::number(item->unique_id()->value());
          break;
        case Parser::msg_att_item::RFC822_SIZE:
          f.Headers.Size = qint64(item->number()->value());
          break;
        case Parser::msg_att_item::FLAGS:
          for (const Parser::flag* flag : item->flag_list()->flags())
            if (flag->type() == Parser::flag::DELETED) f.Headers.Deleted = true;
          break;
        case Parser::msg_att_item::BODY_SECTION: {
          auto header = std::make_shared<vmime::header>();
          header->parse(item->nstring()->value());
          f.Headers.Subject = mail::HeaderText(header, vmime::fields::SUBJECT);
          f.Headers.FromAddr = mail::HeaderFrom(header);
          f.HasHeader = true;
          break;
        }
        default:
          break;
      }
    }
    if (!f.Uid.isEmpty()) out.push_back(std::move(f));
  }
  return out;
}

// "1,5,7" for a list of UIDs.
std::string UidSet(const QStringList& uids) { return ToStd(uids.join(QLatin1Char(','))); }

// Mailboxes for which the missing UIDPLUS was noted.
bool FirstNoteFor(const QString& key) {
  static QMutex lock;
  static QSet<QString> noted;
  QMutexLocker locker(&lock);
  if (noted.contains(key)) return false;
  noted.insert(key);
  return true;
}

const char* kHeaderItems = "(UID FLAGS RFC822.SIZE BODY.PEEK[HEADER.FIELDS (SUBJECT FROM)])";

}  // namespace

TMailIMAP4::TMailIMAP4() : TMailReceiver(QStringLiteral("IMAP4")) {}
TMailIMAP4::~TMailIMAP4() {
  // A connection still open (kept for a next pass) is closed without waiting
  // for the server's goodbye, so that freeing the object never blocks.
  if (FState) FState->Abandoned = true;
  DropSession();
}

void TMailIMAP4::DropSession() {
  FOwed.clear();
  FPrefetched.clear();
  FConn.reset();
  FStore.reset();
  FSelected = false;
  FLoginKey.clear();
}

QString TMailIMAP4::LoginKey(const QString& account, const QString& password) const {
  return QStringList{FServer, QString::number(FPort), MailSecurityName(FSecurity), FCaFile, account, password}.join(
      QChar(0));
}

int TMailIMAP4::OpenMailbox(const QString& account, const QString& password, const QString& name) {
  FReused = false;
  ClearCurrent();
  if (FConn && FConn->isConnected() && FLoginKey == LoginKey(account, password) && FLastUse.isValid() &&
      FLastUse.elapsed() < qint64(kKeepOpenSec) * 1000) {
    FLastUse.start();
    // Still selected: a NOOP brings the news (new and removed messages).
    const int code = FSelected && FMailbox == name ? Run([&] { Tracked(FConn, FCounts, "NOOP", Owed()); }) : SelectMailbox(name);
    if (code == mrOk) {
      FReused = true;
      return mrOk;
    }
    // Gone while it waited (the server's autologout, a dropped network): a
    // new connection, and this pass goes on with it.
  }
  if (FStore) Disconnect();
  int code = Connect(FServer);
  if (code == mrOk) code = Login(account, password);
  if (code == mrOk) code = SelectMailbox(name);
  return code;
}

int TMailIMAP4::Connect(const QString& host) {
  FServer = host;
  return host.trimmed().isEmpty() ? mrConnectFailed : mrOk;
}

int TMailIMAP4::Login(const QString& account, const QString& password) {
  FAccount = account;
  FPassword = password;
  NewSession();
  FList.clear();
  FFlagged.clear();
  FLater.clear();
  DropSession();
  return Run([&] {
    auto store = NewStore("imap", "imaps");
    store->setProperty("options.sasl", true);
    store->setAuthenticator(mail::NewPlainOnlyAuthenticator());
    FStore = store;
    store->connect();
    auto imapStore = std::dynamic_pointer_cast<imap::IMAPStore>(store);
    if (!imapStore) throw vmime::exceptions::operation_not_supported();
    FConn = imapStore->getConnection();
    FUidPlus = FConn->hasCapability("UIDPLUS");
    FLoginKey = LoginKey(account, password);
    FLastUse.start();
  });
}

int TMailIMAP4::SelectMailbox(const QString& name) {
  if (!FConn || !FConn->isConnected()) return mrNotConnected;
  FMailbox = name;
  FSelected = false;
  return Run([&] {
    const std::string mailbox = imap::IMAPUtils::quoteString(
        imap::IMAPUtils::pathToString(FConn->hierarchySeparator(), vmime::net::folder::path(ToStd(name))));
    bool refused = false;
    Response resp = Command(FConn, "SELECT " + mailbox, nullptr, &refused, Owed());
    if (refused) throw vmime::exceptions::folder_not_found();
    FCounts = {};
    NoteCounts(*resp, FCounts);
    FSelected = true;
  });
}

int TMailIMAP4::DownloadEnvelopes() {
  if (!FConn || !FSelected) return mrNotConnected;
  FFlagged.clear();
  FLater.clear();
  FPrefetched.clear();
  return Run([&] {
    const quint32 count = FCounts.Exists;
    UseMemory(QStringLiteral("imap4|%1|%2|%3|%4|%5").arg(FServer).arg(FPort).arg(FAccount, FMailbox).arg(FCounts.UidValidity));
    std::map<QString, Fetched> byUid;
    QStringList uids;
    QStringList order;
    quint32 uidNext = 0;
    bool known = false;
    // Messages keep their order, so when the remembered list plus the mails
    // that arrived since (UID at least the remembered next UID) make up the
    // whole mailbox, only the new ones are asked for, headers and all.
    if (count > 0 && FCounts.UidValidity != 0 && RememberedOrder(FKey, order, uidNext) && quint32(order.size()) <= count) {
      // Always asked, even when the count looks unchanged: mails expunged by
      // another client and as many new ones leave the count as it was.
      QStringList fresh;
      Response resp = Tracked(FConn, FCounts, "UID FETCH " + std::to_string(uidNext) + ":* " + kHeaderItems, Owed());
      std::vector<Fetched> got = FetchedOf(*resp);
      std::sort(got.begin(), got.end(), [](const Fetched& a, const Fetched& b) { return a.Seq < b.Seq; });
      for (Fetched& f : got) {
        // "n:*" also names the last message when every UID is below n.
        if (f.Uid.toULongLong() < uidNext) continue;
        fresh << f.Uid;
        byUid[f.Uid] = std::move(f);
      }
      // Old mails can only have gone: all of them are still there exactly
      // when the new ones make up the rest.
      if (quint32(order.size() + fresh.size()) == FCounts.Exists) {
        uids = order + fresh;
        known = true;
      }
    }
    if (!known && count > 0) {
      byUid.clear();
      Response resp = Tracked(FConn, FCounts, "UID FETCH 1:* (UID FLAGS RFC822.SIZE)", Owed());
      std::vector<Fetched> got = FetchedOf(*resp);
      std::sort(got.begin(), got.end(), [](const Fetched& a, const Fetched& b) { return a.Seq < b.Seq; });
      for (Fetched& f : got) {
        uids << f.Uid;
        byUid[f.Uid] = std::move(f);
      }
    }
    ResolveHeaders(FKey, uids, [&](const std::vector<int>& positions) {
      QStringList missing;
      for (int p : positions) {
        auto it = byUid.find(uids[p - 1]);
        if (it == byUid.end() || !it->second.HasHeader) missing << uids[p - 1];
      }
      for (qsizetype k = 0; k < missing.size(); k += kUidsPerCommand) {
        Response resp = Tracked(FConn, FCounts, "UID FETCH " + UidSet(missing.mid(k, kUidsPerCommand)) + " " + kHeaderItems, Owed());
        for (Fetched& f : FetchedOf(*resp)) byUid[f.Uid] = std::move(f);
      }
      std::vector<MailHeaders> out;
      for (int p : positions) out.push_back(byUid[uids[p - 1]].Headers);
      return out;
    });
    // Flags of remembered mails are as this object left them; the server's
    // word wins for every mail it was asked about.
    std::vector<int> changed;
    for (int i = 1; i <= MessageCount(); ++i) {
      Entry& e = FList[size_t(i - 1)];
      auto it = byUid.find(e.Uid);
      if (it != byUid.end() && e.Headers.Deleted != it->second.Headers.Deleted) {
        e.Headers.Deleted = it->second.Headers.Deleted;
        changed.push_back(i);
      }
    }
    RememberList(FKey, changed);
    // A NOOP on a kept connection tells no next UID: then the next mail has
    // at least a UID above every one listed.
    for (const QString& uid : uids) FCounts.UidNext = std::max<quint32>(FCounts.UidNext, quint32(uid.toULongLong() + 1));
    RememberUidNext(FKey, FCounts.UidNext);
    // Mails of ours flagged in an earlier pass that ended before removing them.
    for (int i = 1; i <= MessageCount(); ++i)
      if (Deleted(i) && WasTaken(i)) FFlagged << Uid(i);
  });
}

int TMailIMAP4::DownloadMessage(int i) {
  ClearCurrent();
  if (!FConn || !FSelected) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  if (TooLarge(i)) return mrOverLimits;
  if (auto kept = FPrefetched.find(Uid(i)); kept != FPrefetched.end()) {
    std::unique_ptr<QTemporaryFile> file = std::move(kept->second);
    FPrefetched.erase(kept);
    return Run([&] { TakeApart(std::move(file)); });
  }
  const std::string uid = ToStd(Uid(i));
  bool found = false;
  const int code = Run([&] {
    TakeApart([&](std::ostream& out) {
      vmime::utility::outputStreamAdapter os(out);
      BodyToStream handler(os);
      Tracked(FConn, FCounts, "UID FETCH " + uid + " (BODY.PEEK[])", Owed(), &handler);
      os.flush();
      found = handler.Literals > 0;
      if (!found) throw vmime::exceptions::message_not_found();
    });
  });
  FLastUse.start();
  const bool local = code == mrDiskFull || code == mrFileError;
  return code != mrOk && !local && !found && FConn && FConn->isConnected() ? mrNoSuchMessage : code;
}

int TMailIMAP4::Prefetch(const std::vector<int>& indexes) {
  FPrefetched.clear();
  if (!FConn || !FSelected) return mrNotConnected;
  QStringList uids;
  qint64 total = 0;
  for (int i : indexes) {
    if (!ValidIndex(i) || Size(i) < 0 || Size(i) > kPrefetchMailBytes || total + Size(i) > kPrefetchBytes) continue;
    if (uids.size() == kUidsPerCommand) break;
    total += Size(i);
    uids << Uid(i);
  }
  // One message gains nothing.
  if (uids.size() < 2) return mrOk;
  BodiesToFiles handler([this] { return NewWorkFile(); });
  return Run([&] {
    Response resp = Tracked(FConn, FCounts, "UID FETCH " + UidSet(uids) + " (UID BODY.PEEK[])", Owed(), &handler);
    FLastUse.start();
    // Each literal went to the next file, in the order of the FETCH data.
    size_t next = 0;
    for (const auto* c : resp->continue_req_or_response_data()) {
      const Parser::response_data* rd = c ? c->response_data() : nullptr;
      const Parser::message_data* md = rd ? rd->message_data() : nullptr;
      if (!md || md->type() != Parser::message_data::FETCH || !md->msg_att()) continue;
      QString uid;
      BodiesToFiles::Body* body = nullptr;
      for (const Parser::msg_att_item* item : md->msg_att()->items()) {
        if (item->type() == Parser::msg_att_item::UID) uid = QString::number(item->unique_id()->value());
        if (item->type() == Parser::msg_att_item::BODY_SECTION && item->nstring() && !item->nstring()->isNIL() &&
            next < handler.Bodies.size())
          body = handler.Bodies[next++].get();
      }
      if (!body) continue;
      body->flush();
      if (!body->Failed && uids.contains(uid)) FPrefetched[uid] = std::move(body->File);
    }
  });
}

int TMailIMAP4::DeleteLater(int i) {
  if (!FConn || !FSelected) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  FLater.push_back(i);
  return mrOk;
}

int TMailIMAP4::FlagDeleted(int i) {
  if (!FConn || !FSelected) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  std::vector<int> indexes = std::exchange(FLater, {});
  indexes.push_back(i);
  return Run([&] { SendFlags(indexes); });
}

void TMailIMAP4::SendFlags(const std::vector<int>& indexes) {
  // Answers are read before many pile up on the server's side.
  constexpr size_t kMaxOwed = 16;
  for (size_t k = 0; k < indexes.size(); k += kUidsPerCommand) {
    if (FOwed.size() >= kMaxOwed) ReadOwedAnswers();
    SentFlags sent;
    sent.Indexes.assign(indexes.begin() + qsizetype(k), indexes.begin() + qsizetype(std::min(indexes.size(), k + kUidsPerCommand)));
    for (int i : sent.Indexes) sent.Uids << Uid(i);
    imap::IMAPCommand::createCommand("UID STORE " + UidSet(sent.Uids) + " +FLAGS.SILENT (\\Deleted)")->send(FConn);
    sent.Tag = TagNow(FConn);
    // To be expunged with this pass: a UID whose flag the server refuses
    // stays without \Deleted, and UID EXPUNGE leaves such a message alone.
    for (const QString& uid : sent.Uids)
      if (!FFlagged.contains(uid)) FFlagged << uid;
    FOwed.push_back(std::move(sent));
  }
  FLastUse.start();
}

void TMailIMAP4::ReadOwedAnswers() {
  if (FOwed.empty()) return;
  // The parser takes only the tagged answer to the tag the connection holds:
  // each owed answer is read under its own tag, and the tag of the command
  // sent last is set back afterwards.
  const auto last = TagNow(FConn);
  const std::vector<SentFlags> owed = std::exchange(FOwed, {});
  for (const SentFlags& sent : owed) {
    *FConn->getTag() = *sent.Tag;
    bool refused = false;
    try {
      Response resp = ReadAnswer(FConn, "UID STORE", nullptr, &refused);
      NoteCounts(*resp, FCounts);
    } catch (const vmime::exceptions::command_error&) {
      refused = true;  // a BAD answer, read whole: the connection goes on
    }
    if (refused) {
      const QString text = QStringLiteral("The IMAP server %1 refused to flag messages %2 as deleted in %3")
                               .arg(FServer, sent.Uids.join(QLatin1Char(',')), FMailbox);
      qCWarning(lcKestro, "%s", qUtf8Printable(text));
      if (FState->Log) FState->Log->Note(text);
      for (const QString& uid : sent.Uids) FFlagged.removeAll(uid);
      continue;
    }
    for (int i : sent.Indexes)
      if (ValidIndex(i) && sent.Uids.contains(Uid(i))) FList[size_t(i - 1)].Headers.Deleted = true;
    RememberDeleted(FKey, sent.Uids);
  }
  *FConn->getTag() = *last;
}

int TMailIMAP4::Expunge() {
  if (!FConn || !FSelected) return mrNotConnected;
  if (!FLater.empty()) {
    const std::vector<int> later = std::exchange(FLater, {});
    if (const int code = Run([&] { SendFlags(later); }); code != mrOk) return code;
  }
  if (FFlagged.isEmpty()) return mrOk;
  if (!FUidPlus) {
    // A plain EXPUNGE would also remove what other clients only flagged.
    const QString key = FServer + QLatin1Char('|') + FAccount + QLatin1Char('|') + FMailbox;
    if (FirstNoteFor(key)) {
      const QString text = QStringLiteral(
          "The IMAP server %1 cannot remove single messages (no UIDPLUS): Kestro's mails stay flagged deleted "
          "in %2 until another mail client removes them").arg(FServer, FMailbox);
      qCWarning(lcKestro, "%s", qUtf8Printable(text));
      if (FState->Log) FState->Log->Note(text);
    }
    return Run([&] { ReadOwedAnswers(); });
  }
  const QStringList uids = FFlagged;
  const int code = Run([&] {
    for (qsizetype k = 0; k < uids.size(); k += kUidsPerCommand)
      Tracked(FConn, FCounts, "UID EXPUNGE " + UidSet(uids.mid(k, kUidsPerCommand)), Owed());
  });
  FLastUse.start();
  if (code == mrOk) {
    // The next pass knows the mailbox without these.
    ForgetUids(FKey, uids);
    FFlagged.clear();
  }
  return code;
}

int TMailIMAP4::Disconnect() {
  ClearCurrent();
  if (!FStore) return mrNotConnected;
  const int code = Run([&] {
    if (FStore->isConnected()) {
      ReadOwedAnswers();
      FStore->disconnect();
    }
  });
  DropSession();
  return code;
}
