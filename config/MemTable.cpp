#include "config/MemTable.h"

#include <nlohmann/json.hpp>

#include <limits>
#include <set>

using nlohmann::json;

namespace {

QString Truncated(const QString& value, int size) {
  if (value.size() <= size) return value;
  QString cut = value.left(size);
  if (!cut.isEmpty() && cut.back().isHighSurrogate()) cut.chop(1);  // never half a character
  return cut;
}

bool ParseBoolean(const QString& text, bool* ok) {
  const QString t = text.trimmed();
  *ok = true;
  if (t.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0) return true;
  if (t.compare(QLatin1String("false"), Qt::CaseInsensitive) == 0 || t.isEmpty()) return false;
  *ok = false;
  return false;
}

const char* TypeKey(FieldType type) {
  switch (type) {
    case FieldType::String: return "string";
    case FieldType::Boolean: return "boolean";
    case FieldType::Integer: return "integer";
    case FieldType::Table: return "table";
  }
  return "string";
}

}  // namespace

QString FieldTypeName(FieldType type) { return QString::fromLatin1(TypeKey(type)); }

TMemTable::TMemTable(const QString& name) : FName(name) {}
TMemTable::~TMemTable() = default;

void TMemTable::Fail(const QString& text) const {
  throw ETableError(QStringLiteral("table \"%1\": %2").arg(FName, text).toStdString());
}

void TMemTable::Define(std::vector<FieldDef> fields) {
  FFields = std::move(fields);
  FDetachedNested.clear();
  Clear();
}

void TMemTable::Clear() {
  FRows.clear();
  FCurrent = -1;
  FEof = true;
  FEditing = false;
}

void TMemTable::AddField(const FieldDef& def) {
  if (FindField(def.Name)) Fail(QStringLiteral("field \"%1\" defined twice").arg(def.Name));
  FFields.push_back(def);
  FDetachedNested.clear();
  for (Row& row : FRows) {
    if (def.Type == FieldType::Table) {
      auto nested = std::make_unique<TMemTable>(def.Name);
      nested->Define(def.Fields);
      row.push_back(std::move(nested));
    } else {
      row.emplace_back();
    }
  }
}

const FieldDef* TMemTable::FindField(const QString& name) const {
  for (const FieldDef& f : FFields)
    if (f.Name.compare(name, Qt::CaseInsensitive) == 0) return &f;
  return nullptr;
}

int TMemTable::IndexOf(const QString& field) const {
  for (std::size_t i = 0; i < FFields.size(); ++i)
    if (FFields[i].Name.compare(field, Qt::CaseInsensitive) == 0) return static_cast<int>(i);
  Fail(QStringLiteral("no field \"%1\"").arg(field));
}

const TMemTable::Value* TMemTable::Current(const QString& field, int* index) const {
  *index = IndexOf(field);
  if (FCurrent < 0 || FCurrent >= static_cast<int>(FRows.size())) return nullptr;
  return &FRows[FCurrent][*index];
}

TMemTable::Value& TMemTable::Writable(const QString& field, int* index) {
  *index = IndexOf(field);
  if (!FEditing || FCurrent < 0) Fail(QStringLiteral("field \"%1\" written outside editing").arg(field));
  return FRows[FCurrent][*index];
}

bool TMemTable::IsNull(const QString& field) const {
  int i = 0;
  const Value* v = Current(field, &i);
  return !v || std::holds_alternative<std::monostate>(*v);
}

QString TMemTable::AsString(const QString& field) const {
  int i = 0;
  const Value* v = Current(field, &i);
  if (!v) return QString();
  if (auto s = std::get_if<QString>(v)) return *s;
  if (auto b = std::get_if<bool>(v)) return *b ? QStringLiteral("True") : QStringLiteral("False");
  if (auto n = std::get_if<qint32>(v)) return QString::number(*n);
  if (std::holds_alternative<std::unique_ptr<TMemTable>>(*v)) Fail(QStringLiteral("field \"%1\" is a table").arg(field));
  return QString();
}

bool TMemTable::AsBoolean(const QString& field) const {
  int i = 0;
  const Value* v = Current(field, &i);
  if (!v) return false;
  if (auto b = std::get_if<bool>(v)) return *b;
  if (auto n = std::get_if<qint32>(v)) return *n != 0;
  if (auto s = std::get_if<QString>(v)) {
    bool ok = false;
    const bool b = ParseBoolean(*s, &ok);
    if (!ok) Fail(QStringLiteral("\"%1\" is not a boolean value").arg(*s));
    return b;
  }
  if (std::holds_alternative<std::unique_ptr<TMemTable>>(*v)) Fail(QStringLiteral("field \"%1\" is a table").arg(field));
  return false;
}

