// Registration of a component library with the system. Nothing needs
// registering on Linux; the call stays so that the start-up probe keeps its
// steps: a library that carries a registration entry point has it run.
#pragma once

#include <QString>

// Loads a component library and runs its registration entry point
// ("DllRegisterServer") silently, then unloads it. A library that does not
// load is skipped (true). On an error, errorText gets "Unable to register
// <path>" and the result is false.
bool RegisterServer(const QString& path, QString* errorText = nullptr);
