#include "ui/dialogs/FormUsers.h"

#include <QAction>
#include <QCheckBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTabWidget>
#include <QToolBar>
#include <QToolButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "core/Users.h"
#include "ui/dialogs/DialogImages.h"
#include "ui/dialogs/FormUser.h"

namespace {

// A row whose texts sort without regard to letter case.
class TShareItem : public QTreeWidgetItem {
public:
  using QTreeWidgetItem::QTreeWidgetItem;
  bool operator<(const QTreeWidgetItem& other) const override {
    const int column = treeWidget() ? treeWidget()->sortColumn() : 0;
    return text(column).compare(other.text(column), Qt::CaseInsensitive) < 0;
  }
};

// A row's right to open subfolders rides with it (sorting and moves included).
constexpr int kChangeDirRole = Qt::UserRole + 1;

void SetRow(QTreeWidgetItem* row, const QString& address, const QString& folder, bool changeDir) {
  row->setText(0, address);
  row->setText(1, folder);
  row->setData(0, kChangeDirRole, changeDir);
  row->setToolTip(1, changeDir ? QString() : QObject::tr("Subfolders are not shown"));
}

}  // namespace

TFormUsers::TFormUsers(QWidget* parent, const QString& mailDomain)
    : TDialogBase(parent, tr("Share Folders"), QStringLiteral("Tahoma"), DialogPlacement::ScreenCenter),
      FMailDomain(mailDomain) {
  setObjectName("TFormUsers");
  resize(360, 472);
  setSizeGripEnabled(true);

  aAddFriend = MakeAction("aAddFriend", tr("Add Friend..."), tr("Add new friend"), 0, &TFormUsers::aAddFriendExecute);
  aEditFriend = MakeAction("aEditFriend", tr("Edit Friend..."), tr("Edit friend"), 1, &TFormUsers::aEditFriendExecute);
  aRemoveFriend =
      MakeAction("aRemoveFriend", tr("Remove Friend"), tr("Remove friend"), 2, &TFormUsers::aRemoveFriendExecute);
  aClearFriends = MakeAction("aClearFriends", tr("Remove All Friends"), tr("Remove all friends"), 3,
                             &TFormUsers::aClearFriendsExecute);
  aMoveUpFriend =
      MakeAction("aMoveUpFriend", tr("Move Friend Up"), tr("Move friend up"), 4, &TFormUsers::aMoveUpFriendExecute);
  aMoveDownFriend = MakeAction("aMoveDownFriend", tr("Move Friend Down"), tr("Move friend down"), 5,
                               &TFormUsers::aMoveDownFriendExecute);
  aEnableAnonymous = MakeAction("aEnableAnonymous", tr("Enable Anonymous"), tr("Enable anonymous"), 12,
                                &TFormUsers::aEnableAnonymousExecute);
  aDisableAnonymous = MakeAction("aDisableAnonymous", tr("Disable Anonymous"), tr("Disable anonymous"), 11,
                                 &TFormUsers::aDisableAnonymousExecute);
  aEditAnonymous = MakeAction("aEditAnonymous", tr("Edit Anonymous..."), tr("Edit anonymous"), 1,
                              &TFormUsers::aEditAnonymousExecute);

  pcShares = new QTabWidget(this);
  pcShares->setObjectName("pcShares");
  pcShares->setDocumentMode(true);

  const QList<QAction*> friendActions = {aAddFriend, aEditFriend,   aRemoveFriend,  aClearFriends,
                                         nullptr,    aMoveUpFriend, aMoveDownFriend};
  AddSharePage({"tsFriends", "tbFriends", "tlFriends", "pmFriends", "tfcAddress", "tfcFolder"},
               tr("Share with Friends"), tr("Friend Address"), friendActions, tbFriends, tlFriends, pmFriends);
  const QList<QAction*> anonymousActions = {aEnableAnonymous, aDisableAnonymous, nullptr, aEditAnonymous};
  AddSharePage({"tsAnonymous", "tbAnonymous", "tlAnonymous", "pmAnonymous", "tacAddress", "tacFolder"},
               tr("Share with Anonymous"), tr("Anonymous Address"), anonymousActions, tbAnonymous, tlAnonymous,
               pmAnonymous);
  auto* anonymousRow = new TShareItem(tlAnonymous);
  tlAnonymous->setCurrentItem(anonymousRow);

  // OK and Cancel stay at the bottom right.
  auto* buttons = new QHBoxLayout;
  buttons->addStretch(1);
  QPushButton* ok = AddOkButton(0, 0);
  QPushButton* cancel = AddCancelButton(0, 0);
  for (QPushButton* b : {ok, cancel}) {
    b->setFixedSize(75, 25);
    buttons->addWidget(b);
  }
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(8, 8, 8, 8);
  layout->addWidget(pcShares);
  layout->addLayout(buttons);

  connect(tlFriends, &QTreeWidget::itemDoubleClicked, this, [this] { aEditFriend->trigger(); });
  connect(tlFriends, &QTreeWidget::currentItemChanged, this, &TFormUsers::UpdateFriendActions);
  tlFriends->header()->setSectionsClickable(true);
  connect(tlFriends->header(), &QHeaderView::sectionClicked, this, &TFormUsers::SortFriends);
  connect(tlAnonymous, &QTreeWidget::itemDoubleClicked, this, [this] { aEditAnonymous->trigger(); });

  UpdateFriendActions();
  aEnableAnonymousExecute();
}

