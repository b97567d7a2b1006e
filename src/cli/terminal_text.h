#pragma once
// What the command line prints for people. Names come from anywhere (a
// disc, a folder someone else filled): control characters (C0, C1, DEL) are
// shown escaped, so a name cannot move the cursor, recolour the terminal,
// set its title or forge a line. JSON output is not passed through here.

#include <QString>

namespace tessaline::cli {

QString printable(const QString& text);
// "tessaline-cli: MESSAGE" on standard error.
void printError(const QString& message);

}  // namespace tessaline::cli
