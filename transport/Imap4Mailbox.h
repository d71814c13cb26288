// An IMAP4 mailbox (TMailIMAP4). Every operation that can fail returns 0 or
// a MailResult code; an object belongs to one thread at a time.
#pragma once

#include <QElapsedTimer>
#include <QString>
#include <QStringList>
#include <functional>
#include <map>
#include <memory>
#include <vector>

#include "transport/MailReceiver.h"

namespace vmime::net::imap {
class IMAPConnection;
class IMAPTag;
}

// What an IMAP4 server says about the selected mailbox: how many messages it
// holds, its UID validity and the next UID.
struct ImapMailboxCounts {
  quint32 Exists = 0, UidValidity = 0, UidNext = 0;
};

// An IMAP4 mailbox over one connection: the login and every command of a pass
// share it. Messages are addressed by UID, so an index keeps naming the
// message whose envelope was listed, whatever was expunged since. Deleting is
// flagging; Expunge removes exactly the messages this object flagged (UID
// EXPUNGE), never what another client flagged, and on a server without
// UIDPLUS removes nothing (the flagged messages stay, and are noted once).
class TMailIMAP4 : public TMailReceiver {
public:
  TMailIMAP4();
  ~TMailIMAP4() override;

  // Takes the host; the network work starts with Login.
  int Connect(const QString& host);
  // Connects, secures the connection and logs in.
  int Login(const QString& account, const QString& password);
  int SelectMailbox(const QString& name);
  // Connects, logs in and selects name for a pass; a connection left open by
  // the last pass is used again instead when it was made with the same
  // settings, was last used less than kKeepOpenSec ago and still answers
  // (the mailbox is selected afresh on it, which also shows that).
  int OpenMailbox(const QString& account, const QString& password, const QString& name);
  static constexpr int kKeepOpenSec = 240;
  // Whether the last OpenMailbox used a kept connection.
  bool Reused() const { return FReused; }
  // Subject, sender, size and deleted flag of every message of the selected
  // mailbox (only the messages new since this account's last pass are asked
  // for when the mailbox has otherwise not changed).
  int DownloadEnvelopes();
  int DownloadMessage(int i) override;
  // Downloads messages (1-based indexes) in one command and keeps them on
  // the disk, for DownloadMessage to take them from there: the small mails
  // a pass takes cost one round trip together instead of one each. Only
  // messages of at most kPrefetchMailBytes, kPrefetchBytes in all; whatever
  // is not kept so DownloadMessage fetches on its own (0 or a code).
  int Prefetch(const std::vector<int>& indexes);
  static constexpr qint64 kPrefetchMailBytes = 256 * 1024;
  static constexpr qint64 kPrefetchBytes = 2 * 1024 * 1024;
  // Flags message i (1-based) as deleted, together with those put aside by
  // DeleteLater. The command goes out at once; its answer is read before
  // the next command other than a flag goes out, so that the server flags
  // while the pass goes on and flags follow each other without waits (0:
  // sent; a flag the server refuses is noted then and leaves the message as
  // it was).
  int FlagDeleted(int i);
  // Puts message i aside to be flagged with the next FlagDeleted or
  // Expunge, saving the server a command (for a mail that was not handed
  // over: flagging it late loses nothing).
  int DeleteLater(int i);
  // Removes the messages this object flagged (and those it flagged in an
  // earlier pass that ended before removing them).
  int Expunge();
  int Disconnect();

  // Whether the server removes single messages (UIDPLUS); known after Login.
  bool CanExpungeByUid() const { return FUidPlus; }

private:
  // Drops the connection and the store, in that order.
  void DropSession();
  // What a connection was made with: another value needs a new one.
  QString LoginKey(const QString& account, const QString& password) const;
  // Sends the flag command for indexes without waiting for its answer.
  void SendFlags(const std::vector<int>& indexes);
  // Reads the answers owed for flag commands sent earlier, in order.
  void ReadOwedAnswers();
  // ReadOwedAnswers, for the next command about to go out.
  std::function<void()> Owed() {
    return [this] { ReadOwedAnswers(); };
  }

  // A flag command whose answer is still owed: the tag it went out with and
  // the messages it flags.
  struct SentFlags {
    std::shared_ptr<vmime::net::imap::IMAPTag> Tag;
    QStringList Uids;
    std::vector<int> Indexes;
  };

  std::shared_ptr<vmime::net::store> FStore;
  std::shared_ptr<vmime::net::imap::IMAPConnection> FConn;
  QString FMailbox;
  bool FSelected = false;
  bool FUidPlus = false;
  ImapMailboxCounts FCounts;  // what the server last said about the selected mailbox
  QStringList FFlagged;  // flagged deleted by us, not yet expunged
  std::vector<int> FLater;  // put aside by DeleteLater
  std::vector<SentFlags> FOwed;  // sent, answer not read yet
  std::map<QString, std::unique_ptr<QTemporaryFile>> FPrefetched;  // uid -> the raw mail
  QString FLoginKey;     // LoginKey of the open connection
  QElapsedTimer FLastUse;
  bool FReused = false;
};
