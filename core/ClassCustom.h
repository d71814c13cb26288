// Base classes of the model: objects freed by their owner, and owning lists.
#pragma once

#include <QObject>
#include <QPointer>
#include <vector>

// A model object. Its owner (a QObject) frees it, unless it was freed before.
class TClassCustom : public QObject {
  Q_OBJECT
public:
  explicit TClassCustom(QObject* owner = nullptr) : QObject(owner) {}
};

// An owning list of model objects. Items are created with Main as their owner
// and appended; removing an item frees it; an item freed elsewhere drops out
// of the list by itself.
template <class T>
class TClassCustomList {
public:
  explicit TClassCustomList(QObject* main) : FMain(main) {}
  virtual ~TClassCustomList() { Clear(); }
  TClassCustomList(const TClassCustomList&) = delete;
  TClassCustomList& operator=(const TClassCustomList&) = delete;

  QObject* Main() const { return FMain; }

  int Count() const {
    Compact();
    return static_cast<int>(FItems.size());
  }
  T* Items(int index) const {
    Compact();
    return (index >= 0 && index < static_cast<int>(FItems.size())) ? FItems[index].data() : nullptr;
  }
  T* operator[](int index) const { return Items(index); }

  // Creates an item owned by Main and appends it.
  T* Add() {
    T* item = new T(FMain);
    FItems.emplace_back(item);
    return item;
  }
  // Removes the item at index and frees it.
  void Delete(int index) {
    Compact();
    if (index < 0 || index >= static_cast<int>(FItems.size())) return;
    T* item = FItems[index].data();
    FItems.erase(FItems.begin() + index);
    delete item;
  }
  // Removes and frees every item, the last first.
  void Clear() {
    while (Count() > 0) Delete(Count() - 1);
  }

private:
  void Compact() const {
    std::erase_if(FItems, [](const QPointer<T>& p) { return p.isNull(); });
  }
  QObject* FMain;
  mutable std::vector<QPointer<T>> FItems;
};
