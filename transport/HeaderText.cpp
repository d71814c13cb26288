#include "transport/HeaderText.h"

#include <vmime/vmime.hpp>

#include "transport/MailStrings.h"

namespace mail {

namespace {
QString Utf8OrLatin1(const std::string& bytes) {
  const QString text = FromStd(bytes);
  if (!text.contains(QChar::ReplacementCharacter)) return text;
  return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
}
}  // namespace

QString CharsetText(const std::string& bytes, const vmime::charset& charset) {
  const std::string cs = Upper(charset.getName());
  if (cs == "UTF-8" || cs == "UTF8" || cs == "US-ASCII" || cs == "ASCII" || cs == "ANSI_X3.4-1968")
    return Utf8OrLatin1(bytes);
  try {
    std::string utf8;
    vmime::charset::convert(bytes, utf8, charset, vmime::charset(vmime::charsets::UTF_8));
    return FromStd(utf8);
  } catch (const std::exception&) {
    return Utf8OrLatin1(bytes);
  }
}

// A word as UTF-8. Raw 8-bit text without a declared charset is taken as UTF-8.
QString WordText(const vmime::word& w) { return CharsetText(w.getBuffer(), w.getCharset()); }

QString HeaderText(const std::shared_ptr<const vmime::header>& header, const char* field) {
  try {
    auto f = header->findField(field);
    if (!f) return QString();
    if (auto t = f->getValue<vmime::text>()) {
      QString out;
      for (size_t i = 0; i < t->getWordCount(); ++i) out += WordText(*t->getWordAt(i));
      return out;
    }
    return FromStd(f->getValue()->generate());
  } catch (const std::exception&) {
    return QString();
  }
}

namespace {
// The address as the mail has it, byte for byte: no charset conversion (the
// mail library converts through ICU, which leaks a converter for a charset
// it does not know).
QString AddressText(const vmime::emailAddress& address) {
  if (address.isEmpty()) return QString();
  const std::string& local = address.getLocalName().getBuffer();
  const std::string& domain = address.getDomainName().getBuffer();
  return FromStd(domain.empty() ? local : local + '@' + domain);
}
}  // namespace

QString HeaderFrom(const std::shared_ptr<const vmime::header>& header) {
  try {
    auto f = header->findField(vmime::fields::FROM);
    if (!f) return QString();
    if (auto mb = f->getValue<vmime::mailbox>()) return AddressText(mb->getEmail());
    if (auto list = f->getValue<vmime::mailboxList>())
      if (list->getMailboxCount() > 0) return AddressText(list->getMailboxAt(0)->getEmail());
  } catch (const std::exception&) {
  }
  return QString();
}

}  // namespace mail
