#include "exchange/Engine.h"

#include <QDeadlineTimer>
#include <exception>

#include "exchange/Exchange.h"
#include "exchange/OnlineCycle.h"
#include "main/ClassMain.h"
#include "platform/Closing.h"
#include "platform/Settings.h"

Engine::Engine(const std::optional<QString>& confFolder, bool applyAutostart, QObject* parent) : QObject(parent) {
  SetPaceFactor(InstallSettings::Current().Pace);
  SetClosing(false);
  FMain = std::make_unique<TClassMain>(nullptr, confFolder, applyAutostart);
  // Shutdown saves; the application object does not save again when freed.
  FMain->SetSaveOnDestroy(false);
  FMain->CleanTempFolders();
  FExchange = std::make_unique<TExchange>(*FMain, FRows);  // publishes the shares
  FCycle = std::make_unique<TOnlineCycle>(*FMain, FRows);
  FCycle->SetHandOver(FExchange->HandOver());
  FExchange->SetOnlineCheck([this] { return FCycle->Online(); });
  FExchange->RestoreRequests();  // the user's requests go on where they were
}

Engine::~Engine() {
  if (!FShutDown) Shutdown(kExitLimit);
  // The cycle's pollers hand over to the exchange: they go first, then the
  // workers, each waited for by its owner.
  FCycle.reset();
  FExchange.reset();
}

bool Engine::Shutdown(std::chrono::milliseconds limit) {
  if (FShutDown) return FAllEnded;
  FShutDown = true;
  const QDeadlineTimer deadline(limit);
  FCycle->GoOffline();
  SetClosing(true);  // every wait of every thread ends
  FExchange->CancelWorkers();
  FCycle->CancelPollers();
  const bool workersEnded = FExchange->WaitWorkers(deadline);
  const bool pollersEnded = FCycle->WaitPollers(deadline);
  FAllEnded = workersEnded && pollersEnded;
  try {
    FMain->Save();
  } catch (const std::exception& e) {
    qWarning("%s", e.what());
  }
  return FAllEnded;
}
