// Streams from the virtual board for a few seconds as a host would (2048-byte
// reads of endpoint 0x88 on one thread) and prints the delivered frame rate,
// the CPU share of the board's producer thread and the FIFO loss.
//
// Usage: vboard-stream-bench [CIC2_RATIO [SECONDS]]  (defaults 20 and 2:
// 66 MHz / (20 * 4 * 2 * 2) = 206250 frames/s)
#include <dirent.h>
#include <libusb.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "vboard_control.h"

namespace {

int command(libusb_device_handle* h, std::vector<unsigned char> msg) {
    int n = 0;
    return libusb_bulk_transfer(h, 0x01, msg.data(), int(msg.size()), &n, 300);
}

void write_reg(libusb_device_handle* h, int addr, int value) {
    command(h, {4, 0, 0, (unsigned char)addr, (unsigned char)(addr >> 8), 0, 0});
    command(h, {4, 0, 1, (unsigned char)value, (unsigned char)(value >> 8), 0, 0});
}

// Seconds on the CPU of the thread called `name`, from its schedstat; -1 if none.
double thread_cpu_s(const std::string& name) {
    double t = -1.0;
    DIR* dir = opendir("/proc/self/task");
    if (!dir) return t;
    while (dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        const std::string task = std::string("/proc/self/task/") + e->d_name;
        std::ifstream comm(task + "/comm");
        std::string line;
        std::getline(comm, line);
        if (line != name) continue;
        std::ifstream sched(task + "/schedstat");
        unsigned long long ns = 0;
        sched >> ns;
        t = double(ns) * 1e-9;
    }
    closedir(dir);
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);  // figures reach a log line by line
    const int cic2 = argc > 1 ? std::atoi(argv[1]) : 20;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 2.0;
    if (cic2 < 1 || cic2 > 128 || !(seconds > 0.0)) {
        std::fprintf(stderr, "usage: vboard-stream-bench [CIC2_RATIO 1..128 [SECONDS]]\n");
        return 2;
    }
    libusb_init(nullptr);
    libusb_device_handle* h =
        libusb_open_device_with_vid_pid(nullptr, vboard::kVendorId, vboard::kProductId);
    if (!h) return 1;
    unsigned char hold = 1, run = 0, code[2] = {0x80, 0xFE};
    libusb_control_transfer(h, 0x40, 0xA0, 0xE600, 0, &hold, 1, 300);
    libusb_control_transfer(h, 0x40, 0xA0, 0x0000, 0, code, 2, 300);
    libusb_control_transfer(h, 0x40, 0xA0, 0xE600, 0, &run, 1, 300);
    write_reg(h, 0x24, (cic2 - 1) << 8);
    write_reg(h, 0x25, 0x0300);
    write_reg(h, 0x26, 1);
    write_reg(h, 0x28, 1);
    write_reg(h, 5, 0x8001);
    command(h, {13, 0, 1, 0});

    double cpu0;
    while ((cpu0 = thread_cpu_s("qv-vboard")) < 0) usleep(1000);  // until the thread has its name
    const auto t0 = std::chrono::steady_clock::now();
    unsigned long long bytes = 0;
    unsigned char buf[2048];
    while (std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count() < seconds) {
        int n = 0;
        libusb_bulk_transfer(h, 0x88, buf, sizeof buf, &n, 300);
        bytes += unsigned(n);
    }
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double cpu = thread_cpu_s("qv-vboard") - cpu0;
    const vboard::Stats st = vboard::stats();
    std::printf(
        "chip rate %.0f frames/s: delivered %.0f frames/s, producer CPU %.1f %%, lost %llu bytes\n",
        66.0e6 / (cic2 * 16.0), double(bytes) / 4 / elapsed, 100.0 * cpu / elapsed,
        (unsigned long long)st.fifo_bytes_lost);
    libusb_close(h);
    return 0;
}
