#include "transport/Imap4Mailbox.h"

#include <map>

#include <vmime/vmime.hpp>
#include <vmime/net/imap/IMAPFolderStatus.hpp>

#include "transport/MailSession.h"
#include "transport/MailStrings.h"

using mail::FromStd;
using mail::ToStd;

TMailIMAP4::TMailIMAP4() : TMailReceiver(QStringLiteral("IMAP4")) {}
TMailIMAP4::~TMailIMAP4() {
  FFolder.reset();
  FStore.reset();
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
  FFolder.reset();
  FStore.reset();
  return Run([&] {
    FStore = NewStore("imap", "imaps");
    FStore->setProperty("options.sasl", true);
    FStore->setAuthenticator(mail::NewPlainOnlyAuthenticator());
    FStore->connect();
  });
}

int TMailIMAP4::SelectMailbox(const QString& name) {
  if (!FStore || !FStore->isConnected()) return mrNotConnected;
  FMailbox = name;
  return Run([&] {
    FFolder.reset();
    auto folder = FStore->getFolder(vmime::net::folder::path(ToStd(name)));
    if (!folder->exists()) throw vmime::exceptions::folder_not_found();
    folder->open(vmime::net::folder::MODE_READ_WRITE);
    FFolder = folder;
  });
}

int TMailIMAP4::DownloadEnvelopes() {
  if (!FFolder) return mrNotConnected;
  FFlagged.clear();
  return Run([&] {
    auto status = std::dynamic_pointer_cast<vmime::net::imap::IMAPFolderStatus>(FFolder->getStatus());
    const size_t count = status ? status->getMessageCount() : FFolder->getMessageCount();
    const QString validity = status ? QString::number(status->getUIDValidity()) : QString();
    FKey = QStringLiteral("imap4|%1|%2|%3|%4|%5").arg(FServer).arg(FPort).arg(FAccount, FMailbox, validity);
    // Messages keep their order, so when the remembered list plus the mails
    // that arrived since (UID at least the remembered next UID) make up the
    // whole mailbox, only the new ones need to be asked for.
    std::map<QString, std::shared_ptr<vmime::net::message>> byUid;
    QStringList uids;
    QStringList order;
    quint32 uidNext = 0;
    bool known = false;
    if (status && count > 0 && RememberedOrder(FKey, order, uidNext) && size_t(order.size()) <= count) {
      // Always asked, even when the count looks unchanged: mails expunged by
      // another client and as many new ones leave the count as it was.
      QStringList fresh;
      for (const auto& m : FFolder->getMessages(vmime::net::messageSet::byUID(std::to_string(uidNext), "*"))) {
        const QString uid = FromStd(m->getUID());
        if (uid.toULongLong() >= uidNext) {
          fresh << uid;
          byUid[uid] = m;
        }
      }
      // Old mails can only have gone: all of them are still there exactly
      // when the new ones make up the rest.
      if (size_t(order.size() + fresh.size()) == count) {
        uids = order + fresh;
        known = true;
      }
    }
    if (!known && count > 0) {
      byUid.clear();
      auto msgs = FFolder->getMessages(vmime::net::messageSet::byNumber(1, -1));
      FFolder->fetchMessages(msgs, vmime::net::fetchAttributes::UID);
      for (const auto& m : msgs) {
        uids << FromStd(m->getUID());
        byUid[uids.back()] = m;
      }
    }
    ResolveHeaders(FKey, uids, [&](const std::vector<int>& positions) {
      std::vector<std::shared_ptr<vmime::net::message>> want;
      std::vector<vmime::net::message::uid> missing;
      for (int p : positions) {
        auto it = byUid.find(uids[p - 1]);
        if (it != byUid.end()) want.push_back(it->second);
        else missing.push_back(ToStd(uids[p - 1]));
      }
      if (!missing.empty()) {
        auto more = FFolder->getMessages(vmime::net::messageSet::byUID(missing));
        want.insert(want.end(), more.begin(), more.end());
      }
      FFolder->fetchMessages(want, vmime::net::fetchAttributes::ENVELOPE);
      std::map<QString, MailHeaders> got;
      const auto headers = HeadersOf(want);
      for (size_t k = 0; k < want.size(); ++k) got[FromStd(want[k]->getUID())] = headers[k];
      std::vector<MailHeaders> out;
      for (int p : positions) out.push_back(got[uids[p - 1]]);
      return out;
    });
    if (status) RememberUidNext(FKey, status->getUIDNext());
  });
}

int TMailIMAP4::DownloadMessage(int i) {
  ClearCurrent();
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  const std::string uid = ToStd(Uid(i));
  int code = Run([&] {
    auto msgs = FFolder->getMessages(vmime::net::messageSet::byUID(uid));
    if (msgs.empty()) throw vmime::exceptions::message_not_found();
    TakeApart(msgs.front());
  });
  return code == mrInternal && !FCurrent ? mrNoSuchMessage : code;
}

int TMailIMAP4::DeleteMessages(int first, int last) {
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(first) || !ValidIndex(last) || first > last) return mrNoSuchMessage;
  return Run([&] {
    for (int i = first; i <= last; ++i) {
      FFolder->deleteMessages(vmime::net::messageSet::byUID(ToStd(Uid(i))));
      FFlagged << Uid(i);
    }
  });
}

int TMailIMAP4::Expunge() {
  if (!FFolder) return mrNotConnected;
  const int code = Run([&] { FFolder->expunge(); });
  if (code == mrOk) {
    // The next pass knows the mailbox without these.
    ForgetUids(FKey, FFlagged);
    FFlagged.clear();
  }
  return code;
}

int TMailIMAP4::Disconnect() {
  ClearCurrent();
  if (!FStore) return mrNotConnected;
  const int code = Run([&] {
    if (FFolder && FFolder->isOpen()) FFolder->close(false);
    if (FStore->isConnected()) FStore->disconnect();
  });
  FFolder.reset();
  FStore.reset();
  return code;
}
