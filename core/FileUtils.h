// Folders and paths on disk: deleting a tree, the entries directly in a
// folder and their total size, and whether a path lies inside a folder.
// No state; every function reports failure in its result.
#pragma once

#include <QString>
#include <QStringList>

// Deletes a file or a folder with everything in it. True on success
// (also when nothing was there); false for an empty path.
bool DeletePath(const QString& path);

// Sum of the sizes of the entries directly in the folder (every entry but
// "." and "..", subfolders counting 0); 0 when it cannot be read.
qint64 FolderSize(const QString& folder);

// Clears list, then appends folder + "/" + name for every entry that
// FolderSize counts, in the order the file system gives. False when the
// folder cannot be read (true for an empty one).
bool ListFolder(const QString& folder, QStringList& list);

// Whether path lies inside folder once ".." and symbolic links are followed
// (the folder itself counts as inside).
bool PathInside(const QString& path, const QString& folder);
