// qv-radio as a function: the command line in, the exit status out, on the
// streams and stop flag it is given (main() passes the process's own; tests
// pass theirs and link the virtual board).
//
// Threads: the caller's thread runs everything (board commands, the signal
// path, the files); PulseOutput keeps a playback thread, the board its
// stream thread. `stop` may be set from a signal handler or another thread.
#pragma once

#include <atomic>
#include <cstdio>

#include "default_files.h"
#include "options.h"

namespace qvradio {

// Exit statuses.
constexpr int kExitOk = 0;       // done, also after Ctrl-C
constexpr int kExitFailure = 1;  // no board, a file, the board or the sound server gone
constexpr int kExitUsage = 2;    // bad arguments

struct AppIo {
    std::FILE* out = stdout;       // --help, --version, the scan's table
    std::FILE* err = stderr;       // the health line, warnings and errors
    int raw_fd = 1;                // -o -: raw PCM
    bool err_is_terminal = false;  // the health line rewrites itself, with a progress bar
    const std::atomic<bool>* stop = nullptr;  // Ctrl-C: end the run in order
    SearchPlaces places;
    double health_interval_s = 1.0;
};

// Parses the arguments and runs what they ask for. Errors are one line
// "qv-radio: ..." on `err`; bad arguments also print the usage.
int radio_main(int argc, const char* const* argv, const AppIo& io);

// Tunes and plays and/or records until the time limit or `stop`.
int run_radio(const Options& options, const AppIo& io);
// Steps across the range and prints the carriers found.
int run_scan(const Options& options, const AppIo& io);

}  // namespace qvradio
