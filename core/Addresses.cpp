#include "core/Addresses.h"

#include <QStringList>

bool TClassAddressList::Contains(const QString& address) const {
  for (int i = 0; i < Count(); ++i)
    if (Items(i)->Address() == address) return true;
  return false;
}

bool TClassAddressList::Remember(const QString& address) {
  if (!Contains(address)) Add()->SetAddress(address);
  return true;
}

void TClassAddressList::LoadFrom(TTable& table) {
  while (!table.Eof()) {
    Add()->SetAddress(table.AsString("ADDRESS_ADDRESS"));
    table.Next();
  }
}

void TClassAddressList::StoreTo(TTable& table) const {
  for (int i = 0; i < Count(); ++i) {
    table.Append();
    table.SetString("ADDRESS_ADDRESS", Items(i)->Address());
    table.Post();
  }
}

QStringList TClassAddressList::Addresses() const {
  QStringList list;
  for (int i = 0; i < Count(); ++i) list.append(Items(i)->Address());
  return list;
}
