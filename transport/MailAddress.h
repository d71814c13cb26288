// The one check of a mail address before it reaches SMTP or is trusted as a
// sender: exactly one bare address, nothing that could add a recipient or a
// header line.
#pragma once

#include <QString>

// The address trimmed when it is exactly one mail address (local@domain, no
// blanks, control characters, separators or angle brackets); empty otherwise.
QString CheckedAddress(const QString& address);
