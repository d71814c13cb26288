// File and text utilities shared by the whole program. No state.
#pragma once

#include <QString>
#include <QStringList>
#include <stdexcept>

// A text that should be a decimal integer and is not.
class EConvertError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};

// Job state codes.
enum JobState : qint32 { jsError = 0, jsActive = 1, jsDone = 2, jsStopped = 3 };

// Cuts the line at its first TAB: line keeps the text before it, second gets
// the text after it. A line without TAB gives an empty line and the whole line
// as second.
void SplitAtTab(QString& line, QString& second);

// A job tag: an identifier, optionally followed by "." total bytes "." count.
struct JobTag {
  QString Id;
  qint64 First = 0;   // total size in bytes
  qint64 Second = 0;  // number of volumes
};
// Takes a tag apart; raises EConvertError "'%s' is not a valid integer value"
// for a number part that is not a decimal integer.
JobTag SplitJobTag(const QString& tag);

// Kilobytes with the locale's thousands separator and "KB": 1536 gives "1KB".
QString FormatSizeKB(qint64 bytes);

// The local time as "yyyymmddhhnnsszzz" (17 digits). Within one process every
// stamp is greater than the one before, even when no millisecond has passed.
QString NewStamp();

// "Error", "Active", "Done", "Stopped"; empty for any other code.
QString StateName(qint32 state);

// "disk." and the number, zero-padded to three digits.
QString VolumeName(qint64 number);

// Deletes a file or a folder with everything in it. True on success
// (also when nothing was there).
bool DeletePath(const QString& path);

// Sum of the sizes of the entries directly in the folder; 0 when it cannot be read.
qint64 FolderSize(const QString& folder);

// Clears list, then appends folder + "/" + name for every entry of the folder.
// False when the folder cannot be read.
bool ListFolder(const QString& folder, QStringList& list);

// Renames the volumes of a folder to the spanned-archive convention:
// disk.001, disk.002, disk.003 become disk.z01, disk.z02, disk.zip_.
bool RenameVolumes(const QString& folder, QStringList& list);

// One line per file of the folder: name TAB FormatSizeKB(size) CR LF.
// A missing folder gives "Error: Disk or directory not exists or is inaccessible."
QString FolderListing(const QString& folder);
inline const char* const kMsgNoDirectory = "Disk or directory not exists or is inaccessible.";

// Maps a requested path ("name\file" or "file") through a share text (lines
// "name>folder", or a single folder) onto a real path. "\" separates the
// parts of a request. The result always lies inside the granted folder, after
// ".." and symbolic links are followed; anything else gives empty text.
QString ResolveSharePath(const QString& request, const QString& share);

// Whether path (after "..", symlinks) lies inside folder.
bool PathInside(const QString& path, const QString& folder);

// Trims spaces and control characters at both ends.
QString TrimText(const QString& text);

// Runs a program hidden and waits for it while pending events are processed.
// False when it could not be started.
bool RunAndWait(const QString& program, const QStringList& arguments);

// Loads a component library and runs its registration entry point silently.
// A library that does not load is skipped (true). On an error, errorText gets
// "Unable to register <path>" and the result is false.
bool RegisterServer(const QString& path, QString* errorText = nullptr);
