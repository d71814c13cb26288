#include "transport/HeaderText.h"

#include <vmime/vmime.hpp>

#include "transport/MailStrings.h"

namespace mail {

// A word as UTF-8. Raw 8-bit text without a declared charset is taken as UTF-8.
QString WordText(const vmime::word& w) {
  const std::string cs = Upper(w.getCharset().getName());
  const std::string& bytes = w.getBuffer();
  if (cs == "UTF-8" || cs == "UTF8" || cs == "US-ASCII" || cs == "ASCII" || cs == "ANSI_X3.4-1968") {
    const QString text = FromStd(bytes);
    if (!text.contains(QChar::ReplacementCharacter)) return text;
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
  }
  try {
    return FromStd(w.getConvertedText(vmime::charset(vmime::charsets::UTF_8)));
  } catch (const std::exception&) {
    return QString::fromLatin1(bytes.data(), qsizetype(bytes.size()));
  }
}

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

QString HeaderFrom(const std::shared_ptr<const vmime::header>& header) {
  try {
    auto f = header->findField(vmime::fields::FROM);
    if (!f) return QString();
    if (auto mb = f->getValue<vmime::mailbox>()) return FromStd(mb->getEmail().toString());
    if (auto list = f->getValue<vmime::mailboxList>())
      if (list->getMailboxCount() > 0) return FromStd(list->getMailboxAt(0)->getEmail().toString());
  } catch (const std::exception&) {
  }
  return QString();
}

}  // namespace mail
