#include "ui/dialogs/FormOptions.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QStackedWidget>
#include <QTreeWidget>
#include <cmath>

#include "core/Options.h"
#include "ui/dialogs/NumberEdit.h"

QString PackLevelName(int level) {
  for (const PackLevel& p : kPackLevels)
    if (p.Level == level) return QString::fromLatin1(p.Name);
  return {};
}

int PackLevelOf(const QString& name) {
  for (const PackLevel& p : kPackLevels)
    if (name.compare(QLatin1String(p.Name), Qt::CaseInsensitive) == 0) return p.Level;
  return -1;
}

TFormOptions::TFormOptions(QWidget* parent)
    : TDialogBase(parent, tr("Options"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter) {
  setObjectName("TFormOptions");
  SetClientSize(398, 265);

  tlOptions = new QTreeWidget(this);
  tlOptions->setObjectName("tlOptions");
  tlOptions->setGeometry(8, 8, 75, 211);
  tlOptions->setHeaderHidden(true);
  tlOptions->setRootIsDecorated(false);
  tlOptions->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tlOptions->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  tlOptions->setColumnCount(1);
  tlOptions->clear();
  for (const QString& page : {tr("General"), tr("Messages")}) new QTreeWidgetItem(tlOptions, {page});

  nbOptions = new QStackedWidget(this);
  nbOptions->setObjectName("nbOptions");
  nbOptions->setGeometry(88, 8, 304, 212);

  // Page "General".
  QWidget* general = AddPage(tr(" General Options"));
  auto* startup = new QGroupBox(tr("Startup settings"), general);
  startup->setGeometry(4, 32, 296, 84);
  auto addCheck = [startup](const char* name, const QString& text, int y) {
    auto* check = new QCheckBox(text, startup);
    check->setObjectName(name);
    check->setGeometry(10, y, 280, 18);
    return check;
  };
  cbRunAtStart = addCheck("cbRunAtStart", tr(" Run Kestro at System start-up"), 18);
  cbRunInTray = addCheck("cbRunInTray", tr(" Run Kestro minimized as a System Tray Icon"), 38);
  cbActivateAtRun = addCheck("cbActivateAtRun", tr(" Start Kestro on run"), 58);

  auto* download = new QGroupBox(tr("Download settings"), general);
  download->setGeometry(4, 120, 296, 88);
  AddLabel(download, tr("Download folder:"), 10, 18);
  edDownloadFolder = AddEdit(download, "edDownloadFolder", 10, 34, 250);
  AddFolderButton(download, edDownloadFolder, "btSelect", 264, 34);
  AddLabel(download, tr("Download timeout: "), 10, 62, 112, 21)->setAlignment(Qt::AlignVCenter);
  edDownloadTimeout = new TNumberEdit(download, "edDownloadTimeout", kMinTimeoutClient, kMaxTimeoutClient, 6, false);
  edDownloadTimeout->setGeometry(124, 62, 70, 21);
  AddLabel(download, tr("seconds"), 200, 62, 60, 21)->setAlignment(Qt::AlignVCenter);

  // Page "Messages".
  QWidget* messages = AddPage(tr(" Message Options"));
  auto* sendReceive = new QGroupBox(tr("Send / Receive"), messages);
  sendReceive->setGeometry(4, 32, 296, 56);
  AddLabel(sendReceive, tr("Check for new messages every"), 10, 24, 170, 21)->setAlignment(Qt::AlignVCenter);
  edPOP3AcceleratorTime =
      new TNumberEdit(sendReceive, "edPOP3AcceleratorTime", kMinAccelTime, kMaxAccelTime, 6, false);
  edPOP3AcceleratorTime->setGeometry(182, 24, 56, 21);
  AddLabel(sendReceive, tr("seconds"), 242, 24, 50, 21)->setAlignment(Qt::AlignVCenter);

  auto* attachments = new QGroupBox(tr("Attachments"), messages);
  attachments->setGeometry(4, 92, 296, 116);
  AddLabel(attachments, tr("Compression method:"), 10, 22, 120, 21)->setAlignment(Qt::AlignVCenter);
  edCompressionMethod = new QComboBox(attachments);
  edCompressionMethod->setObjectName("edCompressionMethod");
  edCompressionMethod->setEditable(true);
  edCompressionMethod->setInsertPolicy(QComboBox::NoInsert);
  edCompressionMethod->setGeometry(134, 22, 150, 21);
  for (const PackLevel& p : kPackLevels) edCompressionMethod->addItem(tr(p.Name));
  edCompressionMethod->setCurrentText(QStringLiteral("Normal"));
  AddLabel(attachments, tr("Volume size, bytes:"), 10, 50, 120, 21)->setAlignment(Qt::AlignVCenter);
  edVolumeSize = new TNumberEdit(attachments, "edVolumeSize", kMinAttachVolume, kMaxAttachVolume, 8, true);
  edVolumeSize->setGeometry(134, 50, 150, 21);
  QLabel* note = AddLabel(attachments, tr("NOTE: The volume size can range from 1 MB to 25 MB."), 10, 78, 276, 30);
  note->setWordWrap(true);

  connect(tlOptions, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
    const int index = item ? tlOptions->indexOfTopLevelItem(item) : -1;
    if (index >= 0 && index < nbOptions->count()) nbOptions->setCurrentIndex(index);
  });
  tlOptions->setCurrentItem(tlOptions->topLevelItem(0));

  AddOkButton(236, 232);
  AddCancelButton(317, 232);
}

