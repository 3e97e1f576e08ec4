// Cost of the QV01 chip model in real time: configures channel 0, tunes it
// into a scene (the default one, or a scene file), and measures the CPU time
// the stream thread needs per second of output. Prints every run, the median
// and the scene reader's estimate of the same cost.
//
//   qv-chip-bench [--scene FILE] [--chain reference|fm] [seconds-per-run] [runs] [tune-MHz]
//
// --chain reference (default): the reference chain, decimation 3*27*2*2
// (CICN output 814.8 kHz at 66 MHz); fm: the layout of config/FM_radio.ini,
// 4*9*3*3 (CICN output 1.833 MHz), the one the scene estimate assumes.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
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

// The CIC and DFIR layout of config/FM_radio.ini (its coefficients are not
// needed for the cost).
qv01model::ReferenceChain fm_radio_chain() {
    qv01model::ReferenceChain c;
    c.cic2_ratio = 4;
    c.cic2_scale = 9;
    c.cicn_ratio = 9;
    c.cicn_mode = 2;
    c.cicn_scale = 0;
    c.scl_mx = false;
    c.fir1_order = 16;
    c.fir1_ratio = 3;
    c.fir2_order = 62;
    c.fir2_ratio = 3;
    c.fir2_scale = 5;
    return c;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> pos;
    qv01model::ChipModelOptions options;
    qv01model::ReferenceChain chain;
    for (int k = 1; k < argc; ++k) {
        if (std::strcmp(argv[k], "--scene") == 0 && k + 1 < argc) {
            options.scene_path = argv[++k];
        } else if (std::strcmp(argv[k], "--chain") == 0 && k + 1 < argc) {
            const std::string c = argv[++k];
            if (c == "fm") {
                chain = fm_radio_chain();
            } else if (c != "reference") {
                std::fprintf(stderr, "qv-chip-bench: --chain takes reference or fm\n");
                return 2;
            }
        } else {
            pos.push_back(argv[k]);
        }
    }
    const double seconds = pos.size() > 0 ? std::atof(pos[0]) : 5.0;
    const int runs = std::max(1, pos.size() > 1 ? std::atoi(pos[1]) : 5);
    const double tune_mhz = pos.size() > 2 ? std::atof(pos[2]) : 103.5;
    std::string err;
    qv01model::RfScene scene = qv01model::default_scene();
    if (!options.scene_path.empty() && qv01model::load_scene(options.scene_path, scene, err) != 0) {
        std::fprintf(stderr, "%s\n", err.c_str());
        return 1;
    }
    // Built directly: a scene the reader would refuse as too costly is
    // measured all the same.
    auto chip = std::make_unique<qv01model::Qv01Chip>(std::make_shared<qv01model::RfScene>(scene),
                                                      options.clock_hz, options.ppm);
    const double clock = options.clock_hz;
    for (int ch = 0; ch < 4; ++ch)
        qv01model::program_channel(*chip, ch, chain,
                                   qv01model::nco_word_for(tune_mhz * 1e6, clock));
    qv01model::start_receiver(*chip);
    const double rate = chip->output_rate_hz(0);
    const double cicn_rate = clock / (chain.cic2_ratio * chain.cicn_ratio);
    std::printf("output rate %.1f Hz, CICN output %.1f kHz, tuned to %.3f MHz, %g s per run\n",
                rate, cicn_rate / 1e3, tune_mhz, seconds);
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
        std::printf("run %d: %.1f ms CPU per second of output (%.1f %% of one core)\n", r + 1,
                    1e3 * cost.back(), 100.0 * cost.back());
    }
    std::sort(cost.begin(), cost.end());
    const double med = cost[cost.size() / 2];
    std::printf("median: %.1f ms CPU per second of output (%.1f %% of one core)\n", 1e3 * med,
                100.0 * med);
    // The scene reader's estimate assumes the fm chain's CIC decimation.
    std::printf("scene estimate: %.1f %% of one core (for --chain fm)\n",
                100.0 * qv01model::scene_cpu_share(scene, clock));
    return 0;
}
