// The wire format of the mails between peers: subjects, keys, and how a
// received subject is taken apart.
#pragma once

#include <QString>
#include <QStringList>
#include "message/MessageCipher.h"

namespace peer {

inline const QString kRequestPrefix = QStringLiteral("$_");  // request, encrypted
inline const QString kPlainPrefix = QStringLiteral("?_");    // request, plain
inline const QString kReplyPrefix = QStringLiteral("!_");    // reply or volume

inline const QString kCmdList = QStringLiteral("list");
inline const QString kCmdDownload = QStringLiteral("download");
inline const QString kStatusDone = QStringLiteral("Done");
inline const QString kErrorPrefix = QStringLiteral("Error: ");

inline const QString kMsgAuthFailed = QStringLiteral("Authentication failed.");
inline const QString kMsgForbidden = QStringLiteral("User forbidden.");
inline const QString kMsgNoDirectory = QStringLiteral("Disk or directory not exists or is inaccessible.");
inline const QString kMsgEmpty = QStringLiteral("Download content is empty.");
inline const QString kMsgTimeout = QStringLiteral("Time out error.");

// Fixed suffix of the per-peer key text.
inline const QString kKeySuffix = QStringLiteral("t7hm3kqp");
// Vector of all subject and body texts: 6B0ED439F2875AC1.
inline constexpr MessageCipher::Block kMessageIv{0x6B, 0x0E, 0xD4, 0x39, 0xF2, 0x87, 0x5A, 0xC1};
// Seed of the key of the first volume.
inline const QString kVolumeKeySeed = QStringLiteral("B7E19A04C3FD6258");

// The address trimmed, the suffix appended, A-Z lower-cased.
QString PeerKeyText(const QString& address, const QString& suffix = kKeySuffix);

// Keys cipher for the texts of one peer: SetKey(PeerKeyText(address), kMessageIv).
void SetPeerKey(MessageCipher& cipher, const QString& address);

// EncryptText(VolumeKeySeed) under the peer key of the requester: the key text
// of the first volume (24 Base64 characters).
QString VolumeKeyText(MessageCipher& cipher, const QString& requesterAddress);

// The command of a payload: the part before its first "_", lower-cased.
QString CommandOf(const QString& payload);

// Subjects. The encrypted parts are passed in already encrypted (or plain for "?_").
QString RequestSubject(const QString& jobId, const QString& encCommand);
QString ReplySubject(const QString& jobId, const QString& encPayload, const QString& status);
QString VolumeSubject(const QString& jobId, qint64 totalBytes, qint64 volumeCount,
                      const QString& encPayload);

// A received subject taken apart.
struct ReceivedSubject {
  QString Prefix;       // the first two characters
  QString Ident;        // after the prefix, up to the next "_"; a fresh stamp for "?_"
  QString IdentBase;    // Ident up to its first "."
  QString SubjectRest;  // after that "_"
  bool Ours = false;    // one of "$_", "?_", "!_"
};
// Whether subject begins with one of the three prefixes (Ours of ParseSubject).
bool HasPeerPrefix(const QString& subject);
// freshStamp: the stamp that a "?_" mail receives (NewStamp() when empty).
ReceivedSubject ParseSubject(const QString& subject, const QString& freshStamp = QString());

// Whether the poller takes the mail: "?_" always; "$_" when IdentBase >
// onlineStamp; "!_" when IdentBase > stopJobId and either IdentBase >
// onlineStamp or IdentBase is one of openRequests (requests issued before
// this program went online, still waiting for their replies).
bool Accepts(const ReceivedSubject& s, const QString& onlineStamp, const QString& stopJobId,
             const QStringList& openRequests = {});

// A reply's SubjectRest divided at the first "_Done", else the first "_Error: ".
struct ReplyRest {
  QString EncPayload;
  QString Status;  // "Done", "Error: ..." or empty
};
ReplyRest SplitReplyRest(const QString& subjectRest);

// Removes every CR LF pair (a wrapped subject or body).
QString RemoveLineBreaks(const QString& text);

}  // namespace peer