QWidget* TFormOptions::AddPage(const QString& header) {
  auto* page = new QWidget(nbOptions);
  // Header bar: raised inner and lowered outer bevel, bold title on the window colour.
  auto* outer = new QFrame(page);
  outer->setGeometry(0, 0, 304, 27);
  outer->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  outer->setAutoFillBackground(true);
  outer->setBackgroundRole(QPalette::Base);
  auto* title = new QLabel(header, outer);
  title->setObjectName("lbHeader");
  title->setGeometry(1, 1, 302, 25);
  title->setFrameStyle(QFrame::Panel | QFrame::Raised);
  title->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  QFont bold(QStringLiteral("Tahoma"));
  bold.setPointSize(10);
  bold.setBold(true);
  title->setFont(bold);
  nbOptions->addWidget(page);
  return page;
}

void TFormOptions::Fill(const TClassOptions& options) {
  cbRunAtStart->setChecked(options.StartupSystem());
  cbActivateAtRun->setChecked(options.StartupRun());
  cbRunInTray->setChecked(options.StartupTray());
  edDownloadFolder->setText(options.DownloadFolder());
  edPOP3AcceleratorTime->SetValue(options.EffectivePollSeconds());
  const QString name = PackLevelName(options.AttachCompress());
  if (!name.isEmpty()) edCompressionMethod->setCurrentText(name);
  edVolumeSize->SetValue(options.EffectiveVolumeSize());
  edDownloadTimeout->SetValue(options.EffectiveTimeoutSeconds());
}

void TFormOptions::Apply(TClassOptions& options) const {
  options.SetStartupSystem(cbRunAtStart->isChecked());
  options.SetStartupRun(cbActivateAtRun->isChecked());
  options.SetStartupTray(cbRunInTray->isChecked());
  options.SetDownloadFolder(edDownloadFolder->text());
  options.SetPop3AccelTime(static_cast<qint32>(edPOP3AcceleratorTime->Value()));
  const int level = PackLevelOf(edCompressionMethod->currentText());
  if (level >= 0) options.SetAttachCompress(level);
  options.SetAttachVolume(static_cast<qint32>(edVolumeSize->Value()));
  options.SetTimeoutClient(static_cast<qint32>(edDownloadTimeout->Value()));
}

bool RunOptionsDialog(QWidget* parent, TClassOptions& options) {
  return RunFillApply<TFormOptions>(parent, options);
}
