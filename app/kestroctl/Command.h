// The subcommands of kestroctl. Each source file of this folder registers its
// commands with KESTROCTL_COMMAND; main() dispatches on the first argument.
#pragma once

#include <QStringList>
#include <stdexcept>
#include <vector>

// Wrong arguments: the message and the command's usage go to stderr, exit 2.
class CtlUsageError : public std::runtime_error {
public:
  using std::runtime_error::runtime_error;
};
// Failed work: the message goes to stderr, exit Code (1 unless a command says
// otherwise).
class CtlError : public std::runtime_error {
public:
  explicit CtlError(const std::string& what, int code = 1) : std::runtime_error(what), Code(code) {}
  int Code;
};

struct CtlCommand {
  const char* Name;   // "encrypt-text", or "volumes build" for a group
  const char* Usage;  // arguments, as shown in the usage text
  const char* Help;   // one line
  int (*Run)(const QStringList& args);  // args after the name; returns the exit code
};

struct CtlRegistry {
  static std::vector<CtlCommand>& All();
  static bool Add(const CtlCommand& command);
};

#define KESTROCTL_CAT2(a, b) a##b
#define KESTROCTL_CAT(a, b) KESTROCTL_CAT2(a, b)
#define KESTROCTL_COMMAND(name, usage, help, fn) \
  static const bool KESTROCTL_CAT(kestroctlReg, __LINE__) = CtlRegistry::Add({name, usage, help, fn})

// Prints text to stdout as UTF-8.
void CtlPrint(const QString& text);
// Checks the number of arguments; raises CtlUsageError otherwise.
void CtlExpectArgs(const QStringList& args, int min, int max = -1);
