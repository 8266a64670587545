#pragma once

#include <QString>

namespace corvane {

// Answers --help and --version of a windowed program on standard output, before its
// application object exists, so that both work without a display. Returns true when it
// answered and the program should end; any other argument is left to Qt and the program.
bool answerHelpOrVersion(int argc, char *argv[], const QString &description);

} // namespace corvane
