// Cost of the QV01 chip model in real time, as the virtual board's stream
// thread pays it inside a program: configures the chip with a configuration
// file through the configuration agent (the programs' config/FM_radio.ini by
// default), tunes channel 0 into a scene (the default one, or a scene file),
// and measures the CPU time per second of output while asking for frames the
// way the board's producer does: it wakes every 1 to 10 ms (the producer's
// tick for the output rate) and asks for the frames due. Prints every round, the median (the figure
// to quote: % of one core in real time) and the scene reader's estimate of the same cost.
//
//   qv-chip-bench [--config FILE | --chain reference] [--scene FILE]
//                 [--kernels vector|plain|both] [--back-to-back | --tick MS]
//                 [seconds-per-round] [rounds] [tune-MHz]
//
// --config: a whole-chip configuration file; relative coefficient file names
// are taken from its folder. --chain reference: the model's reference chain
// instead (designed filters, decimation 3*27*2*2, CICN output 814.8 kHz at
// 66 MHz). --kernels both: the vector and the plain kernels in alternate
// rounds of one run, with both medians and their ratio. --back-to-back: the
// same calls without the sleeps, so the model's tables stay in
// the caches and no wake-up is paid (the model's cost alone, lower than in a
// program). --tick MS: a producer that wakes every MS milliseconds instead.
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "conf_agent.h"
#include "producer_tick.h"
#include "qv01_chip.h"
#include "qv01_regs.h"
#include "reference_chain.h"
#include "synth_kernels.h"

namespace {

double thread_cpu_s() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + 1e-9 * double(ts.tv_nsec);
}

