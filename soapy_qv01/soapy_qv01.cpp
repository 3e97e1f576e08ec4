// SoapySDR driver "qv01": the QV01 evaluation board as a SoapySDR device, a
// thin adapter over Receiver (receiver.h), which does the work with the
// project's board link and configuration agent.
//
// One RX channel (the chip's channel 0), streams CS16 (native, full scale
// 32768), CF32 and CS8, true baseband: a carrier above the tuning appears at
// a positive frequency. Device arguments: bus, address (which board),
// firmware=PATH, config_dir=PATH, clock=HZ (see README.md, "SoapySDR").
//
// Errors: SoapySDR's C++ API has no error result for making a device or
// setting up a stream; those two report failure by throwing
// std::runtime_error with the reason, as the API defines. They are the only
// throws of the driver: every other call logs what it could not do through
// SoapySDR's logger and returns (stream calls return SoapySDR's error codes).
//
// Threads: as SoapySDR has it, a reader thread (readStream) and a control
// thread (frequency, gain, rate, sensors, activation) may call at once; see
// receiver.h for how they share the board.
#include <SoapySDR/Device.hpp>
#include <SoapySDR/Errors.hpp>
#include <SoapySDR/Formats.hpp>
#include <SoapySDR/Logger.hpp>
#include <SoapySDR/Modules.hpp>
#include <SoapySDR/Registry.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "rate_plans.h"
#include "receiver.h"

using qv01soapy::Receiver;
using qv01soapy::SampleFormat;

namespace {

constexpr char kDriver[] = "qv01";
constexpr char kGainElement[] = "DIGITAL";
constexpr char kTuningElement[] = "RF";
constexpr char kAntenna[] = "RF";
constexpr char kSensorChipOverflow[] = "chip_overflow";
constexpr char kSensorRingDropped[] = "ring_dropped_bytes";

std::string hex(uint32_t value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

std::string label(const qv::UsbLocation& where) {
    return "QV01 demo board (bus " + std::to_string(where.bus) + ", address " +
           std::to_string(where.address) + ")";
}

// A whole number from a device argument; false when it is not one.
bool parse_int(const std::string& text, int* value) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(text.c_str(), &end, 0);
    if (text.empty() || *end != '\0' || errno != 0 || v < 0 || v > 255) return false;
    *value = static_cast<int>(v);
    return true;
}

bool parse_double(const std::string& text, double* value) {
    char* end = nullptr;
    const double v = std::strtod(text.c_str(), &end);
    if (text.empty() || *end != '\0' || !std::isfinite(v)) return false;
    *value = v;
    return true;
}

SoapySDR::ArgInfo info(const std::string& key, const std::string& name,
                       const std::string& description, SoapySDR::ArgInfo::Type type,
                       const std::string& value) {
    SoapySDR::ArgInfo a;
    a.key = key;
    a.name = name;
    a.description = description;
    a.type = type;
    a.value = value;
    return a;
}

struct Qv01Stream {
    SampleFormat format;
};

class Qv01Device final : public SoapySDR::Device {
  public:
    explicit Qv01Device(std::unique_ptr<Receiver> receiver) : rx_(std::move(receiver)) {}

    // ---- identification ----------------------------------------------------

    std::string getDriverKey() const override { return kDriver; }
    std::string getHardwareKey() const override { return "QV01 demo board"; }

    SoapySDR::Kwargs getHardwareInfo() const override {
        const qv01soapy::Identity& id = rx_->identity();
        return {
            {"fx2_firmware_id", hex(id.fx2_firmware_id, 8)},
            {"chip_id", hex(id.chip_id, 4)},
            {"board_class", std::to_string(id.descriptor.board_class)},
            {"serial_number", std::to_string(id.descriptor.serial_number)},
            {"firmware_version", hex(static_cast<uint32_t>(id.descriptor.firmware_version), 4)},
            {"bus", std::to_string(id.bus)},
            {"address", std::to_string(id.address)},
            {"firmware", id.firmware},
            {"config_dir", id.config_dir},
            {"clock", std::to_string(static_cast<long long>(rx_->clock_hz()))},
        };
    }

