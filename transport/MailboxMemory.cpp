#include "transport/MailboxMemory.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "message/PeerMessage.h"

namespace mail {

namespace {

// A memory file: {"version": 1, "mailboxes": {KEY: {"uidNext": N, "order":
// [UID...], "mails": {UID: [SUBJECT, FROM, SIZE, FLAGS]}}}}, FLAGS 1 for
// flagged deleted, 2 for taken. Only peer mails keep subject and sender: for
// every other mail an empty subject says all a pass needs (not ours).
constexpr int kMemoryVersion = 1;
enum : int { kFlagDeleted = 1, kFlagTaken = 2 };

// text as a JSON string, quotes included.
void AppendJsonString(QByteArray& out, const QString& text) {
  out += '"';
  // UIDs and most texts are plain ASCII: copied as they are.
  const auto plain = [](QChar c) { return c.unicode() >= 0x20 && c.unicode() < 0x80 && c != u'"' && c != u'\\'; };
  if (std::all_of(text.begin(), text.end(), plain)) {
    for (const QChar c : text) out += char(c.unicode());
    out += '"';
    return;
  }
  for (const char c : text.toUtf8()) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned char>(c));
      out += escaped;
    } else {
      out += c;
    }
  }
  out += '"';
}

void AppendNumber(QByteArray& out, qint64 n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end - digits);
}

// One mailbox's memory as a JSON object, written straight into out: a
// mailbox holds tens of thousands of mails, and the file is written after
// every pass that changed it.
void AppendMemoryJson(QByteArray& out, const Remembered& r) {
  out.reserve(out.size() + r.Order.size() * 10 + qsizetype(r.Headers.size()) * 32 + 64);
  out += "{\"uidNext\":";
  AppendNumber(out, r.UidNext);
  out += ",\"order\":[";
  for (qsizetype i = 0; i < r.Order.size(); ++i) {
    if (i > 0) out += ',';
    AppendJsonString(out, r.Order[i]);
  }
  out += "],\"mails\":{";
  bool first = true;
  for (const auto& [uid, h] : r.Headers) {
    if (!first) out += ',';
    first = false;
    const bool peer = peer::HasPeerPrefix(h.Subject);
    const int flags = (h.Deleted ? kFlagDeleted : 0) | (!r.Taken.empty() && r.Taken.count(uid) ? kFlagTaken : 0);
    AppendJsonString(out, uid);
    out += ":[";
    if (peer) {
      AppendJsonString(out, h.Subject);
      out += ',';
      AppendJsonString(out, h.FromAddr);
    } else {
      out += "\"\",\"\"";
    }
    out += ',';
    AppendNumber(out, h.Size);
    out += ',';
    AppendNumber(out, flags);
    out += ']';
  }
  out += "}}";
}

// Reads a memory file without building a JSON document first: the file of
// a large mailbox holds tens of thousands of entries, and it is read before
// the first pass after every start. Takes the members in any order, any
// JSON white space and escapes (files written by a JSON library, as older
// versions did, read as well); anything else is refused.
class MemoryReader {
public:
  explicit MemoryReader(const QByteArray& bytes) : FPos(bytes.constData()), FEnd(bytes.constData() + bytes.size()) {}

  bool Read(std::map<QString, Remembered>& out) {
    bool versionSeen = false, mailboxesSeen = false;
    const bool ok = Object([&](const QString& key) {
      if (key == QLatin1String("version")) {
        quint64 v = 0;
        versionSeen = Integer(v) && v == quint64(kMemoryVersion);
        return versionSeen;
      }
      if (key == QLatin1String("mailboxes")) {
        mailboxesSeen = true;
        return Object([&](const QString& box) { return Mailbox(out[box]); });
      }
      return false;
    });
    Space();
    return ok && versionSeen && mailboxesSeen && FPos == FEnd;
  }

private:
  bool Mailbox(Remembered& r) {
    bool next = false, order = false, mails = false;
    const bool ok = Object([&](const QString& key) {
      if (key == QLatin1String("uidNext")) {
        quint64 v = 0;
        next = Integer(v) && v <= 4294967295u;
        r.UidNext = quint32(v);
        return next;
      }
      if (key == QLatin1String("order")) {
        order = true;
        return Array([&] {
          QString uid;
          if (!String(uid)) return false;
          r.Order << uid;
          return true;
        });
      }
      if (key == QLatin1String("mails")) {
        mails = true;
        return Object([&](const QString& uid) { return Mail(r, uid); });
      }
      return false;
    });
    if (!ok || !next || !order || !mails) return false;
    for (const QString& uid : r.Order)
      if (!r.Headers.count(uid)) return false;
    return true;
  }

