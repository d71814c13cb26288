#include "transport/Pop3Mailbox.h"

#include <vmime/vmime.hpp>

#include "transport/MailSession.h"
#include "transport/MailStrings.h"

using mail::FromStd;

TMailPOP3::TMailPOP3() : TMailReceiver(QStringLiteral("POP3")) {}
TMailPOP3::~TMailPOP3() {
  // Dropped without Disconnect: the server keeps every mail (no QUIT is sent
  // after the deletions).
  DropSession();
}

void TMailPOP3::DropSession() {
  // The store goes first: a folder freed while its store lives unregisters
  // itself by closing, which fails on a dropped connection.
  FStore.reset();
  FFolder.reset();
  FMessages.clear();
}

int TMailPOP3::Connect() {
  NewSession();
  FList.clear();
  DropSession();
  return Run([&] {
    FStore = NewStore("pop3", "pop3s");
    FStore->setProperty("options.apop", false);
    FStore->setProperty("options.apop.fallback", false);
    if (FAuthMode == 272) {
      FStore->setProperty("options.sasl", false);
    } else {
      FStore->setProperty("options.sasl", true);
      FStore->setAuthenticator(mail::NewPlainOnlyAuthenticator());
    }
    FStore->connect();
  });
}

int TMailPOP3::DownloadHeaders() {
  if (!FStore || !FStore->isConnected()) return mrNotConnected;
  return Run([&] {
    FFolder = FStore->getDefaultFolder();
    FFolder->open(vmime::net::folder::MODE_READ_WRITE);
    FMessages.clear();
    if (FFolder->getMessageCount() > 0) FMessages = FFolder->getMessages(vmime::net::messageSet::byNumber(1, -1));
    QStringList uids;
    if (!FMessages.empty()) {
      FFolder->fetchMessages(FMessages, vmime::net::fetchAttributes(vmime::net::fetchAttributes::UID |
                                                                    vmime::net::fetchAttributes::SIZE));
      for (const auto& m : FMessages) uids << FromStd(m->getUID());
    }
    const QString key = QStringLiteral("pop3|%1|%2|%3").arg(FServer).arg(FPort).arg(FAccount);
    UseMemory(key);
    ResolveHeaders(key, uids, [&](const std::vector<int>& positions) {
      std::vector<std::shared_ptr<vmime::net::message>> want;
      for (int p : positions) want.push_back(FMessages[size_t(p - 1)]);
      FFolder->fetchMessages(want, vmime::net::fetchAttributes::ENVELOPE);
      return HeadersOf(want);
    });
    for (size_t k = 0; k < FList.size() && k < FMessages.size(); ++k)
      FList[k].Headers.Size = qint64(FMessages[k]->getSize());
  });
}

int TMailPOP3::DownloadMessage(int i) {
  ClearCurrent();
  if (!ValidIndex(i) || size_t(i) > FMessages.size()) return mrNoSuchMessage;
  if (TooLarge(i)) return mrOverLimits;
  return Run([&] { TakeApart(FMessages[size_t(i - 1)]); });
}

int TMailPOP3::DeleteSingleMessage(int i) {
  if (!FFolder) return mrNotConnected;
  if (!ValidIndex(i)) return mrNoSuchMessage;
  return Run([&] { FFolder->deleteMessages(vmime::net::messageSet::byNumber(size_t(i))); });
}

int TMailPOP3::Disconnect() {
  ClearCurrent();
  if (!FStore) return mrNotConnected;
  const int code = Run([&] {
    if (FFolder && FFolder->isOpen()) FFolder->close(true);
    if (FStore->isConnected()) FStore->disconnect();
  });
  DropSession();
  return code;
}