    size_t getNumChannels(const int direction) const override {
        return direction == SOAPY_SDR_RX ? 1 : 0;
    }
    bool getFullDuplex(const int, const size_t) const override { return false; }

    // ---- streams -----------------------------------------------------------

    std::vector<std::string> getStreamFormats(const int, const size_t) const override {
        return {SOAPY_SDR_CS16, SOAPY_SDR_CF32, SOAPY_SDR_CS8};
    }

    std::string getNativeStreamFormat(const int, const size_t, double& full_scale) const override {
        full_scale = 32768;
        return SOAPY_SDR_CS16;
    }

    SoapySDR::Stream* setupStream(const int direction, const std::string& format,
                                  const std::vector<size_t>& channels,
                                  const SoapySDR::Kwargs&) override {
        if (direction != SOAPY_SDR_RX) throw std::runtime_error("qv01: the board only receives");
        if (channels.size() > 1 || (channels.size() == 1 && channels[0] != 0))
            throw std::runtime_error("qv01: the board has one RX channel, 0");
        SampleFormat f;
        if (format == SOAPY_SDR_CS16)
            f = SampleFormat::cs16;
        else if (format == SOAPY_SDR_CF32)
            f = SampleFormat::cf32;
        else if (format == SOAPY_SDR_CS8)
            f = SampleFormat::cs8;
        else
            throw std::runtime_error("qv01: stream format " + format +
                                     " not offered (CS16, CF32, CS8)");
        std::lock_guard<std::mutex> lock(stream_mutex_);
        if (stream_) throw std::runtime_error("qv01: channel 0 already has a stream");
        stream_ = std::make_unique<Qv01Stream>(Qv01Stream{f});
        return reinterpret_cast<SoapySDR::Stream*>(stream_.get());
    }

    void closeStream(SoapySDR::Stream* stream) override {
        std::lock_guard<std::mutex> lock(stream_mutex_);
        if (!own(stream)) return;
        rx_->deactivate();
        stream_.reset();
    }

    size_t getStreamMTU(SoapySDR::Stream*) const override { return Receiver::kMaxReadFrames; }

    int activateStream(SoapySDR::Stream* stream, const int flags, const long long,
                       const size_t num_elems) override {
        if (!own(stream)) return SOAPY_SDR_STREAM_ERROR;
        // Neither timed starts nor bursts: the board streams from now on.
        if (flags != 0 || num_elems != 0) return SOAPY_SDR_NOT_SUPPORTED;
        const int rc = rx_->activate();
        if (rc < 0) {
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: the stream could not be started: %s",
                          rc == -EINVAL ? rx_->configuration_error().c_str() : std::strerror(-rc));
            return SOAPY_SDR_STREAM_ERROR;
        }
        return 0;
    }

