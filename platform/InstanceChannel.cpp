#include "platform/InstanceChannel.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalServer>
#include <QLocalSocket>
#include <QThread>
#include <QTimer>
#include <algorithm>

#include "platform/NamedSemaphore.h"

namespace {
const QByteArray kShow = "show\n";
const QByteArray kShown = "shown\n";
// The longest a request line may be: anything longer is not ours.
constexpr qint64 kMaxLine = 64;
// How long the running program waits for a request line on a connection.
constexpr int kRequestMs = 5000;
}  // namespace

InstanceChannel::InstanceChannel(QObject* parent) : QObject(parent) {}

InstanceChannel::~InstanceChannel() {
  if (FServer) FServer->close();  // removes the socket file
}

QString InstanceChannel::SocketPath(const QString& confFolder) {
  const QString canonical = QFileInfo(confFolder).canonicalFilePath();
  const QString path = canonical.isEmpty() ? QDir::cleanPath(QDir(confFolder).absolutePath()) : canonical;
  const QByteArray digest = QCryptographicHash::hash(path.toUtf8(), QCryptographicHash::Sha256).toHex().left(16);
  return NamedSemaphore::Folder() + QStringLiteral("/instance-") + QString::fromLatin1(digest);
}

bool InstanceChannel::Listen(const QString& confFolder) {
  if (Listening()) return true;
  // The socket lives beside the cross-process slots, in a folder that must be
  // this user's own (another user could otherwise answer for us).
  if (!NamedSemaphore::PrepareFolder(NamedSemaphore::Folder())) return false;
  const QString path = SocketPath(confFolder);
  // The lock is ours, so whoever made a socket here has ended without removing it.
  QLocalServer::removeServer(path);
  auto* server = new QLocalServer(this);
  server->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server->listen(path)) {
    delete server;
    return false;
  }
  FServer = server;
  connect(FServer, &QLocalServer::newConnection, this, &InstanceChannel::Accept);
  return true;
}

bool InstanceChannel::Listening() const { return FServer && FServer->isListening(); }

void InstanceChannel::Accept() {
  while (QLocalSocket* socket = FServer->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        if (socket->bytesAvailable() > kMaxLine) socket->abort();
        return;
      }
      const QByteArray line = socket->readLine(kMaxLine + 1);
      if (line != kShow) {
        socket->abort();
        return;
      }
      socket->write(kShown);
      socket->disconnectFromServer();
      emit ShowRequested();
    });
    // A peer that never says what it wants is let go.
    QTimer::singleShot(kRequestMs, socket, [socket] { socket->abort(); });
  }
}

bool InstanceChannel::AskToShow(const QString& confFolder, int timeoutMs) {
  const QString path = SocketPath(confFolder);
  const QDeadlineTimer deadline(timeoutMs);
  for (;;) {
    QLocalSocket socket;
    socket.connectToServer(path);
    if (socket.waitForConnected(int(std::max<qint64>(1, deadline.remainingTime())))) {
      socket.write(kShow);
      if (!socket.waitForBytesWritten(int(std::max<qint64>(1, deadline.remainingTime())))) return false;
      QByteArray answer;
      while (!answer.contains('\n') && socket.waitForReadyRead(int(std::max<qint64>(1, deadline.remainingTime()))))
        answer += socket.readAll();
      return answer == kShown;
    }
    // Not listening yet: the running program is still starting.
    if (deadline.hasExpired()) return false;
    QThread::msleep(50);
  }
}
