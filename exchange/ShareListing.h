// What a peer sees of a granted folder: the listing that answers "list", and
// the real path that a requested name of "download" or a requested folder of
// "list" stands for.
#pragma once

#include <QString>

#include "core/Result.h"

// The answer to a known command that the sender's rights refuse (a folder
// below the share's top for a sender who may not open subfolders).
inline const QString kMsgNotAllowed = QStringLiteral("Command not allowed.");

// One line per file directly in the folder, in the order the file system
// gives: name TAB FormatSizeKB(size) CR LF; subfolders are not listed. An
// empty folder gives empty text. A folder that does not exist or cannot be
// read fails with "Disk or directory not exists or is inaccessible.".
Result<QString> FolderListing(const QString& folder);

// The listing of a "list" that names a folder: first one line per subfolder,
// name "/" TAB "DIR" CR LF, then the files as FolderListing gives them; each
// part in the order the file system gives. A subfolder whose real path
// (symbolic links followed) leaves the folder is not listed. Fails as
// FolderListing does.
Result<QString> FolderListingWithFolders(const QString& folder);

// Whether the folder of a "list" (its body) names the share's top: "" or "/",
// blanks around it ignored.
bool NamesShareTop(const QString& folder);

// The real folder that the folder of a "list" names below the share's top:
// relative to the share, one leading "/" standing for the top ("/photos" and
// "photos" are the same), resolved as ResolveSharePath resolves a name.
// Empty text when it is no folder inside the share (missing, "..", an
// absolute path, a symbolic link that leads out) or names the top itself.
QString ResolveShareFolder(const QString& folder, const QString& share);

// Whether a requested name of "download" reaches below the share's top: it
// names a path inside a subfolder ("sub/file.txt") or a folder, which is
// archived with its contents.
bool ReachesBelowTop(const QString& request, const QString& share);

// Maps a requested path ("name\file" or "file") through a share text (lines
// "name>folder", or a single folder) onto a real path. "\" separates the
// parts of a request; share names compare ignoring the case of ASCII letters.
// The result always lies inside the granted folder, after ".." and symbolic
// links are followed, and is never that folder itself; anything else, and a
// request no line grants, gives empty text.
QString ResolveSharePath(const QString& request, const QString& share);
