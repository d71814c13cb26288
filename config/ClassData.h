// The configuration store: the tables "DataMain" and "DataMain103" in memory,
// each kept in a file of its own ("server.cfg", "server103.cfg") as a compound
// file with one stream named after the table, encrypted whole.
//
// Files are decrypted in memory only and written atomically (a private
// temporary file in the same folder, flushed, then renamed over the old one),
// readable by the user alone. A file that cannot be read raises
// EConfigFileError naming it and the reason, and is left as it was.
//
// How config/ reports errors: by exception, one type per surface.
// - The store (this header) raises EConfigFileError and nothing else: its
//   text names the file and the reason and is what the user is shown. The
//   container's ECompDocError and a damaged table packet's ETableError are
//   turned into it here.
// - Reading and writing the fields of a table raise ETableError (core/Table.h).
// - The compound-file container (Storage.h) keeps StgResult codes as its own
//   vocabulary inside and raises ECompDocError; only tools that open compound
//   files directly see that.
#pragma once

#include "config/MemTable.h"
#include "core/ClassCustom.h"
#include "message/MessageCipher.h"

#include <QString>
#include <optional>
#include <stdexcept>

class EConfigFileError : public std::runtime_error {
public:
  EConfigFileError(const QString& file, const QString& reason, bool writing);
  QString File() const { return FFile; }
  QString Reason() const { return FReason; }

private:
  QString FFile;
  QString FReason;
};

inline const QString kTableMain = QStringLiteral("DataMain");
inline const QString kTableMain103 = QStringLiteral("DataMain103");
inline const QString kFileMain = QStringLiteral("server.cfg");
inline const QString kFileMain103 = QStringLiteral("server103.cfg");
inline const QString kFileKey = QStringLiteral("5TK8QM20R7H3CVWN");

class TClassData : public TClassCustom {
  Q_OBJECT
public:
  // Defines both tables and loads both files from confFolder, or from the
  // installation's CONF folder when none is given. Raises EConfigFileError.
  explicit TClassData(QObject* owner, const std::optional<QString>& confFolder = std::nullopt);
  // Writes both files (unless SetSaveOnDestroy(false)); a failure is logged.
  ~TClassData() override;

  TMemTable& DataMain() { return FDataMain; }
  TMemTable& DataMain103() { return FDataMain103; }
  QString MainFile() const { return FMainFile; }
  QString MainFile103() const { return FMainFile103; }
  MessageCipher& Cipher() { return FCipher; }

  // Writes "server103.cfg" and "server.cfg" as one change: after a crash at any
  // moment, a load reads both files of the last save or both of the one under
  // way. Raises EConfigFileError; a failure before the commit leaves both as they were.
  void SaveFiles();
  void SetSaveOnDestroy(bool save) { FSaveOnDestroy = save; }

  // The definitions of the two tables.
  static std::vector<FieldDef> MainFields();
  static std::vector<FieldDef> Main103Fields();

  // A table as the bytes of its file, and back (the file's path only names it
  // in errors). Both raise EConfigFileError.
  static QByteArray EncodeFile(const TMemTable& table, MessageCipher& cipher, const QString& path = QString());
  static void DecodeFile(const QByteArray& bytes, TMemTable& table, MessageCipher& cipher, const QString& path);
  static void KeyFileCipher(MessageCipher& cipher);

  static constexpr qint64 kMaxFileSize = qint64(64) << 20;

private:
  void DefineTables();
  void ReadFileNames(const std::optional<QString>& confFolder);
  void LoadTable(TMemTable& table, const QString& path);

  // Declared so that the cipher comes first and the tables go in the order
  // "DataMain103", "DataMain", cipher at destruction.
  MessageCipher FCipher;
  TMemTable FDataMain;
  TMemTable FDataMain103;
  QString FMainFile;
  QString FMainFile103;
  bool FSaveOnDestroy = true;
};

// Writes bytes to path atomically with mode 0600: a temporary file in the same
// folder (created when missing), flushed to disk, then renamed over path.
// Raises EConfigFileError.
void WriteFileAtomically(const QString& path, const QByteArray& bytes);