// The configuration run of the programs, into the agent's register image
// (no board), then every register to the chip and the programs' start.
int configure(qv01model::Qv01Chip& chip, const std::string& path, double tune_hz, double clock_hz) {
    conf_agent_ agent(path);
    const size_t slash = path.find_last_of('/');
    agent.set_coefficient_directory(slash == std::string::npos ? "." : path.substr(0, slash));
    agent.set_progress_output(nullptr);
    agent.setup_sections();
    const ConfigureReport report = agent.report();
    if (!report.error.empty() || !report.missing_keys.empty() || !report.file_problems.empty()) {
        std::fprintf(stderr, "qv-chip-bench: %s\n",
                     report.error.empty() ? report.summary().c_str() : report.error.c_str());
        return -22;
    }
    for (const auto& [address, value] : agent.image()) chip.write_reg(address, uint16_t(value));
    const uint32_t word = qv01model::nco_word_for(tune_hz, clock_hz);
    chip.write_reg(qv01::reg_addr(0, qv01::kOffNcoLow), uint16_t(word & 0xFFFF));
    chip.write_reg(qv01::reg_addr(0, qv01::kOffNcoHigh), uint16_t(word >> 16));
    chip.write_reg(qv01::kRegFlagClear, 0xFFFF);
    for (uint16_t command :
         {qv01::kCmdReset, qv01::kCmdLoadCoef, qv01::kCmdNcoSync, qv01::kCmdStart})
        chip.write_reg(qv01::kRegControl, command);
    return 0;
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<const char*> pos;
    qv01model::ChipModelOptions options;
    std::string config = QV_CHIP_BENCH_CONFIG;
    bool reference = false;
    std::string kernels = "vector";
    bool paced = true;
    double tick_ms = 0.0;  // the producer's tick for the rate (producer_tick.h)
    for (int k = 1; k < argc; ++k) {
        const std::string a = argv[k];
        if (a == "--scene" && k + 1 < argc) {
            options.scene_path = argv[++k];
        } else if (a == "--config" && k + 1 < argc) {
            config = argv[++k];
        } else if (a == "--chain" && k + 1 < argc && std::string(argv[k + 1]) == "reference") {
            reference = true;
            ++k;
        } else if (a == "--kernels" && k + 1 < argc) {
            kernels = argv[++k];
            if (kernels != "vector" && kernels != "plain" && kernels != "both") {
                std::fprintf(stderr, "qv-chip-bench: --kernels takes vector, plain or both\n");
                return 2;
            }
        } else if (a == "--back-to-back") {
            paced = false;
        } else if (a == "--tick" && k + 1 < argc && std::atof(argv[k + 1]) > 0.0) {
            tick_ms = std::atof(argv[++k]);
        } else if (a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9') && a[1] != '.') {
            std::fprintf(stderr,
                         "usage: qv-chip-bench [--config FILE | --chain reference] [--scene FILE]\n"
                         "       [--kernels vector|plain|both] [--back-to-back | --tick MS]\n"
                         "       [seconds-per-round] [rounds] [tune-MHz]\n");
            return 2;
        } else {
            pos.push_back(argv[k]);
        }
    }
    const double seconds = pos.size() > 0 ? std::atof(pos[0]) : 2.0;
    const int rounds = std::max(1, pos.size() > 1 ? std::atoi(pos[1]) : 7);
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
    if (reference) {
        qv01model::program_channel(*chip, 0, qv01model::ReferenceChain{},
                                   qv01model::nco_word_for(tune_mhz * 1e6, clock));
        qv01model::start_receiver(*chip);
    } else if (configure(*chip, config, tune_mhz * 1e6, clock) != 0) {
        return 1;
    }
    const double rate = chip->output_rate_hz(0);
    if (!(rate > 0.0)) {
        std::fprintf(stderr, "qv-chip-bench: the configuration does not start channel 0\n");
        return 1;
    }
    const auto cicn = [&] {
        const int r36 = chip->read_reg(qv01::reg_addr(0, qv01::kOffCic2));
        const int r37 = chip->read_reg(qv01::reg_addr(0, qv01::kOffCicn));
        return clock / (get_field(r36, qv01::cic2::kRatio) + 1) /
               (get_field(r37, qv01::cicn::kRatio) + 1);
    }();
    if (tick_ms <= 0.0) tick_ms = vboard::producer_tick(rate).count() / 1000.0;
    std::printf("%s: output %.1f Hz, CICN output %.1f kHz, tuned to %.3f MHz, %g s per round, ",
                reference ? "reference chain" : config.c_str(), rate, cicn / 1e3, tune_mhz,
                seconds);
    if (paced)
        std::printf("paced like the board's producer (every %g ms)\n", tick_ms);
    else
        std::printf("back to back\n");
    // The board's producer: every tick the frames due since the round
    // began, at most 4096 per call.
    constexpr size_t kMaxCall = 4096;
    const auto tick = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
        std::chrono::duration<double, std::milli>(tick_ms));
    std::vector<int16_t> buf(2 * kMaxCall);
    std::vector<double> cost[2];  // vector, plain
    const char* names[2] = {"vector", "plain"};
    for (int r = 0; r < rounds; ++r) {
        for (int which = 0; which < 2; ++which) {
            if (kernels != "both" && kernels != names[which]) continue;
            qv01model::use_vector_kernels(which == 0);
            const uint64_t total = uint64_t(seconds * rate);
            const size_t per_tick = std::max<size_t>(1, size_t(rate * tick_ms / 1000.0 + 0.5));
            const double t0 = thread_cpu_s();
            const auto start = std::chrono::steady_clock::now();
            auto wake = start;
            for (uint64_t done = 0; done < total;) {
                uint64_t due = done + per_tick;
                if (paced) {
                    wake += tick;
                    std::this_thread::sleep_until(wake);
                    const double elapsed =
                        std::chrono::duration<double>(std::chrono::steady_clock::now() - start)
                            .count();
                    due = uint64_t(elapsed * rate);
                }
                due = std::min(due, total);
                while (done < due) {
                    const size_t n = size_t(std::min<uint64_t>(due - done, kMaxCall));
                    chip->generate(0, buf.data(), n);
                    done += n;
                }
            }
            const double used = thread_cpu_s() - t0;
            cost[which].push_back(used / (double(total) / rate));
            std::printf(
                "round %d, %s kernels (%s): %.1f ms CPU per second of output (%.2f %% "
                "of one core)\n",
                r + 1, names[which], qv01model::synth_kernels().name, 1e3 * cost[which].back(),
                100.0 * cost[which].back());
        }
    }
    for (int which = 0; which < 2; ++which) {
        if (cost[which].empty()) continue;
        const double med = median(cost[which]);
        std::printf("median, %s kernels: %.1f ms CPU per second of output (%.2f %% of one core)\n",
                    names[which], 1e3 * med, 100.0 * med);
    }
    if (!cost[0].empty() && !cost[1].empty())
        std::printf("vector / plain: %.3f\n", median(cost[0]) / median(cost[1]));
    std::printf("scene estimate: %.1f %% of one core (for the CICN output at clock / 36)\n",
                100.0 * qv01model::scene_cpu_share(scene, clock));
    return 0;
}
