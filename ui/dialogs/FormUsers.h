// The share dialog: the friends with their folders, and the anonymous share.
// The application's friends list and anonymous share are read only by
// FillShareDialog and written only by ApplyShareDialog; in between every change
// lives in the dialog's two lists.
#pragma once

#include "ui/dialogs/DialogSupport.h"

class QAction;
class QMenu;
class QTabWidget;
class QToolBar;
class QTreeWidget;
class QTreeWidgetItem;
class TClassAnonymous;
class TClassUserList;

class TFormUsers : public TDialogBase {
  Q_OBJECT
public:
  // mailDomain is the provider's mail domain, offered as "@" + mailDomain to a new friend.
  TFormUsers(QWidget* parent, const QString& mailDomain);

  // One row per friend in list order, the anonymous row, and its on/off state.
  void FillShareDialog(const TClassUserList& users, const TClassAnonymous& anonymous);
  // Rebuilds the friends from the rows as shown (after moves and sorting), each
  // with the preset right flags except the right to open subfolders, which is
  // what the rows hold; and sets the anonymous share's address, folder, that
  // right and on/off state. Runs on the main thread; serving threads never read these
  // objects, so afterwards the caller publishes
  // ShareSnapshot::From(users, anonymous) to its ShareDirectory, then saves.
  void ApplyShareDialog(TClassUserList& users, TClassAnonymous& anonymous) const;
  // ">" followed by the address of every friend row and ">".
  QString KnownAddressList() const;
  // The anonymous share is on while aDisableAnonymous is enabled.
  bool AnonymousOn() const;
  // The right to open subfolders that a row of tlFriends or tlAnonymous holds.
  static bool RowChangeDir(const QTreeWidgetItem* row);

  QTabWidget* pcShares;
  QToolBar* tbFriends;
  QTreeWidget* tlFriends;
  QMenu* pmFriends;
  QToolBar* tbAnonymous;
  QTreeWidget* tlAnonymous;
  QMenu* pmAnonymous;

  QAction* aAddFriend;
  QAction* aEditFriend;
  QAction* aRemoveFriend;
  QAction* aClearFriends;
  QAction* aMoveUpFriend;
  QAction* aMoveDownFriend;
  QAction* aEnableAnonymous;
  QAction* aDisableAnonymous;
  QAction* aEditAnonymous;

private:
  void aAddFriendExecute();
  void aEditFriendExecute();
  void aRemoveFriendExecute();
  void aClearFriendsExecute();
  void aMoveUpFriendExecute();
  void aMoveDownFriendExecute();
  void aEnableAnonymousExecute();
  void aDisableAnonymousExecute();
  void aEditAnonymousExecute();
  // The enabled states of the friend actions, from the rows and the current row.
  void UpdateFriendActions();
  void MoveFriend(int delta);
  void SortFriends(int column);

  QAction* MakeAction(const char* name, const QString& caption, const QString& hint, int image,
                      void (TFormUsers::*execute)());
  struct SharePageNames {
    const char *Page, *Bar, *List, *Menu, *AddressColumn, *FolderColumn;
  };
  // A page of pcShares: tool bar and pop-up menu with the actions, and the list.
  void AddSharePage(const SharePageNames& names, const QString& caption, const QString& addressCaption,
                    const QList<QAction*>& actions, QToolBar*& bar, QTreeWidget*& list, QMenu*& menu);

  QString FMailDomain;
  int FSortColumn = -1;
  Qt::SortOrder FSortOrder = Qt::AscendingOrder;
};

// Creates the share dialog, fills it, shows it modally and, with OK, applies it
// to the friends and the anonymous share. True on OK; the caller then publishes
// ShareSnapshot::From(users, anonymous) and saves. With Cancel nothing changes.
bool RunShareDialog(QWidget* parent, TClassUserList& users, TClassAnonymous& anonymous, const QString& mailDomain);
