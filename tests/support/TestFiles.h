// Files in tests: whole files written and read in one call, and bytes that do
// not compress.
#pragma once

#include <QByteArray>
#include <QString>

// Writes bytes to path, creating its folder; a failure also fails the running test.
bool WriteFile(const QString& path, const QByteArray& bytes);
// The whole file, or nothing when it cannot be read.
QByteArray ReadFile(const QString& path);
// size bytes that do not compress, the same for the same seed.
QByteArray RandomBytes(qsizetype size, quint32 seed);
// A file of size bytes 'x' (empty by default), its folder created.
inline bool Touch(const QString& path, int size = 0) { return WriteFile(path, QByteArray(size, 'x')); }
// Every file and folder below folder (hidden ones too), as paths relative to it.
QStringList EntriesUnder(const QString& folder);