QAction* TFormUsers::MakeAction(const char* name, const QString& caption, const QString& hint, int image,
                                void (TFormUsers::*execute)()) {
  auto* action = new QAction(UserImage(image), caption, this);
  action->setObjectName(name);
  action->setToolTip(hint);
  action->setStatusTip(hint);
  connect(action, &QAction::triggered, this, execute);
  return action;
}

void TFormUsers::AddSharePage(const SharePageNames& names, const QString& caption, const QString& addressCaption,
                              const QList<QAction*>& actions, QToolBar*& bar, QTreeWidget*& list, QMenu*& menu) {
  auto* page = new QWidget;
  page->setObjectName(names.Page);

  // Tool bar: flat buttons 24 wide, hints shown; a null action is a separator.
  bar = new QToolBar(page);
  bar->setObjectName(names.Bar);
  bar->setFixedHeight(29);
  bar->setIconSize(QSize(16, 16));
  bar->setToolButtonStyle(Qt::ToolButtonIconOnly);
  menu = new QMenu(this);
  menu->setObjectName(names.Menu);
  for (QAction* action : actions) {
    if (!action) {
      bar->addSeparator();
      menu->addSeparator();
      continue;
    }
    bar->addAction(action);
    if (QWidget* button = bar->widgetForAction(action)) button->setFixedWidth(24);
    menu->addAction(action);
  }

  list = new QTreeWidget(page);
  list->setObjectName(names.List);
  list->setColumnCount(2);
  list->setHeaderLabels({addressCaption, tr("Folder")});
  list->headerItem()->setData(0, Qt::UserRole, QString::fromLatin1(names.AddressColumn));
  list->headerItem()->setData(1, Qt::UserRole, QString::fromLatin1(names.FolderColumn));
  list->setColumnWidth(0, 140);
  list->setColumnWidth(1, 220);
  // The columns fit the width: the folder column takes what the address column leaves.
  list->header()->setStretchLastSection(true);
  list->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  list->setRootIsDecorated(false);
  list->setItemsExpandable(false);
  list->setSelectionMode(QAbstractItemView::SingleSelection);
  list->setSelectionBehavior(QAbstractItemView::SelectRows);
  list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  list->setUniformRowHeights(false);
  list->setWordWrap(true);
  list->setContextMenuPolicy(Qt::CustomContextMenu);
  QTreeWidget* shown = list;
  QMenu* popup = menu;
  connect(list, &QWidget::customContextMenuRequested, this,
          [shown, popup](const QPoint& at) { popup->popup(shown->viewport()->mapToGlobal(at)); });

  auto* layout = new QVBoxLayout(page);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  layout->addWidget(bar);
  layout->addWidget(list);
  pcShares->addTab(page, caption);
}

void TFormUsers::FillShareDialog(const TClassUserList& users, const TClassAnonymous& anonymous) {
  for (int i = 0; i < users.Count(); ++i)
    SetRow(new TShareItem(tlFriends), users[i]->Address(), users[i]->Folder(), users[i]->ChangeDir());
  if (tlFriends->topLevelItemCount() > 0) tlFriends->setCurrentItem(tlFriends->topLevelItem(0));
  SetRow(tlAnonymous->topLevelItem(0), anonymous.Address(), anonymous.Folder(), anonymous.ChangeDir());
  if (anonymous.Enabled())
    aEnableAnonymousExecute();
  else
    aDisableAnonymousExecute();
  UpdateFriendActions();
}

void TFormUsers::ApplyShareDialog(TClassUserList& users, TClassAnonymous& anonymous) const {
  users.Clear();
  for (int i = 0; i < tlFriends->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* row = tlFriends->topLevelItem(i);
    TClassUser* user = users.Add();
    user->SetAddress(row->text(0));
    user->SetFolder(row->text(1));
    user->SetChangeDir(RowChangeDir(row));
  }
  const QTreeWidgetItem* row = tlAnonymous->topLevelItem(0);
  anonymous.SetAddress(row->text(0));
  anonymous.SetFolder(row->text(1));
  anonymous.SetChangeDir(RowChangeDir(row));
  anonymous.SetEnabled(AnonymousOn());
}

QString TFormUsers::KnownAddressList() const {
  QString known = QStringLiteral(">");
  for (int i = 0; i < tlFriends->topLevelItemCount(); ++i) known += tlFriends->topLevelItem(i)->text(0) + '>';
  return known;
}

bool TFormUsers::RowChangeDir(const QTreeWidgetItem* row) {
  const QVariant right = row->data(0, kChangeDirRole);
  return !right.isValid() || right.toBool();  // a row never filled has the preset
}

