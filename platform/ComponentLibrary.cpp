#include "platform/ComponentLibrary.h"

#include <QFile>
#include <dlfcn.h>

bool RegisterServer(const QString& path, QString* errorText) {
  void* library = ::dlopen(QFile::encodeName(path).constData(), RTLD_NOW | RTLD_LOCAL);
  if (!library) return true;  // a library that does not load is skipped
  bool ok = true;
  using Entry = long (*)();
  if (auto entry = reinterpret_cast<Entry>(::dlsym(library, "DllRegisterServer"))) {
    if (entry() != 0) {
      ok = false;
      if (errorText) *errorText = QStringLiteral("Unable to register %1").arg(path);
    }
  }
  ::dlclose(library);
  return ok;
}
