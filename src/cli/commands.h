#pragma once
// The subcommands of tessaline-cli. Each takes the arguments after its own
// name and answers the process's exit status.

#include <QStringList>

namespace tessaline::cli {

int runWriterCommand(const QStringList& args);  // writer create|remove|list|insert|append|info|eject|tray

}  // namespace tessaline::cli
