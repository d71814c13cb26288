// Pictures of the dialogs: the "USER" strip of the share dialog, the logo of
// the about box and the error picture.
#pragma once

#include <QIcon>
#include <QPixmap>

// Image index of the "USER" strip (13 images of 16 by 16, magenta transparent).
QIcon UserImage(int index);
// The logo of the about box.
QPixmap AboutLogo();
// The 32 by 32 error picture.
QPixmap ErrorPicture();
