#include "message/MessageCipher.h"

#include <QFile>
#include <crypto++/base64.h>
#include <crypto++/blowfish.h>
#include <crypto++/filters.h>
#include <crypto++/ripemd.h>
#include <cstring>

namespace {

inline std::uint64_t Load(const std::uint8_t* p) {
  std::uint64_t v;
  std::memcpy(&v, p, 8);
  return v;
}
inline void Store(std::uint8_t* p, std::uint64_t v) { std::memcpy(p, &v, 8); }

}  // namespace

struct MessageCipher::Impl {
  CryptoPP::Blowfish::Encryption Enc;
  CryptoPP::Blowfish::Decryption Dec;
};

MessageCipher::MessageCipher() : d(std::make_unique<Impl>()) { SetKey(QByteArray()); }
MessageCipher::~MessageCipher() = default;

QByteArray MessageCipher::Ripemd256(const QByteArray& data) {
  CryptoPP::RIPEMD256 hash;
  QByteArray digest(CryptoPP::RIPEMD256::DIGESTSIZE, '\0');
  hash.CalculateDigest(reinterpret_cast<CryptoPP::byte*>(digest.data()),
                       reinterpret_cast<const CryptoPP::byte*>(data.constData()), data.size());
  return digest;
}

void MessageCipher::SetKey(const QByteArray& keyText, std::optional<Block> iv) {
  const QByteArray key = Ripemd256(keyText);
  const auto* k = reinterpret_cast<const CryptoPP::byte*>(key.constData());
  d->Enc.SetKey(k, key.size());
  d->Dec.SetKey(k, key.size());
  if (iv) {
    FIv = *iv;
  } else {
    Block ones;
    ones.fill(0xFF);
    d->Enc.ProcessBlock(ones.data(), FIv.data());
  }
  Reset();
}

void MessageCipher::Reset() { FFeedback = FIv; }

void MessageCipher::EncryptStream(std::uint8_t* data, std::size_t size) {
  std::uint64_t f = Load(FFeedback.data());
  std::uint8_t block[8];
  std::size_t pos = 0;
  for (; pos + 8 <= size; pos += 8) {
    Store(block, Load(data + pos) ^ f);
    d->Enc.ProcessBlock(block, data + pos);
    f ^= Load(data + pos);
  }
  if (pos < size) {
    Store(block, f);
    d->Enc.ProcessBlock(block);
    for (std::size_t i = 0; pos + i < size; ++i) data[pos + i] ^= block[i];
  }
  Store(FFeedback.data(), f);
}

void MessageCipher::DecryptStream(std::uint8_t* data, std::size_t size) {
  std::uint64_t f = Load(FFeedback.data());
  std::uint8_t block[8];
  std::size_t pos = 0;
  for (; pos + 8 <= size; pos += 8) {
    const std::uint64_t c = Load(data + pos);
    d->Dec.ProcessBlock(data + pos, block);
    Store(data + pos, Load(block) ^ f);
    f ^= c;
  }
  if (pos < size) {
    Store(block, f);
    d->Enc.ProcessBlock(block);
    for (std::size_t i = 0; pos + i < size; ++i) data[pos + i] ^= block[i];
  }
  Store(FFeedback.data(), f);
}

QByteArray MessageCipher::Encrypt(const QByteArray& plain) {
  QByteArray out = plain;
  Reset();
  EncryptStream(reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  return out;
}

QByteArray MessageCipher::Decrypt(const QByteArray& cipher) {
  QByteArray out = cipher;
  Reset();
  DecryptStream(reinterpret_cast<std::uint8_t*>(out.data()), out.size());
  return out;
}

QByteArray MessageCipher::Base64Encode(const QByteArray& data) {
  std::string out;
  CryptoPP::StringSource(reinterpret_cast<const CryptoPP::byte*>(data.constData()), data.size(), true,
                         new CryptoPP::Base64Encoder(new CryptoPP::StringSink(out), false));
  return QByteArray::fromStdString(out);
}

QByteArray MessageCipher::Base64Decode(const QString& text) {
  // Only the alphabet counts; blanks, line breaks, "=" and anything else are skipped.
  std::string clean;
  clean.reserve(text.size());
  for (const QChar c : text) {
    const char16_t u = c.unicode();
    if ((u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9') || u == '+' || u == '/')
      clean.push_back(static_cast<char>(u));
  }
  std::string out;
  CryptoPP::StringSource(clean, true, new CryptoPP::Base64Decoder(new CryptoPP::StringSink(out)));
  return QByteArray::fromStdString(out);
}

QString MessageCipher::EncryptText(const QString& text) {
  if (text.isEmpty()) return {};
  return QString::fromLatin1(Base64Encode(Encrypt(text.toUtf8())));
}

QByteArray MessageCipher::DecryptTextBytes(const QString& text) {
  if (text.isEmpty()) return {};
  return Decrypt(Base64Decode(text));
}

QString MessageCipher::DecryptText(const QString& text) { return QString::fromUtf8(DecryptTextBytes(text)); }

bool MessageCipher::EncryptFileInPlace(const QString& path, QString* errorText) {
  return ProcessFile(path, true, errorText);
}

bool MessageCipher::DecryptFileInPlace(const QString& path, QString* errorText) {
  return ProcessFile(path, false, errorText);
}

bool MessageCipher::ProcessFile(const QString& path, bool encrypt, QString* errorText) {
  QFile file(path);
  auto fail = [&](const QString& why) {
    if (errorText) *errorText = QStringLiteral("%1: %2").arg(path, why);
    return false;
  };
  if (!file.open(QIODevice::ReadWrite | QIODevice::ExistingOnly)) return fail(file.errorString());
  Reset();
  // Chunks are a multiple of the block size; only the last may end in a part block.
  constexpr qint64 kChunk = 1 << 20;
  QByteArray buffer(kChunk, Qt::Uninitialized);
  qint64 offset = 0;
  for (;;) {
    const qint64 got = file.read(buffer.data(), kChunk);
    if (got < 0) return fail(file.errorString());
    if (got == 0) break;
    auto* bytes = reinterpret_cast<std::uint8_t*>(buffer.data());
    encrypt ? EncryptStream(bytes, got) : DecryptStream(bytes, got);
    if (!file.seek(offset) || file.write(buffer.constData(), got) != got) return fail(file.errorString());
    offset += got;
    if (got < kChunk) break;
  }
  if (!file.flush()) return fail(file.errorString());
  return true;
}
