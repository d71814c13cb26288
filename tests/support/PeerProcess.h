// Kestro peers on the test mail stack as processes: a configuration folder per
// user with installation settings of its own, kestroctl runs against it, and
// "kestroctl run" as a headless Kestro of its own.
#pragma once

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>

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
// input goes to its standard input (closed after it).
CtlResult Ctl(const PeerDir& peer, const QStringList& args, int timeoutMs = 300000, const QByteArray& input = {});
// The same, failing the test when it does not exit 0.
void CtlOk(const PeerDir& peer, const QStringList& args, const QByteArray& input = {});

// "kestroctl run" on the peer's configuration, as a process of its own.
class RunningPeer {
public:
  // Starts it and waits until it reports that it is online (or ends).
  explicit RunningPeer(const PeerDir& peer);
  ~RunningPeer();
  bool Online() const { return FOnline; }
  // SIGTERM, then the exit code (-1 when it did not end in time).
  int Stop();
  // The "serving" lines so far: number TAB state TAB progress TAB info.
  QStringList Serving();
  // Waits until a serving line with this state (and number, when given) appears.
  bool WaitServing(const QString& state, int count = 1, int timeoutMs = 120000);

private:
  QProcess FProcess;
  QByteArray FOut;
  bool FOnline = false;
};