qint32 TMemTable::AsInteger(const QString& field) const {
  int i = 0;
  const Value* v = Current(field, &i);
  if (!v) return 0;
  if (auto n = std::get_if<qint32>(v)) return *n;
  if (auto s = std::get_if<QString>(v)) {
    if (s->trimmed().isEmpty()) return 0;
    bool ok = false;
    const qint32 n = s->trimmed().toInt(&ok);
    if (!ok) Fail(QStringLiteral("'%1' is not a valid integer value").arg(*s));
    return n;
  }
  if (std::holds_alternative<std::monostate>(*v)) return 0;
  Fail(QStringLiteral("field \"%1\" cannot be read as an integer").arg(field));
}

void TMemTable::SetString(const QString& field, const QString& value) {
  int i = 0;
  Value& v = Writable(field, &i);
  const FieldDef& def = FFields[i];
  bool ok = true;
  switch (def.Type) {
    case FieldType::String: v = Truncated(value, def.Size); return;
    case FieldType::Boolean: {
      const bool b = ParseBoolean(value, &ok);
      if (!ok) Fail(QStringLiteral("\"%1\" is not a boolean value").arg(value));
      v = b;
      return;
    }
    case FieldType::Integer: {
      const qint32 n = value.trimmed().toInt(&ok);
      if (!ok) Fail(QStringLiteral("'%1' is not a valid integer value").arg(value));
      v = n;
      return;
    }
    case FieldType::Table: break;
  }
  Fail(QStringLiteral("field \"%1\" is a table").arg(field));
}

void TMemTable::SetBoolean(const QString& field, bool value) {
  int i = 0;
  Value& v = Writable(field, &i);
  const FieldDef& def = FFields[i];
  if (def.Type == FieldType::Boolean) v = value;
  else if (def.Type == FieldType::String) v = Truncated(value ? QStringLiteral("True") : QStringLiteral("False"), def.Size);
  else Fail(QStringLiteral("field \"%1\" cannot take a boolean").arg(field));
}

void TMemTable::SetInteger(const QString& field, qint32 value) {
  int i = 0;
  Value& v = Writable(field, &i);
  const FieldDef& def = FFields[i];
  if (def.Type == FieldType::Integer) v = value;
  else if (def.Type == FieldType::String) v = Truncated(QString::number(value), def.Size);
  else Fail(QStringLiteral("field \"%1\" cannot take an integer").arg(field));
}

TMemTable& TMemTable::Nested(const QString& field) {
  return const_cast<TMemTable&>(static_cast<const TMemTable&>(*this).Nested(field));
}

const TMemTable& TMemTable::Nested(const QString& field) const {
  int i = 0;
  const Value* v = Current(field, &i);
  if (FFields[i].Type != FieldType::Table) Fail(QStringLiteral("field \"%1\" is no table").arg(field));
  if (v) return *std::get<std::unique_ptr<TMemTable>>(*v);
  // No current row: an empty stand-in that reads as empty and refuses rows.
  auto& stand = FDetachedNested[i];
  if (!stand) {
    stand = std::make_unique<TMemTable>(FFields[i].Name);
    stand->Define(FFields[i].Fields);
    stand->FDetached = true;
  }
  return *stand;
}

TMemTable::Row TMemTable::NewRow() const {
  Row row(FFields.size());
  for (std::size_t i = 0; i < FFields.size(); ++i)
    if (FFields[i].Type == FieldType::Table) {
      auto nested = std::make_unique<TMemTable>(FFields[i].Name);
      nested->Define(FFields[i].Fields);
      row[i] = std::move(nested);
    }
  return row;
}

void TMemTable::Edit() {
  if (FRows.empty()) {
    Append();
    return;
  }
  if (FCurrent < 0) FCurrent = 0;
  FEditing = true;
}

void TMemTable::Append() {
  if (FDetached) Fail(QStringLiteral("no row to hold nested rows"));
  FRows.push_back(NewRow());
  FCurrent = static_cast<int>(FRows.size()) - 1;
  FEof = false;
  FEditing = true;
}

void TMemTable::Post() { FEditing = false; }

void TMemTable::First() {
  FEditing = false;
  FCurrent = FRows.empty() ? -1 : 0;
  FEof = FRows.empty();
}

void TMemTable::Last() {
  FEditing = false;
  FCurrent = static_cast<int>(FRows.size()) - 1;
  FEof = FRows.empty();
}

