// What the dialogs share: their base class (font, fixed client size, placement),
// the folder box with its "..." browser, the folder check and the error box.
#pragma once

#include <QDialog>
#include <QLabel>
#include <QString>

class QLineEdit;
class QPushButton;
class QWidget;

// Where a dialog appears when it is shown.
enum class DialogPlacement { ScreenCenter, OwnerCenter };

class TDialogBase : public QDialog {
  Q_OBJECT
public:
  TDialogBase(QWidget* parent, const QString& caption, const QString& fontFamily, DialogPlacement placement);

  // Fixes the client area at width by height pixels.
  void SetClientSize(int width, int height);

protected:
  void showEvent(QShowEvent* event) override;

  // Adds the "OK" (default) and "Cancel" buttons with their top-left corners at
  // the given points; Escape presses "Cancel" (QDialog's reject).
  QPushButton* AddOkButton(int x, int y, bool closesAtOnce = true);
  QPushButton* AddCancelButton(int x, int y);

private:
  DialogPlacement FPlacement;
  bool FPlaced = false;
};

// A label at (x, y) in the parent; returns it.
QLabel* AddLabel(QWidget* parent, const QString& text, int x, int y, int width = -1, int height = 16);

// A line edit with the given object name and geometry.
QLineEdit* AddEdit(QWidget* parent, const char* name, int x, int y, int width, int height = 21);

// The "..." button (22 by 21) that opens the folder browser for box.
QPushButton* AddFolderButton(QWidget* parent, QLineEdit* box, const char* name, int x, int y);

// The folder browser: the platform's folder-choosing dialog with the text
// "Please specify a directory", starting at the folder in the box. A confirmed
// folder that differs from the box's text replaces it.
void BrowseFolder(QWidget* parent, QLineEdit* box);

// The message of the folder checks for a trimmed folder text: "Folder is empty.",
// "Folder not exists or is inaccessible.", or empty text when the folder is a
// directory that can be entered and read (writable too when forWriting).
QString FolderCheckMessage(const QString& folder, bool forWriting = false);

// Trims the box's text (spaces and control characters at both ends), writes it
// back into the box and returns it.
QString TrimBox(QLineEdit* box);

// A failed check: a message box with the error icon and one "OK" button.
void ShowCheckError(QWidget* parent, const QString& message);

// Creates a dialog of type Form, fills it from model, shows it modally and,
// with OK, applies it to model. True on OK.
template <class Form, class Model>
bool RunFillApply(QWidget* parent, Model& model) {
  Form form(parent);
  form.Fill(model);
  if (form.exec() != QDialog::Accepted) return false;
  form.Apply(model);
  return true;
}

inline const char* const kMsgFolderEmpty = "Folder is empty.";
inline const char* const kMsgFolderMissing = "Folder not exists or is inaccessible.";
inline const char* const kBrowseFolderText = "Please specify a directory";