    int deactivateStream(SoapySDR::Stream* stream, const int flags, const long long) override {
        if (!own(stream)) return SOAPY_SDR_STREAM_ERROR;
        if (flags != 0) return SOAPY_SDR_NOT_SUPPORTED;
        const int rc = rx_->deactivate();
        if (rc < 0) {
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: the stream could not be stopped: %s",
                          std::strerror(-rc));
            return SOAPY_SDR_STREAM_ERROR;
        }
        return 0;
    }

    int readStream(SoapySDR::Stream* stream, void* const* buffs, const size_t num_elems, int& flags,
                   long long& time_ns, const long timeout_us) override {
        flags = 0;
        // The reader owns the stream until it closes it: no lock here.
        auto* s = reinterpret_cast<Qv01Stream*>(stream);
        qv01soapy::StreamTime t;
        const int n = rx_->read(buffs[0], static_cast<int>(std::min<size_t>(num_elems, 1 << 30)),
                                s->format, timeout_us, &t);
        if (n > 0) {
            flags = SOAPY_SDR_HAS_TIME;
            time_ns = t.time_ns;
            return n;
        }
        switch (n) {
            case Receiver::kTimeout:
                return SOAPY_SDR_TIMEOUT;
            case Receiver::kOverflow:
                return SOAPY_SDR_OVERFLOW;
            case -ENODEV:
                if (!gone_reported_.exchange(true))
                    SoapySDR_log(SOAPY_SDR_ERROR, "qv01: the board is gone (unplugged?)");
                return SOAPY_SDR_STREAM_ERROR;
            default:
                return SOAPY_SDR_STREAM_ERROR;
        }
    }

    // ---- antenna -----------------------------------------------------------

    std::vector<std::string> listAntennas(const int, const size_t) const override {
        return {kAntenna};
    }
    void setAntenna(const int, const size_t, const std::string& name) override {
        if (name != kAntenna) SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: no antenna %s", name.c_str());
    }
    std::string getAntenna(const int, const size_t) const override { return kAntenna; }

    // ---- gain --------------------------------------------------------------

    std::vector<std::string> listGains(const int, const size_t) const override {
        return {kGainElement};
    }
    void setGain(const int, const size_t, const double value) override { set_gain(value); }
    void setGain(const int, const size_t, const std::string& name, const double value) override {
        if (name != kGainElement) {
            SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: no gain element %s", name.c_str());
            return;
        }
        set_gain(value);
    }
    double getGain(const int, const size_t) const override { return rx_->gain_db(); }
    double getGain(const int, const size_t, const std::string&) const override {
        return rx_->gain_db();
    }
    SoapySDR::Range getGainRange(const int, const size_t) const override { return gain_range(); }
    SoapySDR::Range getGainRange(const int, const size_t, const std::string&) const override {
        return gain_range();
    }

    // ---- frequency ---------------------------------------------------------

    void setFrequency(const int, const size_t, const double frequency,
                      const SoapySDR::Kwargs&) override {
        set_frequency(frequency);
    }
    void setFrequency(const int, const size_t, const std::string& name, const double frequency,
                      const SoapySDR::Kwargs&) override {
        if (name != kTuningElement) {
            SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: no tuning element %s", name.c_str());
            return;
        }
        set_frequency(frequency);
    }
    double getFrequency(const int, const size_t) const override { return rx_->frequency(); }
    double getFrequency(const int, const size_t, const std::string&) const override {
        return rx_->frequency();
    }
    std::vector<std::string> listFrequencies(const int, const size_t) const override {
        return {kTuningElement};
    }
    SoapySDR::RangeList getFrequencyRange(const int, const size_t) const override {
        return {SoapySDR::Range(0.0, rx_->max_frequency())};
    }
    SoapySDR::RangeList getFrequencyRange(const int, const size_t,
                                          const std::string&) const override {
        return {SoapySDR::Range(0.0, rx_->max_frequency())};
    }
    bool hasFrequencyCorrection(const int, const size_t) const override { return true; }
    void setFrequencyCorrection(const int, const size_t, const double ppm) override {
        if (int rc = rx_->set_correction_ppm(ppm); rc < 0)
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: frequency correction %g ppm not set: %s", ppm,
                          std::strerror(-rc));
    }
    double getFrequencyCorrection(const int, const size_t) const override {
        return rx_->correction_ppm();
    }

    // ---- sample rate and bandwidth -----------------------------------------

    void setSampleRate(const int, const size_t, const double rate) override {
        const std::vector<double> rates = rx_->sample_rates();
        const double chosen = rates[qv01soapy::nearest_plan(rate, rx_->clock_hz())];
        if (std::fabs(chosen - rate) > 1e-6 * chosen)
            SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: %g S/s is not offered, taking %g S/s", rate,
                          chosen);
        if (int rc = rx_->set_sample_rate(rate); rc < 0)
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: rate %g S/s not set: %s", chosen,
                          rx_->configuration_error().empty() ? std::strerror(-rc)
                                                             : rx_->configuration_error().c_str());
    }
    double getSampleRate(const int, const size_t) const override { return rx_->sample_rate(); }
    std::vector<double> listSampleRates(const int, const size_t) const override {
        return rx_->sample_rates();
    }
    SoapySDR::RangeList getSampleRateRange(const int, const size_t) const override {
        SoapySDR::RangeList ranges;
        for (double r : rx_->sample_rates()) ranges.emplace_back(r, r);
        return ranges;
    }

    // The pass band follows the rate: 80 % of it is flat.
    void setBandwidth(const int, const size_t, const double bw) override {
        SoapySDR_logf(SOAPY_SDR_DEBUG,
                      "qv01: the bandwidth follows the sample rate (%g Hz asked, %g Hz flat)", bw,
                      rx_->flat_bandwidth());
    }
    double getBandwidth(const int, const size_t) const override { return rx_->flat_bandwidth(); }
    std::vector<double> listBandwidths(const int, const size_t) const override {
        std::vector<double> bandwidths;
        for (double r : rx_->sample_rates()) bandwidths.push_back(qv01soapy::kFlatFraction * r);
        return bandwidths;
    }
    SoapySDR::RangeList getBandwidthRange(const int, const size_t) const override {
        SoapySDR::RangeList ranges;
        for (double bw : listBandwidths(SOAPY_SDR_RX, 0)) ranges.emplace_back(bw, bw);
        return ranges;
    }

    // ---- sensors -----------------------------------------------------------

    std::vector<std::string> listSensors() const override {
        return {kSensorChipOverflow, kSensorRingDropped};
    }

    SoapySDR::ArgInfo getSensorInfo(const std::string& key) const override {
        if (key == kSensorChipOverflow)
            return info(key, "Chip overflow flags",
                        "Stages of channel 0 that clipped since the last reading (which clears "
                        "them): bit 0 CIC2, 1 CICN, 2 DFIR1, 3 DFIR2, 4 GAIN",
                        SoapySDR::ArgInfo::INT, "0");
        if (key == kSensorRingDropped)
            return info(key, "Ring dropped bytes",
                        "Bytes of the sample stream dropped since the device was made because "
                        "the reader fell a whole ring (512 KiB) behind",
                        SoapySDR::ArgInfo::INT, "0");
        return SoapySDR::Device::getSensorInfo(key);
    }

    std::string readSensor(const std::string& key) const override {
        if (key == kSensorChipOverflow) {
            uint16_t flags = 0;
            if (int rc = rx_->read_overflow_flags(&flags); rc < 0) {
                SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: overflow flags not read: %s",
                              std::strerror(-rc));
                return "";
            }
            return std::to_string(flags);
        }
        if (key == kSensorRingDropped) return std::to_string(rx_->dropped_bytes());
        SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: no sensor %s", key.c_str());
        return "";
    }

    // ---- settings: the device arguments, to read ----------------------------

    SoapySDR::ArgInfoList getSettingInfo() const override {
        const SoapySDR::Kwargs hw = getHardwareInfo();
        return {
            info("firmware", "Firmware",
                 "Device argument firmware=PATH: the FX2 image downloaded when the device was "
                 "made (default: the user's, the system's, then the packaged prototype)",
                 SoapySDR::ArgInfo::STRING, hw.at("firmware")),
            info("config_dir", "Configurations",
                 "Device argument config_dir=PATH: the folder of the chip configurations "
                 "iq_*.ini, one per sample rate",
                 SoapySDR::ArgInfo::STRING, hw.at("config_dir")),
            info("clock", "Chip clock",
                 "Device argument clock=HZ: the chip's clock, which the rates and the tuning "
                 "follow (default 66e6)",
                 SoapySDR::ArgInfo::FLOAT, hw.at("clock")),
            info("bus", "USB bus", "Device argument bus=N: the board's USB bus",
                 SoapySDR::ArgInfo::INT, hw.at("bus")),
            info("address", "USB address", "Device argument address=N: the board's USB address",
                 SoapySDR::ArgInfo::INT, hw.at("address")),
        };
    }

    std::string readSetting(const std::string& key) const override {
        const SoapySDR::Kwargs hw = getHardwareInfo();
        const auto it = hw.find(key);
        return it == hw.end() ? "" : it->second;
    }

    void writeSetting(const std::string& key, const std::string&) override {
        SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: %s is a device argument, given when it is made",
                      key.c_str());
    }

  private:
    bool own(SoapySDR::Stream* stream) const {
        return stream && reinterpret_cast<Qv01Stream*>(stream) == stream_.get();
    }

    static SoapySDR::Range gain_range() {
        return SoapySDR::Range(Receiver::kGainMinDb, Receiver::kGainMaxDb);
    }

    void set_gain(double value) {
        if (int rc = rx_->set_gain_db(value); rc < 0)
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: gain %g dB not set: %s", value,
                          std::strerror(-rc));
    }

    void set_frequency(double frequency) {
        if (!(frequency >= 0 && frequency <= rx_->max_frequency()))
            SoapySDR_logf(SOAPY_SDR_WARNING, "qv01: %g Hz is outside 0 .. %g Hz", frequency,
                          rx_->max_frequency());
        if (int rc = rx_->set_frequency(frequency); rc < 0)
            SoapySDR_logf(SOAPY_SDR_ERROR, "qv01: frequency %g Hz not set: %s", frequency,
                          std::strerror(-rc));
    }

    std::unique_ptr<Receiver> rx_;
    std::mutex stream_mutex_;  // guards stream_ against setup and close
    std::unique_ptr<Qv01Stream> stream_;
    std::atomic<bool> gone_reported_{false};
};

