// Header texts of received mail as UTF-8: encoded words decoded, charsets
// converted, raw 8-bit text without a declared charset taken as UTF-8 (or
// Latin-1 when it is no valid UTF-8). A field that cannot be read gives empty
// text; nothing here throws.
#pragma once

#include <QString>
#include <memory>

#include <string>

namespace vmime {
class charset;
class header;
class word;
}  // namespace vmime

namespace mail {

// The text of a header field (empty when the field is missing).
QString HeaderText(const std::shared_ptr<const vmime::header>& header, const char* field);
QString WordText(const vmime::word& word);
// Bytes in charset as text; bytes in a charset that cannot be converted are
// taken as UTF-8 (Latin-1 when no valid UTF-8).
QString CharsetText(const std::string& bytes, const vmime::charset& charset);
// The bare address of the first mailbox in From.
QString HeaderFrom(const std::shared_ptr<const vmime::header>& header);

}  // namespace mail
