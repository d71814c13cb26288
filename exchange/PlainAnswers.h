// The texts that a person without Kestro reads in our answers to plain
// ("?_") requests: how to ask for files, and which names were not found.
// Encrypted answers never carry them: a peer parses those bodies.
#pragma once

#include <QString>
#include <QStringList>

// The paragraph that follows the listing in the answer to a plain "list".
QString PlainRequestHelp();

// A plain "list" answer: the listing, then a blank line and the help.
QString PlainListingAnswer(const QString& listing);

// The body that names the requested files that were not found (one per
// line), then what the folder holds (listing; empty: nothing could be
// listed), then the help.
QString PlainNotFoundAnswer(const QStringList& missing, const QString& listing);
