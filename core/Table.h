// The table interface of the configuration store, as the model objects use it.
#pragma once

#include <QString>
#include <stdexcept>

// An ordered set of rows with a current row; fields addressed by name and read
// or written as text, boolean or integer. Reading a field of a table without
// rows yields empty text, false or 0. A field of type table gives the nested
// table of child rows of the current row.
class TTable {
public:
  virtual ~TTable() = default;

  virtual QString Name() const = 0;

  virtual QString AsString(const QString& field) const = 0;
  virtual bool AsBoolean(const QString& field) const = 0;
  virtual qint32 AsInteger(const QString& field) const = 0;
  virtual void SetString(const QString& field, const QString& value) = 0;
  virtual void SetBoolean(const QString& field, bool value) = 0;
  virtual void SetInteger(const QString& field, qint32 value) = 0;

  // The nested table of the current row's field of type table.
  virtual TTable& Nested(const QString& field) = 0;

  // Puts the current row into editing; a table without rows gets its first row.
  virtual void Edit() = 0;
  // Adds a row at the end, makes it current and puts it into editing.
  virtual void Append() = 0;
  // Ends the editing of the current row.
  virtual void Post() = 0;
  virtual void First() = 0;
  virtual void Last() = 0;
  virtual void Next() = 0;
  virtual bool Eof() const = 0;
  // Removes the current row.
  virtual void Delete() = 0;
  virtual bool Editing() const = 0;
  virtual int RecordCount() const = 0;
};

// Raised for a field name the table does not define, a value of the wrong type,
// or a write outside editing.
class ETableError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