void TMemTable::Next() {
  FEditing = false;
  if (FCurrent + 1 < static_cast<int>(FRows.size())) ++FCurrent;
  else FEof = true;
}

void TMemTable::Delete() {
  FEditing = false;
  if (FCurrent < 0 || FCurrent >= static_cast<int>(FRows.size())) return;
  FRows.erase(FRows.begin() + FCurrent);
  if (FCurrent >= static_cast<int>(FRows.size())) FCurrent = static_cast<int>(FRows.size()) - 1;
  FEof = FRows.empty();
}

// ---- Packet

struct PacketCodec {
  static json EncodeFields(const std::vector<FieldDef>& fields) {
    json out = json::array();
    for (const FieldDef& f : fields) {
      json d = {{"name", f.Name.toStdString()}, {"type", TypeKey(f.Type)}};
      if (f.Type == FieldType::String) d["size"] = f.Size;
      if (f.Type == FieldType::Table) d["fields"] = EncodeFields(f.Fields);
      out.push_back(std::move(d));
    }
    return out;
  }

  static json EncodeRows(const TMemTable& t) {
    json rows = json::array();
    for (const auto& row : t.FRows) {
      json r = json::array();
      for (const auto& v : row) {
        if (auto s = std::get_if<QString>(&v)) r.push_back(s->toStdString());
        else if (auto b = std::get_if<bool>(&v)) r.push_back(*b);
        else if (auto n = std::get_if<qint32>(&v)) r.push_back(*n);
        else if (auto nt = std::get_if<std::unique_ptr<TMemTable>>(&v)) r.push_back(EncodeRows(**nt));
        else r.push_back(nullptr);
      }
      rows.push_back(std::move(r));
    }
    return rows;
  }

  [[noreturn]] static void Bad(const QString& why) {
    throw ETableError(QStringLiteral("damaged table packet: %1").arg(why).toStdString());
  }

  static std::vector<FieldDef> DecodeFields(const json& j, int depth) {
    if (!j.is_array() || j.empty()) Bad(QStringLiteral("no field definitions"));
    if (depth > TMemTable::kMaxTableDepth) Bad(QStringLiteral("tables nested too deep"));
    std::vector<FieldDef> out;
    std::set<QString> names;
    for (const json& d : j) {
      if (!d.is_object() || !d.contains("name") || !d["name"].is_string() || !d.contains("type") || !d["type"].is_string())
        Bad(QStringLiteral("a field definition without name or type"));
      FieldDef f;
      f.Name = QString::fromStdString(d["name"].get<std::string>());
      if (f.Name.isEmpty() || f.Name.size() > 128) Bad(QStringLiteral("a field name that is empty or too long"));
      if (!names.insert(f.Name.toUpper()).second) Bad(QStringLiteral("field \"%1\" defined twice").arg(f.Name));
      const std::string type = d["type"].get<std::string>();
      if (type == "string") {
        f.Type = FieldType::String;
        if (!d.contains("size") || !d["size"].is_number_integer()) Bad(QStringLiteral("string \"%1\" without size").arg(f.Name));
        const auto size = d["size"].get<std::int64_t>();
        if (size < 1 || size > TMemTable::kMaxStringSize) Bad(QStringLiteral("string \"%1\" with size %2").arg(f.Name).arg(size));
        f.Size = static_cast<int>(size);
      } else if (type == "boolean") {
        f.Type = FieldType::Boolean;
      } else if (type == "integer") {
        f.Type = FieldType::Integer;
      } else if (type == "table") {
        f.Type = FieldType::Table;
        if (!d.contains("fields")) Bad(QStringLiteral("table \"%1\" without fields").arg(f.Name));
        f.Fields = DecodeFields(d["fields"], depth + 1);
      } else {
        Bad(QStringLiteral("field \"%1\" of unknown type").arg(f.Name));
      }
      out.push_back(std::move(f));
    }
    return out;
  }

