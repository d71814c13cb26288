// The mailbox memory: what earlier passes read of each mailbox, and the
// text of the memory file that keeps it from one start of the program to
// the next.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "transport/MailReceiver.h"

namespace mail {

// What earlier passes read, per account and mailbox generation.
struct Remembered {
  std::map<QString, MailHeaders> Headers;  // uid -> headers
  QStringList Order;                       // the uids in mailbox order (IMAP4)
  quint32 UidNext = 0;                     // the next UID the server would give (IMAP4)
  std::set<QString> Taken;                 // handed over, still in the mailbox
};

// A larger memory file is not read.
constexpr qint64 kMaxMemoryFile = qint64(64) << 20;

// The memory file's text for the mailboxes given (key, memory).
QByteArray MemoryFileText(const std::vector<std::pair<QString, const Remembered*>>& boxes);
// Reads a memory file's text into out; false for a damaged text or one of
// another version (out is then unspecified).
bool ReadMemoryFile(const QByteArray& bytes, std::map<QString, Remembered>& out);

}  // namespace mail
