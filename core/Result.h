// The result of an operation above the mail sessions: the value, or the text
// of what went wrong, ready to be shown to the user.
//
//   Result<QStringList> r = Build(...);
//   if (!r) return Failure(r.error());
//
// (The mail sessions answer with MailResult codes, transport/MailResult.h.)
#pragma once

#include <QString>
#include <expected>
#include <utility>

template <class T = void>
using Result = std::expected<T, QString>;

// The failed result with this text.
inline std::unexpected<QString> Failure(QString text) { return std::unexpected<QString>(std::move(text)); }
