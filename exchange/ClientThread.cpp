#include "exchange/ClientThread.h"

#include "core/Jobs.h"
#include "exchange/Exchange.h"
#include "message/PeerMessage.h"
#include "platform/NamedSemaphore.h"
#include "transport/MailObjects.h"

using namespace peer;

namespace {
constexpr int kPauseAfterRequestMs = 1000;
}

TClassClient::TClassClient(TExchange* host) : TClassWorker(host) {}
TClassClient::~TClassClient() = default;

void TClassClientSMTP::run() {
  NamedSemaphore slot(QString::fromLatin1(kClientSemaphore), 1);
  if (!slot.Acquire(-1, &FCancel)) return;  // exit: the request is not sent
  try {
    SendRequest();
  } catch (...) {
    // the row reports the failure preset by SendRequest
  }
  const QString jobId = FJobId, status = FStatusText;
  const qint32 state = FState;
  const bool additive = FAdditiveProgress;
  const double progress = FProgress;
  auto* host = static_cast<TExchange*>(FHost);
  OnMain([=] { host->UpdateJobRow(jobId, state, status, additive, progress); });
  slot.Release();
}

void TClassClientSMTP::SendRequest() {
  FAdditiveProgress = false;
  FState = jsError;
  FProgress = 25;
  FStatusText = kErrorPrefix + kMsgSendFailed;
  FKeyText = PeerKeyText(FLocalAddress, FKeySuffix);
  auto mail = FSmtp.NewMailObject();
  mail->Clear();
  int result = mail->AddRecipient(FRemoteAddress);
  FCipher.SetKey(FKeyText, kMessageIv);
  mail->SetSubject(RequestSubject(FJobId, FCipher.EncryptText(FSubjectHead.mid(2))));
  FCipher.SetKey(FKeyText, kMessageIv);
  mail->SetBodyText(FCipher.EncryptText(FFileList));
  if (result == 0) result = mail->Send();
  mail.reset();
  Pause(kPauseAfterRequestMs);
  // The user may have stopped this request meanwhile.
  auto stop = std::make_shared<QString>();
  auto* host = static_cast<TExchange*>(FHost);
  if (OnMain([stop, host] { *stop = host->StopJobId(); })) FStopJobIdCopy = *stop;
  if (!FStopJobIdCopy.isEmpty() && FJobId <= FStopJobIdCopy) FState = jsStopped;
  // Results the mail component counts as sent.
  if (FState != jsStopped && (result == 0 || result == 6 || result == 16 || result == 27)) {
    FProgress = 50;
    FState = jsActive;
  }
}
