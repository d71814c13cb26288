// Job identifiers: the 17-digit local time stamp "yyyymmddhhnnsszzz" that
// names a request, all of its mails, its job row and its temporary folders.
// Identifiers compare as text, which orders them by time.
#pragma once

#include <QString>

// The local time as "yyyymmddhhnnsszzz" (17 digits). Within one process every
// stamp is greater than the one before, even when no millisecond has passed.
QString NewStamp();

// Whether text is a stamp as NewStamp makes them: exactly 17 decimal digits.
bool IsStamp(const QString& text);
