// The options dialog: start-up behaviour, download folder and time-out,
// polling period, compression and volume size of the archives.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QCheckBox;
class QComboBox;
class QLineEdit;
class QStackedWidget;
class QTreeWidget;
class TClassOptions;
class TNumberEdit;

class TFormOptions : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormOptions(QWidget* parent = nullptr);

  // Fills the controls from the options.
  void Fill(const TClassOptions& options);
  // Writes the controls into the options (after OK), in the order the options are listed.
  void Apply(TClassOptions& options) const;

  QTreeWidget* tlOptions;
  QStackedWidget* nbOptions;
  QCheckBox* cbRunAtStart;
  QCheckBox* cbRunInTray;
  QCheckBox* cbActivateAtRun;
  QLineEdit* edDownloadFolder;
  TNumberEdit* edDownloadTimeout;
  TNumberEdit* edPOP3AcceleratorTime;
  QComboBox* edCompressionMethod;
  TNumberEdit* edVolumeSize;

private:
  QWidget* AddPage(const QString& header);
};

// The name of a pack level in the list of compression names; empty for a
// level that is not one of them.
QString PackLevelName(int level);
// The level of a compression name, ignoring letter case; -1 for none of them.
int PackLevelOf(const QString& name);

// Fills the options dialog with the values in effect (a number stored as 0 or
// outside the limits shows its preset), shows it modally and, with OK, writes it into the
// options. True on OK. The caller then sets up the archive component (pack
// level AttachCompress, volumes of AttachVolume bytes), re-arms the polling
// timer with the polling period in effect (stop, new interval, start, online or not)
// and saves, which writes or removes the autostart entry.
bool RunOptionsDialog(QWidget* parent, TClassOptions& options);
