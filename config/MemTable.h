// An in-memory table: a definition of typed fields, rows, a current row, and
// nested tables per row. The whole table travels as one self-describing
// binary packet (CBOR): its definition followed by its rows.
#pragma once

#include "core/Table.h"

#include <QByteArray>
#include <QString>
#include <map>
#include <memory>
#include <variant>
#include <vector>

enum class FieldType { String, Boolean, Integer, Table };

struct FieldDef {
  QString Name;
  FieldType Type = FieldType::String;
  int Size = 0;                 // strings: the most characters kept
  std::vector<FieldDef> Fields;  // tables: the fields of the nested rows

  static FieldDef Str(const QString& name, int size) { return {name, FieldType::String, size, {}}; }
  static FieldDef Bool(const QString& name) { return {name, FieldType::Boolean, 0, {}}; }
  static FieldDef Int(const QString& name) { return {name, FieldType::Integer, 0, {}}; }
  static FieldDef Nested(const QString& name, std::vector<FieldDef> fields) {
    return {name, FieldType::Table, 0, std::move(fields)};
  }
};

QString FieldTypeName(FieldType type);

class TMemTable : public TTable {
public:
  explicit TMemTable(const QString& name = QString());
  ~TMemTable() override;
  TMemTable(const TMemTable&) = delete;
  TMemTable& operator=(const TMemTable&) = delete;
  TMemTable(TMemTable&&) noexcept = default;
  TMemTable& operator=(TMemTable&&) noexcept = default;

  QString Name() const override { return FName; }
  void SetName(const QString& name) { FName = name; }

  // Drops every row and takes the definition; the table is then empty and open.
  void Define(std::vector<FieldDef> fields);
  const std::vector<FieldDef>& Fields() const { return FFields; }
  // The definition of a field (names compare without case); null when unknown.
  const FieldDef* FindField(const QString& name) const;
  // Removes every row.
  void Clear();
  // Appends a field to the definition of a table that has rows already: every
  // row gets no value for it (an empty nested table for a table field). For a
  // table loaded from a file written before the field existed.
  void AddField(const FieldDef& def);

  QString AsString(const QString& field) const override;
  bool AsBoolean(const QString& field) const override;
  qint32 AsInteger(const QString& field) const override;
  // Whether the current row holds no value for the field (or there is no row).
  bool IsNull(const QString& field) const;
  void SetString(const QString& field, const QString& value) override;
  void SetBoolean(const QString& field, bool value) override;
  void SetInteger(const QString& field, qint32 value) override;

  TMemTable& Nested(const QString& field) override;
  const TMemTable& Nested(const QString& field) const;

  void Edit() override;
  void Append() override;
  void Post() override;
  void First() override;
  void Last() override;
  void Next() override;
  bool Eof() const override { return FEof; }
  void Delete() override;
  bool Editing() const override { return FEditing; }
  int RecordCount() const override { return static_cast<int>(FRows.size()); }

  // The table as one packet: name, definition, rows with their nested rows.
  QByteArray SavePacket() const;
  // Replaces name, definition and rows with those of the packet; the first row
  // becomes current. A packet that is damaged or does not describe a table
  // raises ETableError and leaves the table as it was.
  void LoadPacket(const QByteArray& packet);

  // Largest packet accepted, nesting depth of tables, and string size declared.
  static constexpr qint64 kMaxPacket = qint64(64) << 20;
  static constexpr int kMaxTableDepth = 4;
  static constexpr int kMaxStringSize = 1 << 20;

private:
  using Value = std::variant<std::monostate, QString, bool, qint32, std::unique_ptr<TMemTable>>;
  using Row = std::vector<Value>;

  int IndexOf(const QString& field) const;  // raises ETableError for an unknown name
  const Value* Current(const QString& field, int* index) const;
  Value& Writable(const QString& field, int* index);
  Row NewRow() const;
  [[noreturn]] void Fail(const QString& text) const;
  friend struct PacketCodec;

  QString FName;
  std::vector<FieldDef> FFields;
  std::vector<Row> FRows;
  int FCurrent = -1;
  bool FEof = true;
  bool FEditing = false;
  bool FDetached = false;  // the nested table of a table without rows: read-only and empty
  mutable std::map<int, std::unique_ptr<TMemTable>> FDetachedNested;
};

// Whether bytes hold exactly one well-formed CBOR item nested at most maxDepth deep.
// Checked before parsing, so a hostile packet cannot exhaust the stack.
bool CborShapeValid(const QByteArray& bytes, int maxDepth);
