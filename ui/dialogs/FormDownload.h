// The download dialog: where downloaded files are to be stored.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QLineEdit;

class TFormDownload : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormDownload(QWidget* parent = nullptr);

  QLineEdit* edDownloadFolder;

  // The checks of OK: the trimmed folder must be a directory that can be
  // written; a failed check shows its message and leaves the dialog open.
  void btOkClick();
};

// Shows the download dialog with folder in its box. With OK (the checks passed)
// folder gets the trimmed text and the result is true; the caller then stores it
// in DownloadFolder, saves and issues the request. With Cancel folder is unchanged.
bool RunDownloadDialog(QWidget* parent, QString& folder);
