// qv-radio: command-line FM receiver on the QV01 evaluation board (or the
// virtual board). See --help and radio_app.h.
#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "radio_app.h"

namespace {

std::atomic<bool> g_stop{false};

void on_signal(int) { g_stop.store(true); }

}  // namespace

int main(int argc, char* argv[]) {
    // Ctrl-C and SIGTERM end the run in order; a second one ends the process.
    struct sigaction sa = {};
    sa.sa_handler = on_signal;
    sa.sa_flags = SA_RESETHAND;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    // A pipe whose reader went away is a write error (EPIPE), not death.
    signal(SIGPIPE, SIG_IGN);

    qvradio::AppIo io;
    io.err_is_terminal = isatty(STDERR_FILENO) == 1;
    io.stop = &g_stop;
    io.places = qvradio::this_process_places();
    return qvradio::radio_main(argc, argv, io);
}
