// The trace of an error that is handled by leaving it behind: every
// catch (...) that goes on without the error says what it dropped, here.
//
//   } catch (...) {
//     LogDropped("mailbox pass");  // the next tick tries again
//   }
//
// The line goes to Qt's message handler (standard error, or the journal for a
// desktop session) under the logging category "kestro".
#pragma once

#include <QLoggingCategory>

Q_DECLARE_LOGGING_CATEGORY(lcKestro)

// Logs "where: what" for the exception being handled (call only inside a
// catch block); an exception that is no std::exception logs "unknown error".
void LogDropped(const char* where);
