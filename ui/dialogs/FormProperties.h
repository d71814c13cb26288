// The properties dialog: everything the State list knows about one request.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QLineEdit;
class QPlainTextEdit;

// The columns of a State list row that the dialog shows.
struct JobRowView {
  QString Number;    // 0, the JobId
  QString Subject;   // 1
  QString Address;   // 2
  QString Started;   // 3
  QString Finished;  // 4
  qint32 State = 0;  // 6, the job state code
  QString Action;    // 7
  QString Text;      // 8
  QString Info;      // 9, for a failed job its error text
};

class TFormProperties : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormProperties(QWidget* parent = nullptr);

  // Puts "Thread " in front of the caption and fills the boxes; a failed
  // request shows its error text in red in "State:".
  void Fill(const JobRowView& row);

  QLineEdit* edThreadID;
  QLineEdit* edState;
  QLineEdit* edStarted;
  QLineEdit* edFinished;
  QLineEdit* edAction;
  QLineEdit* edAddress;
  QLineEdit* edSubject;
  QPlainTextEdit* edText;
};

// Fills the properties dialog from the row and shows it modally.
void RunPropertiesDialog(QWidget* parent, const JobRowView& row);
