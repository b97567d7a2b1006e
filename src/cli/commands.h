#pragma once
// The subcommands of tessaline-cli. Each takes the arguments after its own
// name (as text, and as the raw bytes the shell passed) and answers the
// process's exit status.

#include <QStringList>

#include <string>
#include <vector>

namespace tessaline::cli {

int runWriterCommand(const QStringList& args);  // writer create|remove|list|insert|append|info|eject|tray
int runWritersCommand(const QStringList& args);
int runStatusCommand(const QStringList& args);
int runMountCommand(const QStringList& args);
int runListCommand(const QStringList& args, const std::vector<std::string>& rawArgs);
int runPreviewCommand(const QStringList& args, const std::vector<std::string>& rawArgs);
int runBurnCommand(const QStringList& args, const std::vector<std::string>& rawArgs);
int runEraseCommand(const QStringList& args);
int runConfigCommand(const QStringList& args);
int runVerifyCommand(const QStringList& args, const std::vector<std::string>& rawArgs);
int runSessionsCommand(const QStringList& args);
int runLsCommand(const QStringList& args, const std::vector<std::string>& rawArgs);

}  // namespace tessaline::cli
