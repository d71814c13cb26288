// How a second start reaches the Kestro that runs on the same configuration
// folder: a local socket per folder, in the user's runtime folder, named after
// a hash of the folder's canonical path. The running program listens; a second
// start asks it to show its window and ends.
//
// The folder's InstanceLock decides who runs: only its holder listens, so a
// socket file found by the holder was left by a program that was killed, and
// is replaced.
#pragma once

#include <QObject>
#include <QString>

class QLocalServer;

class InstanceChannel : public QObject {
  Q_OBJECT
public:
  explicit InstanceChannel(QObject* parent = nullptr);
  ~InstanceChannel() override;

  // The socket of a configuration folder: NamedSemaphore::Folder() +
  // "/instance-" + 16 hex digits of the SHA-256 of its canonical path.
  static QString SocketPath(const QString& confFolder);

  // Listens on the folder's socket (only the user may connect). Call it while
  // holding the folder's InstanceLock. False when the socket cannot be made.
  bool Listen(const QString& confFolder);
  bool Listening() const;

  // Asks the program that listens on the folder's socket to show its window,
  // and waits for its answer. A program that holds the lock but does not
  // listen yet (still starting) is given until timeoutMs. True once the
  // running program has confirmed.
  static bool AskToShow(const QString& confFolder, int timeoutMs);

signals:
  // A second start asked for the window.
  void ShowRequested();

private:
  void Accept();
  QLocalServer* FServer = nullptr;
};