// Every board on the bus, with or without firmware; filtered by bus and
// address when the arguments give them.
SoapySDR::KwargsList find_qv01(const SoapySDR::Kwargs& args) {
    SoapySDR::KwargsList results;
    std::vector<qv::UsbLocation> boards;
    if (qv01soapy::find_boards(&boards) < 0) return results;
    for (const qv::UsbLocation& b : boards) {
        if (args.count("bus") && args.at("bus") != std::to_string(b.bus)) continue;
        if (args.count("address") && args.at("address") != std::to_string(b.address)) continue;
        results.push_back({{"driver", kDriver},
                           {"label", label(b)},
                           {"bus", std::to_string(b.bus)},
                           {"address", std::to_string(b.address)}});
    }
    return results;
}

SoapySDR::Device* make_qv01(const SoapySDR::Kwargs& args) {
    qv01soapy::OpenOptions options;
    const auto arg = [&](const char* key) -> const std::string* {
        const auto it = args.find(key);
        return it == args.end() ? nullptr : &it->second;
    };
    if (const std::string* v = arg("bus"); v && !parse_int(*v, &options.bus))
        throw std::runtime_error("qv01: bus=" + *v + " is not a bus number");
    if (const std::string* v = arg("address"); v && !parse_int(*v, &options.address))
        throw std::runtime_error("qv01: address=" + *v + " is not a USB address");
    if (const std::string* v = arg("clock"); v && !parse_double(*v, &options.clock_hz))
        throw std::runtime_error("qv01: clock=" + *v + " is not a frequency in Hz");
    if (const std::string* v = arg("firmware")) options.firmware = *v;
    if (const std::string* v = arg("config_dir")) options.config_dir = *v;

    std::unique_ptr<Receiver> receiver;
    std::string error;
    if (Receiver::open(options, &receiver, &error) < 0) throw std::runtime_error("qv01: " + error);
    return new Qv01Device(std::move(receiver));
}

const SoapySDR::Registry kRegistry(kDriver, &find_qv01, &make_qv01, SOAPY_SDR_ABI_VERSION);
const SoapySDR::ModuleVersion kVersion(QV_SOAPY_VERSION);

}  // namespace
