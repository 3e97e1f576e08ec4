// qv-board-demo: opens the board, runs the Connect sequence, programs
// channel 0 for a decimation of 324, starts the receiver and consumes the
// sample stream the way the radio panel does, then reports the rate, drops
// and CPU load per thread.
//
// Usage: qv-board-demo [seconds] [--counter]
//   seconds    how long to consume the stream (default 10)
//   --counter  the stream carries the counter test pattern; check continuity
//
// Exit status 0 when the measured rate is within 0.5 % of 66 MHz/decimation(),
// nothing was dropped and (with --counter) the counter was continuous.
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "protocol.h"
#include "qv_board.h"

namespace {

using Clock = std::chrono::steady_clock;

struct ThreadCpu {
    std::string name;
    long ticks;  // utime + stime, clock ticks
};

// CPU time of every thread of this process, by thread id.
std::map<int, ThreadCpu> thread_cpu() {
    std::map<int, ThreadCpu> out;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return out;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string path = std::string("/proc/self/task/") + e->d_name + "/stat";
        FILE* f = std::fopen(path.c_str(), "r");
        if (!f) continue;
        char buf[1024];
        const size_t n = std::fread(buf, 1, sizeof buf - 1, f);
        std::fclose(f);
        buf[n] = '\0';
        // "tid (comm) state ppid ..." - comm may hold spaces, so split at the last ')'.
        char* open = std::strchr(buf, '(');
        char* close = std::strrchr(buf, ')');
        if (!open || !close) continue;
        ThreadCpu t;
        t.name.assign(open + 1, close);
        // Fields after ')': 3 state ... 14 utime 15 stime.
        long utime = 0, stime = 0;
        if (std::sscanf(close + 2, "%*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %ld %ld", &utime,
                        &stime) != 2)
            continue;
        t.ticks = utime + stime;
        out[std::atoi(e->d_name)] = t;
    }
    closedir(dir);
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // keep lines in order with the stream thread's
    double seconds = 10;
    bool counter = false;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--counter") == 0) {
            counter = true;
        } else {
            char* end = nullptr;
            seconds = std::strtod(argv[i], &end);
            if (end == argv[i] || *end != '\0' || seconds <= 0) {
                std::fprintf(stderr, "usage: %s [seconds] [--counter]\n", argv[0]);
                return 2;
            }
        }
    }

    QV_demo_board_* board = board_instance();
    if (!board) {
        // A firmware problem was already told on stderr by the loader.
        if (board_instance_error().empty())
            std::fprintf(stderr, "qv-board-demo: no board found (FX2 %04x:%04x)\n", qv::kFx2Vendor,
                         qv::kFx2Product);
        return 1;
    }

    // Connect sequence of the connect panel.
    board->send_cmd2(10);
    board->send_cmd15(0, 2);
    BoardDescriptor d;
    d.vendor = qv::kFx2Vendor;
    d.product = qv::kFx2Product;
    board->get_board_descriptor(d);
    board->send_cmd1(0, 0, 2, 13);
    board->bridge_write(qv::kSpaceBoard, qv::kAddrBoardSetup, 0x4000);
    board->select_chip(0);
    board->set_bus_timing(10);
    const int fw_id = board->bridge_read(qv::kSpaceBoard, qv::kAddrFirmwareId);
    const int chip_id = board->read_reg(qv01::kRegDeviceId);
    board->set_lines(1, qv::kLineNLoad);
    board->set_lines(1, qv::kLineNMisk);
    std::printf("board: vendor %04x product %04x class %d serial %d firmware %d\n", d.vendor,
                d.product, d.board_class, d.serial_number, d.firmware_version);
    std::printf("FX2 firmware id: 0x%x\nchip device id: 0x%x\n", static_cast<unsigned>(fw_id),
                static_cast<unsigned>(chip_id));

    // Channel 0 decimation 3 * 27 * 2 * 2 = 324, automatic scales.
    board->write_reg(qv01::reg_addr(0, qv01::kOffCic2), 0x8200 | 10);  // mode 1, ratio 3
    board->write_reg(qv01::reg_addr(0, qv01::kOffCicn),
                     (1 << 14) | (26 << 8) | 0x10 | 4);          // mode 1, ratio 27
    board->write_reg(qv01::reg_addr(0, qv01::kOffDfir1Ctl), 1);  // ratio 2
    board->write_reg(qv01::reg_addr(0, qv01::kOffDfir2Ctl), 1);  // ratio 2
    const int decimation = board->decimation();
    const double expected_fps = qv::kChipClockHz / decimation;
    std::printf("decimation: %d (%.1f frames/s expected)\n", decimation, expected_fps);

    // Start sequence of the radio panel.
    board->write_reg(qv01::kRegFlagClear, 0xFFFF);
    board->set_rx_mode(2);
    board->write_reg(qv01::kRegControl, 0x8002);
    board->write_reg(qv01::kRegControl, 0x8004);
    board->write_reg(qv01::kRegControl, 0x8100);
    board->stream_control(1, 0);
    board->write_reg(qv01::kRegControl, 0x8001);

    // Consumer: poll, take 4096-frame blocks.
    constexpr int kBlockBytes = 16384;
    std::vector<uint8_t> block(kBlockBytes);
    uint64_t consumed = 0;
    uint64_t next_frame = 0;  // expected counter value
    uint64_t discontinuities = 0;
    bool have_first = false;
    Clock::time_point t_first{};
    uint64_t produced_first = 0;
    std::map<int, ThreadCpu> cpu_first;

    const Clock::time_point t_start = Clock::now();
    const Clock::time_point t_stop = t_start + std::chrono::duration_cast<Clock::duration>(
                                                   std::chrono::duration<double>(seconds));
    Clock::time_point t_last{};
    uint64_t produced_last = 0;
    while (Clock::now() < t_stop && !board->device_lost()) {
        while (board->samples_available() >= kBlockBytes / qv::kFrameBytes) {
            if (board->read_stream(0, kBlockBytes, block.data()) != 0) break;
            if (counter) {
                for (int i = 0; i < kBlockBytes; i += qv::kFrameBytes) {
                    const uint32_t n = static_cast<uint32_t>(
                        block[i] | block[i + 1] << 8 | block[i + 2] << 16 | block[i + 3] << 24);
                    if (n != static_cast<uint32_t>(next_frame)) {
                        if (discontinuities < 5)
                            std::printf("counter jump at byte %llu: expected %u, got %u\n",
                                        static_cast<unsigned long long>(consumed + i),
                                        static_cast<uint32_t>(next_frame), n);
                        ++discontinuities;
                    }
                    next_frame = uint64_t{n} + 1;
                }
            }
            consumed += kBlockBytes;
        }
        // Bytes the stream thread has taken from the endpoint so far.
        const UC_IBus_::RingState ring = board->ring_state();
        const uint64_t produced = consumed + static_cast<uint64_t>(ring.count) + ring.dropped;
        const Clock::time_point now = Clock::now();
        if (!have_first && produced > 0) {
            have_first = true;
            t_first = now;
            produced_first = produced;
            cpu_first = thread_cpu();
        }
        t_last = now;
        produced_last = produced;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    const std::map<int, ThreadCpu> cpu_last = thread_cpu();
    if (board->device_lost()) {
        std::printf("board lost after %llu frames consumed\nFAIL\n",
                    static_cast<unsigned long long>(consumed / qv::kFrameBytes));
        return 1;
    }

    board->stream_control(0, 0);
    board->write_reg(qv01::kRegControl, 0x8000);

    const uint64_t dropped = board->dropped_bytes();
    std::printf("received: %llu bytes, %llu frames consumed in %.1f s\n",
                static_cast<unsigned long long>(produced_last),
                static_cast<unsigned long long>(consumed / qv::kFrameBytes), seconds);
    if (!have_first) {
        std::printf("no stream data arrived\n");
        return 1;
    }
    const double span = std::chrono::duration<double>(t_last - t_first).count();
    const double fps = span > 0 ? (produced_last - produced_first) / qv::kFrameBytes / span : 0;
    const double deviation = (fps / expected_fps - 1) * 100;
    std::printf("rate: %.1f frames/s measured over %.2f s, expected %.1f (deviation %+.3f %%)\n",
                fps, span, expected_fps, deviation);
    std::printf("dropped: %llu bytes\n", static_cast<unsigned long long>(dropped));
    if (counter)
        std::printf("counter: %llu discontinuities\n",
                    static_cast<unsigned long long>(discontinuities));

    const double ticks_per_s = static_cast<double>(sysconf(_SC_CLK_TCK));
    double stream_pct = 0, other_pct = 0;
    std::printf("CPU (user+sys, %% of one core):\n");
    for (const auto& [tid, last] : cpu_last) {
        auto it = cpu_first.find(tid);
        const long ticks = last.ticks - (it != cpu_first.end() ? it->second.ticks : 0);
        const double pct = span > 0 ? ticks / ticks_per_s / span * 100 : 0;
        std::printf("  %-16s tid %-7d %6.2f %%\n", last.name.c_str(), tid, pct);
        (last.name == "qv-stream" ? stream_pct : other_pct) += pct;
    }
    std::printf("  stream thread %.2f %%, other threads %.2f %%\n", stream_pct, other_pct);

    const bool ok = std::fabs(deviation) <= 0.5 && dropped == 0 && discontinuities == 0;
    std::printf("%s\n", ok ? "PASS" : "FAIL");
    return ok ? 0 : 1;
}
