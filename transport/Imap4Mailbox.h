// An IMAP4 mailbox (TMailIMAP4). Every operation that can fail returns 0 or
// a MailResult code; an object belongs to one thread at a time.
#pragma once

#include <QString>
#include <QStringList>
#include <memory>

#include "transport/MailReceiver.h"

namespace vmime::net {
class folder;
}

// An IMAP4 mailbox. Messages are addressed by UID, so an index keeps naming
// the message whose envelope was listed, whatever was expunged since.
class TMailIMAP4 : public TMailReceiver {
public:
  TMailIMAP4();
  ~TMailIMAP4() override;

  // Takes the host; the network work starts with Login.
  int Connect(const QString& host);
  // Connects, secures the connection and logs in.
  int Login(const QString& account, const QString& password);
  int SelectMailbox(const QString& name);
  // Subjects and senders of every message of the selected mailbox.
  int DownloadEnvelopes();
  int DownloadMessage(int i) override;
  // Flags messages first..last (1-based, inclusive) as deleted.
  int DeleteMessages(int first, int last);
  int Expunge();
  int Disconnect();

private:
  std::shared_ptr<vmime::net::store> FStore;
  std::shared_ptr<vmime::net::folder> FFolder;
  QString FMailbox;
  QString FKey;          // the header memory of this mailbox generation
  QStringList FFlagged;  // flagged deleted, not yet expunged
};
