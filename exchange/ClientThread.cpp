#include "exchange/ClientThread.h"

#include <algorithm>
#include <array>

#include "core/Jobs.h"
#include "message/PeerMessage.h"
#include "platform/ErrorLog.h"
#include "platform/NamedSemaphore.h"
#include "transport/MailResult.h"
#include "transport/MailSender.h"

using namespace peer;

namespace {
constexpr int kPauseAfterRequestMs = 1000;

// Results of Send that a requester counts as sent besides mrOk: codes of
// the mail component for a message that went out although Send reported
// something. No failure of our mail layer uses them (transport/MailResult.h),
// so the request counts as sent and its answer is awaited.
constexpr std::array<int, 3> kResultsCountedAsSent{6, 16, 27};

bool CountsAsSent(int result) {
  return result == mrOk || std::ranges::find(kResultsCountedAsSent, result) != kResultsCountedAsSent.end();
}
}  // namespace

TClassClient::TClassClient(ExchangeHost* host, QObject* context) : TClassWorker(host, context) {}
TClassClient::~TClassClient() = default;

void TClassClientSMTP::run() {
  NamedSemaphore slot(QString::fromLatin1(kClientSemaphore), 1);
  if (!slot.Acquire(-1, &FCancel)) {
    // The slots cannot be used: the row says why. Otherwise this is the exit.
    if (const QString why = slot.Refusal(); !why.isEmpty()) {
      const QString jobId = FJobId, status = kErrorPrefix + why;
      OnMain([=](ExchangeHost& host) { host.UpdateJobRow(jobId, jsError, status, false, 25); });
    }
    return;
  }
  try {
    SendRequest();
  } catch (...) {
    LogDropped("requesting thread");  // the row reports the failure preset by SendRequest
  }
  const QString jobId = FJobId, status = FStatusText;
  const qint32 state = FState;
  const bool additive = FAdditiveProgress;
  const double progress = FProgress;
  OnMain([=](ExchangeHost& host) { host.UpdateJobRow(jobId, state, status, additive, progress); });
  slot.Release();
}

void TClassClientSMTP::SendRequest() {
  FAdditiveProgress = false;
  FState = jsError;
  FProgress = 25;
  FStatusText = kErrorPrefix + kMsgSendFailed;
  FKeyText = PeerKeyText(FLocalAddress, FKeySuffix);
  auto mail = NewMailSender();
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
  if (OnMain([stop](ExchangeHost& host) { *stop = host.StopJobId(); })) FStopJobIdCopy = *stop;
  if (!FStopJobIdCopy.isEmpty() && FJobId <= FStopJobIdCopy) FState = jsStopped;
  if (FState != jsStopped && CountsAsSent(result)) {
    FProgress = 50;
    FState = jsActive;
    FStatusText = QStringLiteral("Waiting for the answer from %1.").arg(FRemoteAddress);
  }
}