bool TFormUsers::AnonymousOn() const { return aDisableAnonymous->isEnabled(); }

void TFormUsers::UpdateFriendActions() {
  const int count = tlFriends->topLevelItemCount();
  const int current = tlFriends->currentItem() ? tlFriends->indexOfTopLevelItem(tlFriends->currentItem()) : -1;
  const bool any = count > 0;
  aEditFriend->setEnabled(any && current >= 0);
  aRemoveFriend->setEnabled(any && current >= 0);
  aClearFriends->setEnabled(any);
  aMoveUpFriend->setEnabled(any && current > 0);
  aMoveDownFriend->setEnabled(any && current >= 0 && current < count - 1);
}

void TFormUsers::aAddFriendExecute() {
  TFormUser editor(this);
  editor.IsNew = true;
  editor.setWindowTitle(tr("New Friend"));
  editor.edAddress->setText('@' + FMailDomain);
  editor.edAddress->setCursorPosition(0);
  editor.KnownAddresses = KnownAddressList();
  if (editor.exec() != QDialog::Accepted) return;
  auto* row = new TShareItem(tlFriends);
  SetRow(row, editor.edAddress->text(), editor.edFolder->text(), editor.chChangeDir->isChecked());
  tlFriends->setCurrentItem(row);
  UpdateFriendActions();
}

void TFormUsers::aEditFriendExecute() {
  QTreeWidgetItem* row = tlFriends->currentItem();
  if (!row) return;
  TFormUser editor(this);
  editor.IsNew = false;
  editor.setWindowTitle(tr("Edit Friend"));
  editor.KnownAddresses = KnownAddressList();
  editor.OldAddress = row->text(0);
  editor.edAddress->setText(row->text(0));
  editor.edFolder->setText(row->text(1));
  editor.chChangeDir->setChecked(RowChangeDir(row));
  if (editor.exec() != QDialog::Accepted) return;
  SetRow(row, editor.edAddress->text(), editor.edFolder->text(), editor.chChangeDir->isChecked());
}

void TFormUsers::aRemoveFriendExecute() {
  delete tlFriends->currentItem();
  UpdateFriendActions();
}

void TFormUsers::aClearFriendsExecute() {
  while (tlFriends->topLevelItemCount() > 0) delete tlFriends->takeTopLevelItem(tlFriends->topLevelItemCount() - 1);
  UpdateFriendActions();
}

void TFormUsers::aMoveUpFriendExecute() { MoveFriend(-1); }

void TFormUsers::aMoveDownFriendExecute() { MoveFriend(+1); }

void TFormUsers::MoveFriend(int delta) {
  QTreeWidgetItem* row = tlFriends->currentItem();
  if (!row) return;
  const int from = tlFriends->indexOfTopLevelItem(row);
  const int to = from + delta;
  if (to < 0 || to >= tlFriends->topLevelItemCount()) return;
  tlFriends->takeTopLevelItem(from);
  tlFriends->insertTopLevelItem(to, row);
  tlFriends->setCurrentItem(row);
  UpdateFriendActions();
}

void TFormUsers::SortFriends(int column) {
  FSortOrder = (column == FSortColumn && FSortOrder == Qt::AscendingOrder) ? Qt::DescendingOrder : Qt::AscendingOrder;
  FSortColumn = column;
  tlFriends->header()->setSortIndicatorShown(true);
  tlFriends->sortItems(column, FSortOrder);
  UpdateFriendActions();
}

void TFormUsers::aEnableAnonymousExecute() {
  aEnableAnonymous->setEnabled(false);
  aDisableAnonymous->setEnabled(true);
  aEditAnonymous->setEnabled(true);
  tlAnonymous->setEnabled(true);
}

void TFormUsers::aDisableAnonymousExecute() {
  aEnableAnonymous->setEnabled(true);
  aDisableAnonymous->setEnabled(false);
  aEditAnonymous->setEnabled(false);
  tlAnonymous->setEnabled(false);  // greyed out, header included
}

void TFormUsers::aEditAnonymousExecute() {
  QTreeWidgetItem* row = tlAnonymous->topLevelItem(0);
  TFormUser editor(this);
  editor.IsNew = false;
  editor.setWindowTitle(tr("Edit Anonymous"));
  editor.edAddress->setText(row->text(0));
  editor.edAddress->setEnabled(false);
  editor.edFolder->setText(row->text(1));
  editor.chChangeDir->setChecked(RowChangeDir(row));
  if (editor.exec() != QDialog::Accepted) return;
  SetRow(row, row->text(0), editor.edFolder->text(), editor.chChangeDir->isChecked());
}

bool RunShareDialog(QWidget* parent, TClassUserList& users, TClassAnonymous& anonymous, const QString& mailDomain) {
  TFormUsers form(parent, mailDomain);
  form.FillShareDialog(users, anonymous);
  if (form.exec() != QDialog::Accepted) return false;
  form.ApplyShareDialog(users, anonymous);
  return true;
}
