#include "cli/commands.h"

namespace tessaline::cli {

int runWriterCommand(const QStringList&) { return 2; }

}  // namespace tessaline::cli
