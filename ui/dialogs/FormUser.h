// The friend editor: one friend's address, folder and whether the friend may
// open the folder's subfolders, checked on OK. It also edits the folder and
// that right of the anonymous share.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QCheckBox;
class QLineEdit;
class QPushButton;

class TFormUser : public TDialogBase {
  Q_OBJECT
public:
  explicit TFormUser(QWidget* parent = nullptr);

  // Set by the caller before the editor is shown.
  bool IsNew = false;          // a new friend is being added
  QString OldAddress;          // the address of the friend being edited
  QString KnownAddresses;      // ">" before the first address, ">" after each; empty for none

  QLineEdit* edAddress;
  QLineEdit* edFolder;
  QPushButton* btSelect;
  // "May open subfolders": list and download below the folder's top.
  QCheckBox* chChangeDir;

  // The checks, in order; the first that fails shows its message and leaves
  // the editor open. Both boxes show their trimmed texts afterwards.
  void btOkClick();
  // The message of the first failed check; empty when all pass.
  QString CheckMessage();
};

// Whether address is among the known addresses (the text of KnownAddressList),
// compared as peer addresses: trimmed and without regard to letter case.
bool IsKnownAddress(const QString& knownAddresses, const QString& address);

inline const char* const kMsgAddressEmpty = "Address is empty.";
inline const char* const kMsgAddressDuplicate = "User with the same Address is already exists.";
