#include "message/PeerMessage.h"

#include "core/TextUtils.h"
#include "message/Stamp.h"

namespace peer {

QString PeerKeyText(const QString& address, const QString& suffix) {
  QString key = TrimText(address) + suffix;
  for (QChar& c : key)
    if (c >= 'A' && c <= 'Z') c = QChar(c.unicode() + ('a' - 'A'));
  return key;
}

void SetPeerKey(MessageCipher& cipher, const QString& address) {
  cipher.SetKey(PeerKeyText(address), kMessageIv);
}

QString VolumeKeyText(MessageCipher& cipher, const QString& requesterAddress) {
  SetPeerKey(cipher, requesterAddress);
  return cipher.EncryptText(kVolumeKeySeed);
}

QString CommandOf(const QString& payload) { return payload.section('_', 0, 0).toLower(); }

QString RequestSubject(const QString& jobId, const QString& encCommand) {
  return kRequestPrefix + jobId + '_' + encCommand;
}

QString ReplySubject(const QString& jobId, const QString& encPayload, const QString& status) {
  return kReplyPrefix + jobId + '_' + encPayload + '_' + status;
}

QString VolumeSubject(const QString& jobId, qint64 totalBytes, qint64 volumeCount, const QString& encPayload) {
  return kReplyPrefix + jobId + '.' + QString::number(totalBytes) + '.' + QString::number(volumeCount) + '_' +
         encPayload + '_' + kStatusDone;
}

bool HasPeerPrefix(const QString& subject) {
  return subject.startsWith(kRequestPrefix) || subject.startsWith(kPlainPrefix) || subject.startsWith(kReplyPrefix);
}

ReceivedSubject ParseSubject(const QString& subject, const QString& freshStamp) {
  ReceivedSubject s;
  s.Prefix = subject.left(2);
  s.Ours = HasPeerPrefix(subject);
  const int firstUnderscore = subject.indexOf('_');
  const QString rest = firstUnderscore < 0 ? QString() : subject.mid(firstUnderscore + 1);
  const int cut = rest.indexOf('_');
  s.Ident = cut < 0 ? QString() : rest.left(cut);
  s.SubjectRest = cut < 0 ? rest : rest.mid(cut + 1);
  s.IdentBase = s.Ident.section('.', 0, 0);
  if (s.Prefix == kPlainPrefix) {
    s.Ident = freshStamp.isEmpty() ? NewStamp() : freshStamp;
    s.IdentBase = s.Ident;
  }
  return s;
}

bool Accepts(const ReceivedSubject& s, const QString& onlineStamp, const QString& stopJobId,
             const QStringList& openRequests) {
  if (s.Prefix == kPlainPrefix) return true;
  if (s.Prefix == kRequestPrefix) return s.IdentBase > onlineStamp;
  if (s.Prefix == kReplyPrefix)
    return s.IdentBase > stopJobId && (s.IdentBase > onlineStamp || openRequests.contains(s.IdentBase));
  return false;
}

ReplyRest SplitReplyRest(const QString& subjectRest) {
  ReplyRest r;
  int at = subjectRest.indexOf(QStringLiteral("_Done"));
  if (at < 0) at = subjectRest.indexOf(QStringLiteral("_Error: "));
  if (at < 0) {
    r.EncPayload = subjectRest;
  } else {
    r.EncPayload = subjectRest.left(at);
    r.Status = subjectRest.mid(at + 1);
  }
  return r;
}

QString RemoveLineBreaks(const QString& text) {
  QString out = text;
  out.remove(QStringLiteral("\r\n"));
  return out;
}

}  // namespace peer
