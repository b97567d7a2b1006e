// tessaline-cli sessions and ls: a second look at what is on the disc.

#include "cli/cli_session.h"
#include "cli/commands.h"

namespace tessaline::cli {

int runSessionsCommand(const QStringList& args) {
  (void)args;
  printError(QStringLiteral("sessions: not available yet"));
  return 1;
}

int runLsCommand(const QStringList& args, const std::vector<std::string>& rawArgs) {
  (void)args;
  (void)rawArgs;
  printError(QStringLiteral("ls: not available yet"));
  return 1;
}

}  // namespace tessaline::cli
