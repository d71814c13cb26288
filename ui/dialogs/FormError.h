// The error dialog: a message, and below it on request the lines of a mail log.
#pragma once

#include <QStringList>

#include "ui/dialogs/DialogSupport.h"

class QLabel;
class QPlainTextEdit;
class QPushButton;
class QWidget;

class TFormError : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormError(QWidget* parent = nullptr);

  void SetMessage(const QString& message);
  void SetDetails(const QStringList& lines);

  QLabel* lbMessage;
  QPushButton* btDetails;
  QWidget* pnDetails;
  QPlainTextEdit* edDetails;

  // "Details >>" shows the details panel and becomes "<< Details"; pressed
  // again it hides them. Escape presses it too and leaves the dialog open.
  void btDetailsClick();

protected:
  void keyPressEvent(QKeyEvent* event) override;

private:
  int FClientHeight;
};

// The lines of a mail log less its first line. False when the file cannot be read.
bool ReadLogDetails(const QString& logFile, QStringList& lines);

// Shows the error dialog modally with the message and the details lines.
void ShowErrorDialog(QWidget* parent, const QString& message, const QStringList& details);
