// What a peer sees of a granted folder: the listing that answers "list", and
// the real path that a requested name of "download" stands for.
#pragma once

#include <QString>

#include "core/Result.h"

// One line per file directly in the folder, in the order the file system
// gives: name TAB FormatSizeKB(size) CR LF; subfolders are not listed. An
// empty folder gives empty text. A folder that does not exist or cannot be
// read fails with "Disk or directory not exists or is inaccessible.".
Result<QString> FolderListing(const QString& folder);

// Maps a requested path ("name\file" or "file") through a share text (lines
// "name>folder", or a single folder) onto a real path. "\" separates the
// parts of a request; share names compare ignoring the case of ASCII letters.
// The result always lies inside the granted folder, after ".." and symbolic
// links are followed, and is never that folder itself; anything else, and a
// request no line grants, gives empty text.
QString ResolveSharePath(const QString& request, const QString& share);
