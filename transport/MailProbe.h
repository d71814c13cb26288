// The check at start-up that the mail component can be used at all: the mail
// library can make POP3, IMAP4 and SMTP services with TLS. Nothing connects
// and nothing is sent; neither call throws, and both are safe from any thread.
#pragma once

#include <QString>
#include <QStringList>

// Creates a POP3, an IMAP4 and an SMTP service with TLS (without connecting)
// and drops them. True when all three could be made; otherwise error tells which.
bool MailComponentAvailable(QString* error = nullptr);

// The start-up probe: when the mail component cannot be made, the component
// libraries of the program's "Lib" folder are registered, each with
// RegisterServer. Returns the messages of registrations that failed
// ("Unable to register <path>"); the start goes on in any case.
QStringList ProbeMailComponent(const QString& programFolder);
