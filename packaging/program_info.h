// What every installed program answers on its command line: --version (the
// version from the top CMakeLists.txt, and the git description when built
// from a checkout) and, for the Qt programs, which arguments are Qt's own.
//
// Threads: main thread, before anything else runs.
#pragma once

namespace qv {

// "0.1", or "0.1 (git 47fa35b-dirty)" when built from a git checkout.
const char* version_text();

// Prints "PROGRAM VERSION_TEXT\n" on standard output.
void print_version(const char* program);

// Arguments of a Qt program (qv01_fm, tunerdesk), which take no options of
// their own and hand the argument vector to QApplication. Checked before the
// application object exists, so that --help, --version and a wrong option
// need no display:
//   --help, -h      prints `usage` and `help` on standard output: returns 0
//   --version       prints the version line: returns 0
//   Qt's own options (-platform NAME, -style=NAME, -reverse, ..., also with
//   two dashes) pass unchanged
//   anything else   prints "PROGRAM: unknown option ARG" (or "unexpected
//                   argument") and `usage` on standard error: returns 2
// Returns -1 when the program should go on and start.
int check_qt_program_arguments(int argc, char** argv, const char* program, const char* usage,
                               const char* help);

}  // namespace qv
