// The image strips of the program, cut into 16-by-16 icons (magenta is transparent).
#pragma once

#include <QIcon>
#include <QList>
#include <QPixmap>
#include <QString>

// "MAIN", "TREE", "STATUS" or "USER".
QList<QIcon> LoadImageStrip(const QString& resource);
QList<QPixmap> LoadPixmapStrip(const QString& resource);
// "ONLINE" or "OFFLINE".
QIcon LoadAppIcon(const QString& resource);
