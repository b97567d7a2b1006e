#pragma once
// The subcommands of tessaline-cli. Each takes what followed its own name
// (as text, and as the raw bytes the shell passed) with the global options,
// and answers the process's exit status.

#include <QCommandLineParser>
#include <QStringList>

#include <optional>
#include <string>
#include <vector>

namespace tessaline::cli {

// The exit statuses every command shares.
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

struct Invocation {
  QStringList args;
  std::vector<std::string> rawArgs;
  bool quiet = false;  // --quiet: no progress and no remarks, only results and errors
};

int runWriterCommand(const Invocation& call);  // writer create|remove|list|insert|append|info|eject|tray
int runWritersCommand(const Invocation& call);
int runStatusCommand(const Invocation& call);
int runMountCommand(const Invocation& call);
int runListCommand(const Invocation& call);
int runPreviewCommand(const Invocation& call);
int runBurnCommand(const Invocation& call);
int runEraseCommand(const Invocation& call);
int runConfigCommand(const Invocation& call);
int runVerifyCommand(const Invocation& call);
int runSessionsCommand(const Invocation& call);
int runLsCommand(const Invocation& call);

// The help of one command from the command table ("Usage: tessaline-cli
// COMMAND ..." and what it does); nullopt for a name that is no command.
std::optional<QString> commandHelp(const QString& command);

// A usage error: the message and a hint at the command's help, on standard
// error; answers kExitUsage.
int usageError(const QString& command, const QString& message);

// Parses a command's arguments with Qt's parser (main() has answered --help);
// answers an exit status when the command should end there.
// A command that takes no arguments refuses any.
std::optional<int> parseOrExit(QCommandLineParser& parser, const QString& command, const QStringList& args,
                               bool takesArguments = false);

}  // namespace tessaline::cli
