// The names of archive volumes. A build writes disk.001, disk.002, ...; a
// plain request receives them in the spanned-archive convention that
// ordinary zip tools expect: disk.z01, disk.z02, ..., the last one disk.zip_.
#pragma once

#include <QString>
#include <QStringList>

// "disk." and the number, zero-padded to three digits: 1 gives disk.001,
// 1000 gives disk.1000.
QString VolumeName(qint64 number);

// Renames the volumes of a folder to the spanned-archive convention:
// disk.001, disk.002, disk.003 become disk.z01, disk.z02, disk.zip_. Every
// entry of the folder takes part, in the order of their names (ignoring
// case). list gets the paths as they are now; a rename that fails leaves its
// entry as it was and the others go on. Always true.
bool RenameVolumes(const QString& folder, QStringList& list);
