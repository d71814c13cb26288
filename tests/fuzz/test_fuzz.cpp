// The inputs that fuzzing found faults with, kept in tests/fuzz/<target>/,
// replayed through the same target bodies (fuzz/FuzzTargets.h) in the normal
// and the sanitized builds: each must pass without breaking a rule.
#include <gtest/gtest.h>

#include <QDir>
#include <QFile>

#include "fuzz/FuzzTargets.h"

namespace {

TEST(FuzzRegressions, KeptInputsPass) {
  int replayed = 0;
  for (const fuzz::Target& target : fuzz::Targets()) {
    const QDir folder(QStringLiteral(KESTRO_SOURCE_DIR "/tests/fuzz/") + target.Name);
    for (const QString& name : folder.entryList(QDir::Files, QDir::Name)) {
      SCOPED_TRACE(qPrintable(QString("%1/%2").arg(target.Name, name)));
      QFile file(folder.filePath(name));
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      const QByteArray input = file.readAll();
      EXPECT_EQ(target.Run(reinterpret_cast<const std::uint8_t*>(input.constData()), std::size_t(input.size())), 0);
      ++replayed;
    }
  }
  RecordProperty("replayed", replayed);
}

}  // namespace
