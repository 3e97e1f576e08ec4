// Whether the virtual board keeps up in real time at every rate the driver
// offers: streams each rate through the SoapySDR API (the virtual board is
// linked in place of libusb-1.0, its chip model on the default scene or
// QV_VIRTUAL_SCENE) and prints the frames delivered per second against the
// nominal rate, overflows, the ring's dropped bytes and the process's CPU per
// second of stream (chip model, stream thread and reader together).
//
//   SOAPY_SDR_PLUGIN_PATH=build/soapy_qv01 build/soapy_qv01/qv-soapy-rate-bench [SECONDS]
#include <sys/resource.h>

#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <vector>

#include "vboard_control.h"

namespace {

double process_cpu_s() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + 1e-6 * (u.ru_utime.tv_usec + u.ru_stime.tv_usec);
}

}  // namespace

int main(int argc, char** argv) {
    const double seconds = argc > 1 ? std::atof(argv[1]) : 5.0;
    if (!(seconds > 0)) {
        std::fprintf(stderr, "usage: qv-soapy-rate-bench [SECONDS]\n");
        return 2;
    }
    vboard::reset();  // the virtual board in place of the USB bus
    SoapySDR::Device* dev = nullptr;
    try {
        dev = SoapySDR::Device::make("driver=qv01");
    } catch (const std::exception& e) {  // SoapySDR's way of saying no device
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
    dev->setFrequency(SOAPY_SDR_RX, 0, 103.5e6);
    SoapySDR::Stream* stream = dev->setupStream(SOAPY_SDR_RX, SOAPY_SDR_CS16);
    const size_t mtu = dev->getStreamMTU(stream);
    std::vector<int16_t> buf(2 * mtu);
    void* buffs[] = {buf.data()};
    std::printf("%12s %14s %9s %9s %12s %11s\n", "rate S/s", "delivered S/s", "of rate",
                "overflows", "dropped B", "CPU/s");
    for (double rate : dev->listSampleRates(SOAPY_SDR_RX, 0)) {
        dev->setSampleRate(SOAPY_SDR_RX, 0, rate);
        dev->activateStream(stream);
        using Clock = std::chrono::steady_clock;
        long long frames = 0;
        int overflows = 0;
        Clock::time_point start{};
        double cpu0 = 0;
        const long long dropped0 = std::atoll(dev->readSensor("ring_dropped_bytes").c_str());
        for (bool first = true;;) {
            int flags = 0;
            long long t = 0;
            const int n = dev->readStream(stream, buffs, mtu, flags, t, 1000000);
            if (n == SOAPY_SDR_OVERFLOW) ++overflows;
            if (n <= 0 && n != SOAPY_SDR_OVERFLOW && n != SOAPY_SDR_TIMEOUT) {
                std::fprintf(stderr, "readStream: %s\n", SoapySDR::errToStr(n));
                break;
            }
            if (first && n > 0) {  // timed from the first block on
                first = false;
                start = Clock::now();
                cpu0 = process_cpu_s();
                continue;
            }
            if (n > 0) frames += n;
            if (!first && Clock::now() - start >= std::chrono::duration<double>(seconds)) break;
        }
        const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        const double cpu = (process_cpu_s() - cpu0) / elapsed;
        const long long dropped =
            std::atoll(dev->readSensor("ring_dropped_bytes").c_str()) - dropped0;
        dev->deactivateStream(stream);
        std::printf("%12.1f %14.1f %8.2f%% %9d %12lld %10.1f%%\n", rate, frames / elapsed,
                    100.0 * frames / elapsed / rate, overflows, dropped, 100.0 * cpu);
    }
    dev->closeStream(stream);
    SoapySDR::Device::unmake(dev);
    return 0;
}