  // [SUBJECT, FROM, SIZE, FLAGS]
  bool Mail(Remembered& r, const QString& uid) {
    MailHeaders h;
    quint64 size = 0, flags = 0;
    // A size of -1: not known.
    if (!(Char('[') && String(h.Subject) && Char(',') && String(h.FromAddr) && Char(',')))
      return false;
    const bool unknownSize = Char('-');
    if (!(Integer(size) && (!unknownSize || size == 1) && Char(',') && Integer(flags) && Char(']'))) return false;
    h.Size = unknownSize ? -1 : qint64(size);
    h.Deleted = flags & kFlagDeleted;
    if (flags & kFlagTaken) r.Taken.insert(uid);
    // Written in order: each entry goes to the end of the map.
    r.Headers.insert_or_assign(r.Headers.end(), uid, std::move(h));
    return true;
  }

  template <typename Member>
  bool Object(Member member) {
    if (!Char('{')) return false;
    if (Char('}')) return true;
    do {
      QString key;
      if (!String(key) || !Char(':') || !member(key)) return false;
    } while (Char(','));
    return Char('}');
  }

  template <typename Element>
  bool Array(Element element) {
    if (!Char('[')) return false;
    if (Char(']')) return true;
    do {
      if (!element()) return false;
    } while (Char(','));
    return Char(']');
  }

  void Space() {
    while (FPos < FEnd && (*FPos == ' ' || *FPos == '\n' || *FPos == '\r' || *FPos == '\t')) ++FPos;
  }
  // Takes c (after white space) when it comes next.
  bool Char(char c) {
    Space();
    if (FPos == FEnd || *FPos != c) return false;
    ++FPos;
    return true;
  }
  bool Integer(quint64& v) {
    Space();
    const char* start = FPos;
    v = 0;
    while (FPos < FEnd && *FPos >= '0' && *FPos <= '9' && FPos - start < 19) v = v * 10 + quint64(*FPos++ - '0');
    return FPos > start && (FPos == FEnd || *FPos < '0' || *FPos > '9');
  }
  bool Hex4(char16_t& u) {
    if (FEnd - FPos < 4) return false;
    u = 0;
    for (int k = 0; k < 4; ++k) {
      const char c = *FPos++;
      const int d = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : c >= 'A' && c <= 'F' ? c - 'A' + 10 : -1;
      if (d < 0) return false;
      u = char16_t(u * 16 + d);
    }
    return true;
  }
  bool String(QString& out) {
    if (!Char('"')) return false;
    const char* run = FPos;
    // The common case: no escapes, one conversion.
    while (FPos < FEnd && *FPos != '"' && *FPos != '\\' && static_cast<unsigned char>(*FPos) >= 0x20) ++FPos;
    if (FPos < FEnd && *FPos == '"') {
      out = QString::fromUtf8(run, FPos - run);
      ++FPos;
      return true;
    }
    QByteArray bytes(run, FPos - run);
    while (FPos < FEnd && *FPos != '"') {
      const char c = *FPos++;
      if (static_cast<unsigned char>(c) < 0x20) return false;
      if (c != '\\') {
        bytes += c;
        continue;
      }
      if (FPos == FEnd) return false;
      switch (const char e = *FPos++) {
        case '"': case '\\': case '/': bytes += e; break;
        case 'b': bytes += '\b'; break;
        case 'f': bytes += '\f'; break;
        case 'n': bytes += '\n'; break;
        case 'r': bytes += '\r'; break;
        case 't': bytes += '\t'; break;
        case 'u': {
          char16_t u[2] = {0, 0};
          if (!Hex4(u[0])) return false;
          int n = 1;
          if (QChar::isHighSurrogate(u[0]) && FEnd - FPos >= 6 && FPos[0] == '\\' && FPos[1] == 'u') {
            FPos += 2;
            if (!Hex4(u[1])) return false;
            n = 2;
          }
          bytes += QString(reinterpret_cast<const QChar*>(u), n).toUtf8();
          break;
        }
        default:
          return false;
      }
    }
    if (FPos == FEnd) return false;
    ++FPos;
    out = QString::fromUtf8(bytes);
    return true;
  }

  const char* FPos;
  const char* FEnd;
};

}  // namespace

QByteArray MemoryFileText(const std::vector<std::pair<QString, const Remembered*>>& boxes) {
  QByteArray bytes = "{\"version\":" + QByteArray::number(kMemoryVersion) + ",\"mailboxes\":{";
  bool first = true;
  for (const auto& [key, r] : boxes) {
    if (!first) bytes += ',';
    first = false;
    AppendJsonString(bytes, key);
    bytes += ':';
    AppendMemoryJson(bytes, *r);
  }
  return bytes + "}}";
}

bool ReadMemoryFile(const QByteArray& bytes, std::map<QString, Remembered>& out) {
  return MemoryReader(bytes).Read(out);
}

}  // namespace mail
