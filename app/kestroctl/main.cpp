// kestroctl: Kestro's command-line tool for support people and scripts.
#include <QCoreApplication>
#include <QTextStream>
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "kestroctl/Command.h"

std::vector<CtlCommand>& CtlRegistry::All() {
  static std::vector<CtlCommand> commands;
  return commands;
}

bool CtlRegistry::Add(const CtlCommand& command) {
  All().push_back(command);
  return true;
}

void CtlPrint(const QString& text) {
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, bytes.size(), stdout);
}

void CtlExpectArgs(const QStringList& args, int min, int max) {
  if (args.size() < min) throw CtlUsageError("too few arguments");
  if (max >= 0 && args.size() > max) throw CtlUsageError("too many arguments");
}

namespace {

void PrintUsage(FILE* to) {
  QString text = QStringLiteral("Usage: kestroctl COMMAND [ARGUMENTS]\n\nCommands:\n");
  for (const CtlCommand& c : CtlRegistry::All())
    text += QStringLiteral("  %1 %2\n      %3\n").arg(QString::fromUtf8(c.Name), QString::fromUtf8(c.Usage),
                                                    QString::fromUtf8(c.Help));
  const QByteArray bytes = text.toUtf8();
  std::fwrite(bytes.constData(), 1, bytes.size(), to);
}

void PrintError(const QString& text) {
  const QByteArray bytes = (QStringLiteral("kestroctl: ") + text + '\n').toUtf8();
  std::fwrite(bytes.constData(), 1, bytes.size(), stderr);
}

// The command whose name (one or two words) starts the arguments; the longest match wins.
const CtlCommand* FindCommand(const QStringList& args, int* words) {
  const CtlCommand* best = nullptr;
  for (const CtlCommand& c : CtlRegistry::All()) {
    const QStringList name = QString::fromUtf8(c.Name).split(' ');
    if (name.size() > args.size() || (best && name.size() <= *words)) continue;
    if (args.mid(0, name.size()) == name) {
      best = &c;
      *words = name.size();
    }
  }
  return best;
}

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  std::sort(CtlRegistry::All().begin(), CtlRegistry::All().end(),
            [](const CtlCommand& a, const CtlCommand& b) { return std::strcmp(a.Name, b.Name) < 0; });
  const QStringList args = app.arguments().mid(1);
  if (args.isEmpty() || args[0] == "-h" || args[0] == "--help" || args[0] == "help") {
    PrintUsage(args.isEmpty() ? stderr : stdout);
    return args.isEmpty() ? 2 : 0;
  }
  int words = 0;
  const CtlCommand* command = FindCommand(args, &words);
  if (!command) {
    PrintError(QStringLiteral("unknown command '%1'; 'kestroctl --help' lists the commands").arg(args[0]));
    return 2;
  }
  try {
    return command->Run(args.mid(words));
  } catch (const CtlUsageError& e) {
    PrintError(QString::fromUtf8(e.what()));
    PrintError(QStringLiteral("usage: kestroctl %1 %2").arg(QString::fromUtf8(command->Name),
                                                             QString::fromUtf8(command->Usage)));
    return 2;
  } catch (const CtlError& e) {
    PrintError(QString::fromUtf8(e.what()));
    return e.Code;
  } catch (const std::exception& e) {
    PrintError(QString::fromUtf8(e.what()));
    return 1;
  }
}
