// What the exchange needs of an SMTP sender, so that its decisions can run
// against a recording sender in tests. TMailSMTP is the real one.
//
// Per mail: Clear, AddRecipient, SetSubject, SetBodyText, AddAttachment, Send;
// each operation that can fail returns a MailResult (mrOk on success). A
// mail larger than the server takes is refused with mrTooLarge.
#pragma once

#include <QString>
#include <QtGlobal>

class MailSender {
public:
  virtual ~MailSender() = default;

  virtual void Clear() = 0;
  // One address, without line breaks; mrBadAddress otherwise (nothing is added).
  virtual int AddRecipient(const QString& address) = 0;
  virtual void SetSubject(const QString& subject) = 0;
  virtual void SetBodyText(const QString& body) = 0;
  // The file goes out under its own name; mrFileError when it cannot be read.
  virtual int AddAttachment(const QString& path) = 0;
  // mrOk only when the server accepted the message.
  virtual int Send() = 0;
  // The largest mail in bytes that the server takes, as its EHLO answer
  // announces it (SIZE); 0 when it announces none or cannot be asked.
  virtual qint64 SizeLimit() { return 0; }
};
