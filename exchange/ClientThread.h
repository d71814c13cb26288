// The requesting thread: sends one "$_" request mail and reports the send to
// the request's job row. The answer comes back through the pollers.
#pragma once

#include <QString>

#include "exchange/Worker.h"
#include "message/MessageCipher.h"

class TClassClient : public TClassWorker {
  Q_OBJECT
public:
  TClassClient(ExchangeHost* host, QObject* context);
  ~TClassClient() override;

  void SetCommand(const QString& v) { FCommand = v; }
  void SetRemoteAddress(const QString& v) { FRemoteAddress = v; }
  void SetJobId(const QString& v) { FJobId = v; }
  void SetKeySuffix(const QString& v) { FKeySuffix = v; }
  void SetSubjectHead(const QString& v) { FSubjectHead = v; }
  void SetFileList(const QString& v) { FFileList = v; }
  void SetLocalAddress(const QString& v) { FLocalAddress = v; }

  QString JobId() const { return FJobId; }

protected:
  QString FCommand;
  bool FAdditiveProgress = false;
  QString FStopJobIdCopy;
  QString FRemoteAddress;
  QString FStatusText;
  QString FKeyText;
  QString FJobId;
  QString FKeySuffix;
  int FProgress = 25;
  qint32 FState = 0;
  QString FSubjectHead;
  QString FFileList;
  QString FLocalAddress;
  MessageCipher FCipher;  // this thread's own
};

class TClassClientSMTP : public TClassClient {
  Q_OBJECT
public:
  using TClassClient::TClassClient;

  // Sends the request mail; State, Progress and StatusText tell the outcome.
  void SendRequest();

protected:
  void run() override;
};
