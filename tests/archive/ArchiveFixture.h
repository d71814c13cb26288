// Shared helpers of the archive tests: corpora, tree comparison, and the real
// zip tools (7-Zip and Info-ZIP) as judges.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <gtest/gtest.h>

#include "core/Result.h"

#include "TestFiles.h"  // WriteFile, ReadFile, RandomBytes

namespace archtest {

// A result as an assertion: success, or a failure that shows the error text.
template <class T>
::testing::AssertionResult Ok(const Result<T>& result) {
  if (result) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << qPrintable(result.error());
}
// The error text of a result; empty on success.
template <class T>
QString ErrorOf(const Result<T>& result) {
  return result ? QString() : result.error();
}

struct ToolResult {
  int Code = -1;
  QString Output;  // stdout and stderr
};
// Runs a program in a folder and waits for it.
ToolResult RunTool(const QString& program, const QStringList& args, const QString& folder = QString());

// Compressible text of about size bytes.
QByteArray TextBytes(std::size_t size, std::uint32_t seed);

// The mixed corpus: an empty file, text, random bytes, a folder tree with an
// empty folder, a name with non-ASCII letters and a .zip (stored). Returns the
// top-level paths to archive.
QStringList MakeCorpus(const QString& root, std::size_t randomSize = 300000);

// "" when both trees hold the same folders and files with the same bytes;
// otherwise what differs.
QString CompareTrees(const QString& expected, const QString& actual);

// Renames numbered volumes to the spanned convention (disk.z01 ... disk.zip)
// as a person does after RenameVolumes; returns the path of disk.zip.
QString SpanNames(const QString& folder);

// Every file and folder below root, relative paths, sorted.
QStringList TreeListing(const QString& root);

}  // namespace archtest
