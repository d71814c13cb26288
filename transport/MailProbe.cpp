#include "transport/MailProbe.h"

#include <QDir>
#include <vmime/vmime.hpp>

#include "platform/ComponentLibrary.h"
#include "transport/MailSession.h"

bool MailComponentAvailable(QString* error) {
  try {
    mail::InitMailLibrary();
    auto session = vmime::net::session::create();
    session->getStore(vmime::utility::url("pop3s://localhost"));
    session->getStore(vmime::utility::url("imaps://localhost"));
    session->getTransport(vmime::utility::url("smtps://localhost"));
    return true;
  } catch (const std::exception& e) {
    if (error) *error = QString::fromUtf8(e.what());
    return false;
  }
}

QStringList ProbeMailComponent(const QString& programFolder) {
  QStringList failures;
  if (MailComponentAvailable()) return failures;
  const QDir lib(programFolder + QStringLiteral("/Lib"));
  for (const QString& name : lib.entryList({QStringLiteral("*.so"), QStringLiteral("*.so.*")}, QDir::Files, QDir::Name)) {
    QString message;
    if (!RegisterServer(lib.filePath(name), &message)) failures << message;
  }
  return failures;
}
