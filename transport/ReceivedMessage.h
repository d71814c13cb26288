// A received message stored whole in a file, taken apart without loading its
// large bodies into memory (they are read from the file when saved). The constructor throws the mail library's
// exception when the file cannot be read (the mail objects turn it into a
// result code); the readers give empty text for what cannot be decoded.
#pragma once

#include <QByteArray>
#include <QString>
#include <climits>
#include <memory>
#include <vector>

namespace vmime {
class bodyPart;
class message;
namespace utility {
class inputStream;
class seekableInputStream;
}
}  // namespace vmime

namespace mail {

// A mail file's MIME structure, read line by line with a stack of
// boundaries: the mail with every body larger than maxBody replaced by
// Marker + its index in Bodies (their places in the file), prologs and
// epilogs left out; and why the mail is beyond the limits (parts nested
// deeper than maxDepth, or more than maxParts parts), if it is — checked
// before the mail library parses it, since its parser recurses once per level.
struct MimeSkeleton {
  struct Region {
    qint64 Begin = 0, Length = 0;
  };
  QByteArray Text;
  QByteArray Marker;
  std::vector<Region> Bodies;
  QString OverLimits;
};
MimeSkeleton ScanMime(const QString& file, qint64 maxBody, int maxDepth = INT_MAX, int maxParts = INT_MAX);

class ReceivedMessage {
public:
  // Parses the file (which must stay until this object is gone).
  explicit ReceivedMessage(const QString& file);
  // The same with the file's skeleton already scanned (ScanMime with kMaxMarkedBody).
  ReceivedMessage(const QString& file, const MimeSkeleton& skeleton);
  // Bodies larger than this are read from the file when needed, not parsed.
  static constexpr qint64 kMaxMarkedBody = 64 * 1024;
  QString Subject() const;
  QString FromAddr() const;
  QString MessageId() const;
  // The first text part (plain preferred), converted to UTF-8.
  QString BodyText() const;
  int AttachmentCount() const { return int(FAttachments.size()); }
  // The file name the sender gave (empty when none).
  QString AttachmentFileName(int index) const;
  // Writes the decoded attachment to path, complete on the disk before it
  // gets its name: mrOk, mrNoSuchMessage for an index outside the list,
  // mrDiskFull or mrFileError (and no file is left behind).
  int SaveAttachment(int index, const QString& path) const;

private:
  void Walk(const std::shared_ptr<vmime::bodyPart>& part, const MimeSkeleton& skeleton,
            const std::shared_ptr<vmime::utility::seekableInputStream>& file);
  std::shared_ptr<vmime::utility::inputStream> FStream;
  std::shared_ptr<vmime::message> FMessage;
  std::vector<std::shared_ptr<const vmime::bodyPart>> FAttachments;
  std::shared_ptr<const vmime::bodyPart> FPlain, FHtml;
};

// The code of a failed local write into folder with this errno: mrDiskFull
// when the disk (or the quota) is full, else mrFileError.
int LocalWriteFailure(int error, const QString& folder);

}  // namespace mail
