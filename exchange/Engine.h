// A running Kestro without its window: the application object of a
// configuration folder, the job rows, the exchange and the online cycle,
// wired together, with the start-up and the exit of the program. The window,
// "kestroctl run" and the tests start and stop Kestro through it.
//
// The engine owns every thread of the program: the exchange owns its worker
// threads and the online cycle its mailbox pollers; Shutdown cancels all of
// them and waits until a deadline. Nothing a running thread uses is freed:
// the destructor waits for every thread without limit. An owner that cannot
// wait (the program at exit) ends the process with _exit after a Shutdown
// that reported threads still running.
#pragma once

#include <QObject>
#include <QString>
#include <chrono>
#include <memory>
#include <optional>

#include "core/JobRows.h"

class TClassMain;
class TExchange;
class TOnlineCycle;

class Engine : public QObject {
  Q_OBJECT
public:
  // The start-up: the pacing factor of the installation settings, the exit
  // flag down, the application object on confFolder (or the installation's
  // CONF folder), the temporary folders emptied, the shares published to the
  // serving threads, the hand-over of the pollers and the online check of
  // the exchange wired, and the user's requests that were running at the last
  // exit restored (their collection folders survive the emptying). applyAutostart: see TClassMain (off for a
  // configuration run from outside the program). A damaged configuration
  // raises EConfigFileError and no engine is left.
  explicit Engine(const std::optional<QString>& confFolder = std::nullopt, bool applyAutostart = true,
                  QObject* parent = nullptr);
  // Shuts down when Shutdown has not run, then waits for every thread that
  // is still running, without limit.
  ~Engine() override;

  TClassMain& Main() { return *FMain; }
  JobRowModel& Rows() { return FRows; }
  TExchange& Exchange() { return *FExchange; }
  TOnlineCycle& Cycle() { return *FCycle; }

  // The exit: goes offline, raises the exit flag, cancels every worker and
  // every poller, waits for them until limit has passed, and saves the
  // configuration (a failed save is logged). True when every thread ended.
  // Runs once; a second call returns the first result.
  bool Shutdown(std::chrono::milliseconds limit);
  bool IsShutDown() const { return FShutDown; }

  // How long the destructor lets an exit that was not asked for take before
  // it waits without limit.
  static constexpr std::chrono::milliseconds kExitLimit{5000};

private:
  // Declared in the order of use: freed in reverse, the users first.
  std::unique_ptr<TClassMain> FMain;
  JobRowModel FRows;
  std::unique_ptr<TExchange> FExchange;
  std::unique_ptr<TOnlineCycle> FCycle;
  bool FShutDown = false;
  bool FAllEnded = false;
};
