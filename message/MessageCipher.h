// Blowfish keyed with the RIPEMD-256 digest of a key text, in the feedback
// chaining that peers and the configuration files use, and Base64 for texts.
//
// Chaining, with F the feedback register (starting at the initialisation
// vector for every text and file):
//   each whole block P: C = E(P xor F), then F = C xor F;
//   a final part block of n bytes: C = P xor the first n bytes of E(F).
// The output is exactly as long as the input.
//
// One object is used by one thread at a time: SetKey and the operation after
// it belong together.
#pragma once

#include <QByteArray>
#include <QString>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>

class MessageCipher {
public:
  using Block = std::array<std::uint8_t, 8>;

  MessageCipher();
  ~MessageCipher();
  MessageCipher(const MessageCipher&) = delete;
  MessageCipher& operator=(const MessageCipher&) = delete;

  // Keys the cipher with the RIPEMD-256 digest of the key text's bytes (UTF-8).
  // Without a vector, the vector is E(FF FF FF FF FF FF FF FF) under the new key.
  void SetKey(const QByteArray& keyText, std::optional<Block> iv = std::nullopt);
  void SetKey(const QString& keyText, std::optional<Block> iv = std::nullopt) {
    SetKey(keyText.toUtf8(), iv);
  }
  Block Iv() const { return FIv; }

  // Streaming use: Reset, then Encrypt/Decrypt pieces in order; a piece that is
  // not a multiple of 8 bytes must be the last one.
  void Reset();
  void EncryptStream(std::uint8_t* data, std::size_t size);
  void DecryptStream(std::uint8_t* data, std::size_t size);

  // Whole messages, each starting from the vector.
  QByteArray Encrypt(const QByteArray& plain);
  QByteArray Decrypt(const QByteArray& cipher);

  // Encrypts the text's bytes (UTF-8) and encodes them in Base64; empty stays empty.
  QString EncryptText(const QString& text);
  // Decodes Base64, skipping every character outside the alphabet, and
  // decrypts. The result is the bytes read as UTF-8 (meaningless under a wrong key).
  QString DecryptText(const QString& text);
  QByteArray DecryptTextBytes(const QString& text);

  // The whole file as one message, written back into the same file in place.
  // False, with errorText set, when the file cannot be read or written.
  bool EncryptFileInPlace(const QString& path, QString* errorText = nullptr);
  bool DecryptFileInPlace(const QString& path, QString* errorText = nullptr);

  // Published primitives, exposed for tests.
  static QByteArray Ripemd256(const QByteArray& data);
  static QByteArray Base64Encode(const QByteArray& data);
  static QByteArray Base64Decode(const QString& text);  // skips foreign characters

private:
  bool ProcessFile(const QString& path, bool encrypt, QString* errorText);
  struct Impl;
  std::unique_ptr<Impl> d;
  Block FIv{};
  Block FFeedback{};
};
