// Kestro peers on the test mail stack: a configuration folder per user with
// installation settings of its own, kestroctl runs against it, a headless
// Kestro running as a separate process, and one running in this process.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

#include "core/JobRows.h"
#include "exchange/Engine.h"

class TClassMain;
class TExchange;
class TOnlineCycle;

struct PeerDir {
  QString User;
  QString Root;  // every folder of the peer lies below
  QString Conf() const { return Root + "/conf"; }
  QString Settings() const { return Root + "/settings.ini"; }
  QString Log() const { return Root + "/log"; }
  QString In() const { return Root + "/in"; }
  QString Out() const { return Root + "/out"; }
  QString Runtime() const { return Root + "/run"; }
  QString Address() const { return User + "@example.test"; }
  QProcessEnvironment Env() const;

  // A fresh configuration of user on the stack below root/user, polling every
  // second, unpaced.
  static PeerDir Make(const QString& root, const QString& user, bool imap);
};

struct CtlResult {
  int Code = -1;
  QString Out, Err;
};
// Runs kestroctl with the peer's settings.
CtlResult Ctl(const PeerDir& peer, const QStringList& args, int timeoutMs = 180000);
// The same, failing the test when it does not exit 0.
void CtlOk(const PeerDir& peer, const QStringList& args);

// "kestroctl run" on the peer's configuration, as a process of its own.
class RunningPeer {
public:
  explicit RunningPeer(const PeerDir& peer);
  ~RunningPeer();
  bool Online() const { return FOnline; }
  // SIGTERM, then the exit code (-1 when it did not end in time).
  int Stop();
  // The "serving" lines so far: number TAB state TAB progress TAB info.
  QStringList Serving();
  // Waits until a serving line with this state (and number, when given) appears.
  bool WaitServing(const QString& state, int count = 1, int timeoutMs = 60000);

private:
  QProcess FProcess;
  QByteArray FOut;
  bool FOnline = false;
};

// Kestro in this process, as the window holds it: an engine on the peer's
// configuration. Freeing it shuts the engine down and waits for every thread.
class LocalPeer {
public:
  explicit LocalPeer(const PeerDir& peer, bool goOnline = true);
  ~LocalPeer();
  Engine& Kestro() { return *FEngine; }
  TClassMain& Main() { return FEngine->Main(); }
  JobRowModel& Rows() { return FEngine->Rows(); }
  TExchange& Exchange() { return FEngine->Exchange(); }
  TOnlineCycle& Cycle() { return FEngine->Cycle(); }
  // The row of a job, or nullptr.
  const JobRow* Row(const QString& jobId) const;

private:
  std::unique_ptr<Engine> FEngine;
};

// Processes events until cond holds or the time is up.
bool WaitUntil(const std::function<bool()>& cond, int timeoutMs = 60000);

QByteArray RandomBytes(int size, quint32 seed);
bool WriteFile(const QString& path, const QByteArray& bytes);
QByteArray ReadFile(const QString& path);

// A raw mail with one attachment (base64) and a plain body, as a peer sends it.
QByteArray RawAttachmentMail(const QString& from, const QString& subject, const QString& body,
                             const QString& fileName, const QByteArray& content);

// Saves the attachments of the user's mails into folder (decoded by Python's
// mail parser) and returns "subject TAB attachment name" lines.
QStringList SaveAttachments(const QString& user, const QString& folder);
// The subjects of the user's mails.
QStringList Subjects(const QString& user);
