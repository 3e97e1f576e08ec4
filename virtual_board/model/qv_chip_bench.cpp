// Cost of the QV01 chip model in real time: configures channel 0 like the
// project's receiver configuration (decimation 324), tunes it into the
// default scene, and measures the CPU time the stream thread needs per second
// of output. Prints every run and the median.
//
//   qv-chip-bench [seconds-per-run] [runs] [tune-MHz]
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qv01_chip.h"
#include "reference_chain.h"

namespace {

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    const double tune_mhz = argc > 3 ? std::atof(argv[3]) : 103.5;
    std::string err;
    auto chip = qv01model::make_qv01_chip(qv01model::ChipModelOptions{}, &err);
    if (!chip) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    const double clock = 66.0e6;
    qv01model::ReferenceChain chain;
    for (int ch = 0; ch < 4; ++ch)
        qv01model::program_channel(*chip, ch, chain, qv01model::nco_word_for(tune_mhz * 1e6, clock));
    qv01model::start_receiver(*chip);
    const double rate = chip->output_rate_hz(0);
    std::printf("output rate %.1f Hz, tuned to %.3f MHz, %g s per run\n", rate, tune_mhz, seconds);
    // The board's stream pacer asks for 512 frames (one 2048-byte transfer) at a time.
    const size_t chunk = 512;
    std::vector<int16_t> buf(2 * chunk);
    std::vector<double> cost;
    for (int r = 0; r < runs; ++r) {
        const size_t total = size_t(seconds * rate);
        const double t0 = thread_cpu_s();
        for (size_t done = 0; done < total; done += chunk) chip->generate(0, buf.data(), chunk);
        const double used = thread_cpu_s() - t0;
        cost.push_back(used / (double(total) / rate));
        std::printf("run %d: %.1f ms CPU per second of output (%.1f %% of one core)\n", r + 1, 1e3 * cost.back(),
                    100.0 * cost.back());
    }
    std::sort(cost.begin(), cost.end());
    const double med = cost[cost.size() / 2];
    std::printf("median: %.1f ms CPU per second of output (%.1f %% of one core)\n", 1e3 * med, 100.0 * med);
    return 0;
}
