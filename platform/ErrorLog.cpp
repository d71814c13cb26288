#include "platform/ErrorLog.h"

#include <exception>
#include <stdexcept>

Q_LOGGING_CATEGORY(lcKestro, "kestro")

void LogDropped(const char* where) {
  const char* what = "unknown error";
  std::string text;
  try {
    throw;
  } catch (const std::exception& e) {
    text = e.what();
    what = text.c_str();
  } catch (...) {
  }
  qCWarning(lcKestro, "%s: %s (dropped)", where, what);
}