  static void DecodeRows(const json& rows, TMemTable& t) {
    if (!rows.is_array()) Bad(QStringLiteral("rows of \"%1\" are no list").arg(t.FName));
    for (const json& r : rows) {
      if (!r.is_array() || r.size() != t.FFields.size())
        Bad(QStringLiteral("a row of \"%1\" does not match its fields").arg(t.FName));
      TMemTable::Row row = t.NewRow();
      for (std::size_t i = 0; i < t.FFields.size(); ++i) {
        const FieldDef& f = t.FFields[i];
        const json& v = r[i];
        if (f.Type == FieldType::Table) {
          DecodeRows(v.is_null() ? json::array() : v, *std::get<std::unique_ptr<TMemTable>>(row[i]));
          continue;
        }
        if (v.is_null()) continue;
        if (f.Type == FieldType::String && v.is_string())
          row[i] = Truncated(QString::fromStdString(v.get<std::string>()), f.Size);
        else if (f.Type == FieldType::Boolean && v.is_boolean())
          row[i] = v.get<bool>();
        else if (f.Type == FieldType::Integer && v.is_number_integer() &&
                 v.get<std::int64_t>() >= std::numeric_limits<qint32>::min() &&
                 v.get<std::int64_t>() <= std::numeric_limits<qint32>::max())
          row[i] = static_cast<qint32>(v.get<std::int64_t>());
        else
          Bad(QStringLiteral("value of \"%1\" in \"%2\" is no %3").arg(f.Name, t.FName, FieldTypeName(f.Type)));
      }
      t.FRows.push_back(std::move(row));
    }
    t.First();
  }
};

QByteArray TMemTable::SavePacket() const {
  const json packet = {{"table", FName.toStdString()},
                       {"version", 1},
                       {"fields", PacketCodec::EncodeFields(FFields)},
                       {"rows", PacketCodec::EncodeRows(*this)}};
  const std::vector<std::uint8_t> bytes = json::to_cbor(packet);
  return QByteArray(reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size()));
}

void TMemTable::LoadPacket(const QByteArray& packet) {
  if (packet.size() > kMaxPacket) PacketCodec::Bad(QStringLiteral("too large"));
  // Definitions nest two levels per table, rows three; a little slack beyond.
  if (!CborShapeValid(packet, 4 * kMaxTableDepth + 8)) PacketCodec::Bad(QStringLiteral("no valid packet"));
  const json j = json::from_cbor(packet.begin(), packet.end(), true, false);
  if (j.is_discarded() || !j.is_object()) PacketCodec::Bad(QStringLiteral("no valid packet"));
  if (!j.contains("table") || !j["table"].is_string() || !j.contains("fields") || !j.contains("rows"))
    PacketCodec::Bad(QStringLiteral("no table in the packet"));
  TMemTable loaded(QString::fromStdString(j["table"].get<std::string>()));
  loaded.Define(PacketCodec::DecodeFields(j["fields"], 1));
  PacketCodec::DecodeRows(j["rows"], loaded);
  FName = loaded.FName;
  FFields = std::move(loaded.FFields);
  FRows = std::move(loaded.FRows);
  FDetachedNested.clear();
  First();
}

// ---- CBOR shape

bool CborShapeValid(const QByteArray& bytes, int maxDepth) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.constData());
  const std::uint64_t n = static_cast<std::uint64_t>(bytes.size());
  std::uint64_t pos = 0;
  // Items still expected per open container; kOpen for an indefinite one.
  constexpr std::uint64_t kOpen = std::numeric_limits<std::uint64_t>::max();
  std::vector<std::uint64_t> stack{1};
  while (!stack.empty()) {
    if (stack.back() == 0) {
      stack.pop_back();
      continue;
    }
    if (pos >= n) return false;
    const unsigned char b = p[pos++];
    if (stack.back() == kOpen && b == 0xFF) {
      stack.pop_back();
      continue;
    }
    if (stack.back() != kOpen) --stack.back();
    const int major = b >> 5;
    const int info = b & 31;
    std::uint64_t arg = 0;
    bool indefinite = false;
    if (info < 24) {
      arg = static_cast<std::uint64_t>(info);
    } else if (info <= 27) {
      const int len = 1 << (info - 24);
      if (n - pos < static_cast<std::uint64_t>(len)) return false;
      for (int k = 0; k < len; ++k) arg = (arg << 8) | p[pos++];
    } else if (info == 31 && major >= 2 && major <= 5) {
      indefinite = true;
    } else {
      return false;
    }
    switch (major) {
      case 2:
      case 3:
        if (indefinite) stack.push_back(kOpen);
        else if (arg > n - pos) return false;
        else pos += arg;
        break;
      case 4:
        if (!indefinite && arg > n - pos) return false;
        stack.push_back(indefinite ? kOpen : arg);
        break;
      case 5:
        if (!indefinite && arg > (n - pos) / 2) return false;
        stack.push_back(indefinite ? kOpen : 2 * arg);
        break;
      case 6: stack.push_back(1); break;
      default: break;
    }
    if (static_cast<int>(stack.size()) > maxDepth + 1) return false;
  }
  return pos == n;
}
