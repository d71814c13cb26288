#include <QByteArray>
#include <QFile>
#include <QTemporaryDir>
#include <crypto++/blowfish.h>
#include <gtest/gtest.h>

#include "message/MessageCipher.h"
#include "message/PeerMessage.h"
#include "TestFiles.h"

namespace {

QByteArray Hex(const char* hex) { return QByteArray::fromHex(hex); }

QByteArray BlowfishBlock(const QByteArray& key, const QByteArray& block) {
  CryptoPP::Blowfish::Encryption e(reinterpret_cast<const CryptoPP::byte*>(key.constData()), key.size());
  QByteArray out(8, '\0');
  e.ProcessBlock(reinterpret_cast<const CryptoPP::byte*>(block.constData()), reinterpret_cast<CryptoPP::byte*>(out.data()));
  return out;
}

QByteArray Xor(QByteArray a, const QByteArray& b) {
  for (int i = 0; i < a.size(); ++i) a[i] = static_cast<char>(a[i] ^ b[i]);
  return a;
}

}  // namespace

TEST(Primitives, Ripemd256MatchesPublishedVectors) {
  EXPECT_EQ(MessageCipher::Ripemd256("").toHex(), "02ba4c4e5f8ecd1877fc52d64d30e37a2d9774fb1e5d026380ae0168e3c5522d");
  EXPECT_EQ(MessageCipher::Ripemd256("a").toHex(), "f9333e45d857f5d90a91bab70a1eba0cfb1be4b0783c9acfcd883a9134692925");
  EXPECT_EQ(MessageCipher::Ripemd256("abc").toHex(), "afbd6e228b9d8cbbcef5ca2d03e6dba10ac0bc7dcbe4680e1e42d2e975459b65");
  EXPECT_EQ(MessageCipher::Ripemd256("message digest").toHex(),
            "87e971759a1ce47a514d5c914c392c9018c7c46bc14465554afcdf54a5070c0e");
}

TEST(Primitives, BlowfishMatchesPublishedVectors) {
  struct {
    const char *key, *plain, *cipher;
  } cases[] = {
      {"0000000000000000", "0000000000000000", "4ef997456198dd78"},
      {"ffffffffffffffff", "ffffffffffffffff", "51866fd5b85ecb8a"},
      {"3000000000000000", "1000000000000001", "7d856f9a613063f2"},
      {"0123456789abcdef", "1111111111111111", "61f9c3802281b096"},
      // long keys, as the digest keys of the cipher are (32 bytes)
      {"f0e1d2c3b4a5968778695a4b3c2d1e0f0011223344556677", "fedcba9876543210", "05044b62fa52d080"},
  };
  for (const auto& c : cases) EXPECT_EQ(BlowfishBlock(Hex(c.key), Hex(c.plain)).toHex(), c.cipher) << c.key;
}

TEST(Primitives, Base64SkipsForeignCharacters) {
  EXPECT_EQ(MessageCipher::Base64Encode("foobar"), "Zm9vYmFy");
  EXPECT_EQ(MessageCipher::Base64Encode("foob"), "Zm9vYg==");
  EXPECT_EQ(MessageCipher::Base64Decode(" Zm9v\r\nYg== "), "foob");
  EXPECT_EQ(MessageCipher::Base64Decode("Zm9v*Ym#Fy"), "foobar");
}

// The chaining, written out with the raw block cipher under the digest key.
TEST(Cipher, ChainingIsTheFeedbackModeOfTheFormat) {
  const QByteArray key = MessageCipher::Ripemd256("some key text");
  const QByteArray iv = Hex("6b0ed439f2875ac1");
  const QByteArray plain = RandomBytes(8 * 3 + 5, 1);
  QByteArray expected, f = iv;
  for (int pos = 0; pos + 8 <= plain.size(); pos += 8) {
    const QByteArray c = BlowfishBlock(key, Xor(plain.mid(pos, 8), f));
    expected += c;
    f = Xor(c, f);
  }
  expected += Xor(plain.right(5), BlowfishBlock(key, f).left(5));

  MessageCipher cipher;
  cipher.SetKey(QByteArray("some key text"), peer::kMessageIv);
  EXPECT_EQ(cipher.Encrypt(plain).toHex(), expected.toHex());
  EXPECT_EQ(cipher.Decrypt(expected), plain);

  // Without a vector, the vector is E(FF..FF) under the new key.
  cipher.SetKey(QByteArray("some key text"));
  const QByteArray derivedIv = BlowfishBlock(key, Hex("ffffffffffffffff"));
  EXPECT_EQ(QByteArray(reinterpret_cast<const char*>(cipher.Iv().data()), 8), derivedIv);
  // A text shorter than a block is the text xor the first bytes of E(IV).
  EXPECT_EQ(cipher.Encrypt("abc"), Xor(QByteArray("abc"), BlowfishBlock(key, derivedIv).left(3)));
}

