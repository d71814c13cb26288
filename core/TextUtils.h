// Small text functions shared by the whole program: trimming, the TAB-split
// lines of a listing, and size texts. Pure functions of their arguments
// (FormatSizeKB also of the user's locale).
#pragma once

#include <QString>

// Trims spaces and control characters (code 32 and below) at both ends.
QString TrimText(const QString& text);

// Cuts the line at its first TAB: line keeps the text before it, second gets
// the text after it. A line without TAB gives an empty line and the whole line
// as second.
void SplitAtTab(QString& line, QString& second);

// Kilobytes (truncated, never below 0) with the locale's thousands separator
// and "KB": 1536 gives "1KB", 1048576 gives "1,024KB".
QString FormatSizeKB(qint64 bytes);
