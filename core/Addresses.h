// The history of the peer addresses the user has sent requests to.
#pragma once

#include <QString>

#include "core/ClassCustom.h"
#include "core/Table.h"

class TClassAddress : public TClassCustom {
  Q_OBJECT
public:
  explicit TClassAddress(QObject* owner = nullptr) : TClassCustom(owner) {}
  QString Address() const { return FAddress; }
  void SetAddress(const QString& v) { FAddress = v; }

private:
  QString FAddress;
};

// Entries in the order they were added; compared character for character.
class TClassAddressList : public TClassCustomList<TClassAddress> {
public:
  using TClassCustomList::TClassCustomList;
  bool Contains(const QString& address) const;
  // Appends the address unless it is already there. Always true.
  bool Remember(const QString& address);
  void LoadFrom(TTable& table);
  void StoreTo(TTable& table) const;
  QStringList Addresses() const;
};