TEST(Cipher, TextLengthsAndRoundTrips) {
  MessageCipher cipher;
  peer::SetPeerKey(cipher, "alice@example.test");
  EXPECT_EQ(cipher.EncryptText(""), "");
  const QString list = cipher.EncryptText("list");
  EXPECT_EQ(list.size(), 8);
  EXPECT_TRUE(list.endsWith("==") && !list.endsWith("==="));
  const QString download = cipher.EncryptText("download");
  EXPECT_EQ(download.size(), 12);
  EXPECT_TRUE(download.endsWith("=") && !download.endsWith("=="));
  const QString volumeKey = peer::VolumeKeyText(cipher, "alice@example.test");
  EXPECT_EQ(volumeKey.size(), 24);
  EXPECT_TRUE(volumeKey.endsWith("==") && !volumeKey.endsWith("==="));

  // Same text, same key: same result; each text starts again from the vector.
  peer::SetPeerKey(cipher, "alice@example.test");
  EXPECT_EQ(cipher.EncryptText("list"), list);
  EXPECT_EQ(cipher.DecryptText(list), "list");
  const QString names = QStringLiteral("report.pdf\r\nFotos Málaga.zip\r\n");
  const QString enc = cipher.EncryptText(names);
  EXPECT_EQ(cipher.DecryptText(enc), names);
  // A wrapped text decrypts the same once its CR LF pairs are removed; stray blanks are skipped.
  const QString wrapped = enc.left(10) + "\r\n" + enc.mid(10, 7) + "\r\n " + enc.mid(17);
  EXPECT_EQ(cipher.DecryptText(peer::RemoveLineBreaks(wrapped)), names);

  // The key ignores case and blanks around the address, and nothing else.
  MessageCipher other;
  peer::SetPeerKey(other, "  Alice@Example.TEST\t");
  EXPECT_EQ(other.EncryptText("list"), list);
  peer::SetPeerKey(other, "alice@example.tes");
  EXPECT_NE(other.DecryptText(list), "list");
}

TEST(Cipher, FilesOfEveryLengthRoundTripInPlace) {
  QTemporaryDir dir;
  MessageCipher cipher;
  cipher.SetKey(QByteArray("5TK8QM20R7H3CVWN"));
  std::vector<int> sizes;
  for (int n = 0; n <= 17; ++n) sizes.push_back(n);
  sizes.push_back(3 * 1024 * 1024 + 5);  // spans several read chunks, ends in a part block
  for (int size : sizes) {
    const QByteArray plain = RandomBytes(size, size);
    const QString path = dir.filePath(QString::number(size));
    QFile f(path);
    ASSERT_TRUE(f.open(QIODevice::WriteOnly));
    f.write(plain);
    f.close();
    ASSERT_TRUE(cipher.EncryptFileInPlace(path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    const QByteArray encrypted = f.readAll();
    f.close();
    EXPECT_EQ(encrypted.size(), size);
    EXPECT_EQ(encrypted, cipher.Encrypt(plain)) << size;  // a file is one message
    if (size > 0) {
      EXPECT_NE(encrypted, plain);
    }
    ASSERT_TRUE(cipher.DecryptFileInPlace(path));
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), plain) << size;
    f.close();
  }
  QString error;
  EXPECT_FALSE(cipher.EncryptFileInPlace(dir.filePath("missing"), &error));
  EXPECT_TRUE(error.contains("missing"));
}
