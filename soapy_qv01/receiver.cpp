#include "receiver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <thread>

#include "conf_agent.h"
#include "data_files.h"
#include "nco.h"
#include "qv01_regs.h"
#include "rate_plans.h"

namespace qv01soapy {
namespace {

using Clock = std::chrono::steady_clock;

// While it lives, standard output goes to /dev/null. The firmware loader
// prints its end-of-file line ("err: 0, 1") on standard output, which must
// not land among the samples of a program that writes them there (rx_sdr -).
class ParkedStdout {
  public:
    ParkedStdout() {
        std::fflush(stdout);
        saved_ = dup(STDOUT_FILENO);
        const int null_fd = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved_ >= 0 && null_fd >= 0) parked_ = dup2(null_fd, STDOUT_FILENO) >= 0;
        if (null_fd >= 0) close(null_fd);
    }
    ~ParkedStdout() {
        std::fflush(stdout);
        if (parked_) dup2(saved_, STDOUT_FILENO);
        if (saved_ >= 0) close(saved_);
    }
    ParkedStdout(const ParkedStdout&) = delete;
    ParkedStdout& operator=(const ParkedStdout&) = delete;

  private:
    int saved_ = -1;
    bool parked_ = false;
};

// qv01_fm's link profile, without the stream thread's greeting on standard output.
qv::LinkProfile quiet_profile() {
    qv::LinkProfile p = qv::kLibusb1Profile;
    p.announce_stream_thread = false;
    return p;
}

std::string sentence(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string sentence(const char* fmt, ...) {
    char text[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(text, sizeof text, fmt, args);
    va_end(args);
    return text;
}

std::string board_text(qv::UsbLocation where) {
    return sentence("the QV01 board (USB device %04x:%04x, bus %d address %d)", qv::kFx2Vendor,
                    qv::kFx2Product, where.bus, where.address);
}

// The programs' Connect: bridge set-up, board descriptor, firmware and chip
// identifiers, bus timing for register access, both control lines high.
int identify(QV_demo_board_& board, Identity* id) {
    int rc = board.send_cmd2(10);
    if (rc == 0) rc = board.send_cmd15(0, 2);
    id->descriptor.vendor = qv::kFx2Vendor;
    id->descriptor.product = qv::kFx2Product;
    if (rc == 0) rc = board.get_board_descriptor(id->descriptor);
    if (rc == 0) rc = board.send_cmd1(0, 0, 2, 13);
    if (rc == 0) rc = board.bridge_write(qv::kSpaceBoard, qv::kAddrBoardSetup, 0x4000);
    if (rc == 0) rc = board.select_chip(0);
    if (rc == 0) rc = board.set_bus_timing(10);
    if (rc == 0) rc = board.bridge_read(qv::kSpaceBoard, qv::kAddrFirmwareId, &id->fx2_firmware_id);
    if (rc == 0) rc = board.read_reg(qv01::kRegDeviceId, &id->chip_id);
    id->chip_id &= 0xFFFF;  // the register's 16 bits of the bridge's data word
    if (rc == 0) rc = board.set_lines(1, qv::kLineNLoad);
    if (rc == 0) rc = board.set_lines(1, qv::kLineNMisk);
    return rc;
}

// `n` frames (int16 I, int16 Q, little-endian) to `format`, I and Q swapped.
void convert(const uint8_t* in, int n, SampleFormat format, void* out) {
    auto value = [in](int k) { return static_cast<int16_t>(in[2 * k] | in[2 * k + 1] << 8); };
    switch (format) {
        case SampleFormat::cs16: {
            auto* o = static_cast<int16_t*>(out);
            for (int i = 0; i < n; ++i) {
                o[2 * i] = value(2 * i + 1);
                o[2 * i + 1] = value(2 * i);
            }
            break;
        }
        case SampleFormat::cf32: {
            auto* o = static_cast<float*>(out);
            for (int i = 0; i < n; ++i) {
                o[2 * i] = value(2 * i + 1) * (1.0f / 32768.0f);
                o[2 * i + 1] = value(2 * i) * (1.0f / 32768.0f);
            }
            break;
        }
        case SampleFormat::cs8: {
            auto* o = static_cast<int8_t*>(out);
            for (int i = 0; i < n; ++i) {
                o[2 * i] = static_cast<int8_t>(value(2 * i + 1) >> 8);
                o[2 * i + 1] = static_cast<int8_t>(value(2 * i) >> 8);
            }
            break;
        }
    }
}

}  // namespace

int find_boards(std::vector<qv::UsbLocation>* found) {
    return qv::list_libusb1_devices(qv::kFx2Vendor, qv::kFx2Product, found);
}

int Receiver::open(const OpenOptions& options, std::unique_ptr<Receiver>* out, std::string* error) {
    out->reset();
    std::string unused;
    std::string& why = error ? *error : unused;
    why.clear();

    Identity id;
    id.firmware = options.firmware.empty() ? default_firmware() : options.firmware;
    id.config_dir = options.config_dir.empty() ? default_config_directory() : options.config_dir;
    if (id.firmware.empty()) {
        why =
            "No FX2 firmware image found (~/.local/share/qv01/firmware/qv01-fx2.hex, "
            "/usr/local/share/qv01/firmware/qv01-fx2.hex, the packaged fw/proto.hex): give "
            "firmware=PATH.";
        return -ENOENT;
    }
    if (id.config_dir.empty()) {
        why = "The chip configurations (config/iq_*.ini) were not found: give config_dir=PATH.";
        return -ENOENT;
    }
    if (!(options.clock_hz >= 1e6 && options.clock_hz <= 1e9)) {
        why = sentence("The chip clock %g Hz is outside 1 MHz .. 1 GHz.", options.clock_hz);
        return -EINVAL;
    }

    std::vector<qv::UsbLocation> boards;
    if (int rc = find_boards(&boards); rc < 0) {
        why = sentence("The USB devices could not be listed (%s).", std::strerror(-rc));
        return rc;
    }
    boards.erase(std::remove_if(boards.begin(), boards.end(),
                                [&](const qv::UsbLocation& b) {
                                    return (options.bus >= 0 && b.bus != options.bus) ||
                                           (options.address >= 0 && b.address != options.address);
                                }),
                 boards.end());
    if (boards.empty()) {
        why =
            sentence("No QV01 board (USB device %04x:%04x) found", qv::kFx2Vendor, qv::kFx2Product);
        if (options.bus >= 0 || options.address >= 0)
            why += sentence(" at bus %d address %d", options.bus, options.address);
        why += ".";
        return -ENODEV;
    }
    // The first that opens; else the reason of the first.
    std::unique_ptr<qv::UsbPort> port;
    int open_rc = 0;
    for (const qv::UsbLocation& b : boards) {
        const int rc = qv::open_libusb1_port_at(qv::kFx2Vendor, qv::kFx2Product, b, &port);
        if (rc == 0) {
            id.bus = b.bus;
            id.address = b.address;
            break;
        }
        if (open_rc == 0) {
            open_rc = rc;
            why = rc == -EACCES
                      ? qv::no_permission_message(qv::kFx2Vendor, qv::kFx2Product, b.bus, b.address)
                      : "The USB device of " + board_text(b) +
                            " could not be opened: " + std::strerror(-rc) + ".";
        }
    }
    if (!port) return open_rc;
    why.clear();

    std::unique_ptr<QV_demo_board_> board;
    {
        ParkedStdout quiet;
        board = create_board_on(std::move(port), id.firmware.c_str(), quiet_profile(), &why);
    }
    if (!board) return -EIO;  // why: the firmware file or its download
    if (int rc = identify(*board, &id); rc < 0) {
        why = "The board stopped answering while it was identified (" +
              std::string(std::strerror(-rc)) + ").";
        return rc;
    }
    if (id.chip_id != qv01::kDeviceId) {
        why =
            sentence("No QV01 chip answers on %s: its device identifier reads 0x%04x, not 0x%04x.",
                     board_text({id.bus, id.address}).c_str(), id.chip_id, qv01::kDeviceId);
        return -ENXIO;
    }

    std::unique_ptr<Receiver> r(new Receiver(std::move(board), options, id));
    {
        std::lock_guard<std::mutex> control(r->control_mutex_);
        if (int rc = r->configure_locked(kDefaultPlan); rc < 0) {
            why = r->configuration_error_;
            return rc;
        }
    }
    *out = std::move(r);
    return 0;
}

Receiver::Receiver(std::unique_ptr<QV_demo_board_> board, const OpenOptions& options,
                   const Identity& identity)
    : board_(std::move(board)),
      identity_(identity),
      clock_hz_(options.clock_hz),
      plan_(kDefaultPlan),
      scratch_(kMaxReadFrames * qv::kFrameBytes) {}

Receiver::~Receiver() {
    std::lock_guard<std::mutex> stream(stream_mutex_);
    std::lock_guard<std::mutex> control(control_mutex_);
    if (active_.load()) stop_locked();
    board_.reset();  // joins the stream thread, then closes the device
}

// ---- control ---------------------------------------------------------------

std::vector<double> Receiver::sample_rates() const {
    std::vector<double> rates;
    for (const RatePlan& p : kRatePlans) rates.push_back(plan_rate(p, clock_hz_));
    return rates;
}

double Receiver::sample_rate() const {
    std::lock_guard<std::mutex> control(control_mutex_);
    return plan_rate(kRatePlans[plan_], clock_hz_);
}

double Receiver::flat_bandwidth() const { return kFlatFraction * sample_rate(); }

int Receiver::configure_locked(int plan) {
    const std::string path = identity_.config_dir + "/" + kRatePlans[plan].config;
    configuration_error_.clear();
    conf_agent_ agent(*board_, path);
    agent.set_coefficient_directory(identity_.config_dir);
    agent.set_progress_output(nullptr);
    if (agent.load_error() != 0) {
        configuration_error_ = agent.report().error;
        return agent.load_error();
    }
    int rc = board_->set_bus_timing(5000);
    if (rc == 0) rc = board_->set_lines(1, qv::kLineNLoad | qv::kLineNMisk);
    if (rc == 0) rc = agent.setup_sections();
    const ConfigureReport report = agent.report();
    if (rc < 0) {
        configuration_error_ = report.error.empty() ? board_lost_text(rc) : report.error;
        return rc;
    }
    // A configuration with missing keys or files would leave registers
    // undefined: refused, though what it wrote stays in the chip.
    if (report.check_reports > 0 || !report.file_problems.empty() || !report.warnings.empty()) {
        configuration_error_ = "The configuration " + path + " is not usable: " + report.summary();
        return -EINVAL;
    }
    plan_ = plan;
    // The configuration tunes to its own nco_frq and sets its own gain.
    rc = write_tuning_locked();
    if (rc == 0) rc = write_gain_locked();
    return rc;
}

int Receiver::set_sample_rate(double rate_hz) {
    std::lock_guard<std::mutex> stream(stream_mutex_);
    std::lock_guard<std::mutex> control(control_mutex_);
    const int plan = nearest_plan(rate_hz, clock_hz_);
    if (plan == plan_ && configuration_error_.empty()) return 0;
    const bool was_active = active_.load();
    if (was_active) {
        active_.store(false, std::memory_order_release);
        if (int rc = stop_locked(); rc < 0) return rc;
    }
    if (int rc = configure_locked(plan); rc < 0) return rc;
    if (!was_active) return 0;
    flush_ring_locked();
    if (int rc = start_locked(); rc < 0) return rc;
    restart_time_locked(plan_rate(kRatePlans[plan], clock_hz_), true);
    active_.store(true, std::memory_order_release);
    return 0;
}

double Receiver::corrected_clock_locked() const { return clock_hz_ * (1.0 + ppm_ * 1e-6); }

int Receiver::write_tuning_locked() {
    nco_word_ = radio_dsp::nco_word(frequency_hz_, corrected_clock_locked());
    int rc = board_->write_reg(qv01::reg_addr(0, qv01::kOffNcoLow), nco_word_ & 0xFFFF);
    if (rc == 0) rc = board_->write_reg(qv01::reg_addr(0, qv01::kOffNcoHigh), nco_word_ >> 16);
    // Taken at once, phase-continuously, while running; the start takes it otherwise.
    if (rc == 0 && active_.load()) rc = board_->write_reg(qv01::kRegControl, qv01::kCmdNcoUpdate);
    return rc;
}

int Receiver::set_frequency(double freq_hz) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (std::isnan(freq_hz)) return -EINVAL;
    frequency_hz_ = std::clamp(freq_hz, 0.0, max_frequency());
    return write_tuning_locked();
}

double Receiver::frequency() const {
    std::lock_guard<std::mutex> control(control_mutex_);
    // The NCO runs at word / 2^32 of the clock: the tuning's offset within
    // its zone, to the word's resolution.
    const double clock = corrected_clock_locked();
    const double zone_start = std::floor(frequency_hz_ / clock) * clock;
    return zone_start + nco_word_ * (clock / 4294967296.0);
}

int Receiver::set_correction_ppm(double ppm) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!(ppm > -1e5 && ppm < 1e5)) return -EINVAL;
    ppm_ = ppm;
    return write_tuning_locked();
}

double Receiver::correction_ppm() const {
    std::lock_guard<std::mutex> control(control_mutex_);
    return ppm_;
}

int Receiver::write_gain_locked() {
    const long i = std::lround(16384.0 * std::pow(10.0, gain_db_ / 20.0));
    int rc = board_->write_reg(qv01::reg_addr(0, qv01::kOffGainI),
                               static_cast<int32_t>(std::min(i, 32767L)));
    if (rc == 0) rc = board_->write_reg(qv01::reg_addr(0, qv01::kOffGainQ), 0);
    if (rc == 0 && active_.load()) rc = board_->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
    return rc;
}

int Receiver::set_gain_db(double gain_db) {
    std::lock_guard<std::mutex> control(control_mutex_);
    if (std::isnan(gain_db)) return -EINVAL;
    gain_db_ = std::clamp(gain_db, kGainMinDb, kGainMaxDb);
    return write_gain_locked();
}

double Receiver::gain_db() const {
    std::lock_guard<std::mutex> control(control_mutex_);
    return gain_db_;
}

int Receiver::read_overflow_flags(uint16_t* flags) {
    std::lock_guard<std::mutex> control(control_mutex_);
    uint32_t value = 0;
    if (int rc = board_->read_reg(qv01::reg_addr(0, qv01::kOffFlags), &value); rc < 0) return rc;
    *flags = static_cast<uint16_t>(value & 0x1F);
    return 0;
}

int Receiver::start_locked() { return start_receiver(*board_); }

int Receiver::stop_locked() {
    int rc = board_->write_reg(qv01::kRegControl, qv01::kCmdStop);
    if (rc == 0) rc = board_->stream_control(0, 0);
    return rc;
}

int Receiver::activate() {
    std::lock_guard<std::mutex> stream(stream_mutex_);
    std::lock_guard<std::mutex> control(control_mutex_);
    if (active_.load()) return 0;
    if (lost()) return -ENODEV;
    if (!configuration_error_.empty()) return -EINVAL;
    flush_ring_locked();
    if (int rc = start_locked(); rc < 0) return rc;
    restart_time_locked(plan_rate(kRatePlans[plan_], clock_hz_), false);
    active_.store(true, std::memory_order_release);
    return 0;
}

int Receiver::deactivate() {
    std::lock_guard<std::mutex> stream(stream_mutex_);
    std::lock_guard<std::mutex> control(control_mutex_);
    if (!active_.load()) return 0;
    active_.store(false, std::memory_order_release);
    return stop_locked();
}

// ---- stream ----------------------------------------------------------------

int Receiver::flush_ring_locked() {
    // After a stop the board's FIFO may still hand the stream thread a
    // transfer or two: wait until the ring has stopped growing (a transfer
    // takes well under 50 ms), at most one stream time-out and a bit.
    const Clock::time_point give_up = Clock::now() + std::chrono::milliseconds(400);
    int last = -1;
    for (;;) {
        const int queued = board_->bytes_available(0);
        if (queued == last || Clock::now() >= give_up) break;
        last = queued;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return discard_queued_locked();
}

int Receiver::discard_queued_locked() {
    int dropped = 0;
    for (int queued = board_->bytes_available(0); queued > 0; queued = board_->bytes_available(0)) {
        const int n = std::min<int>(queued, static_cast<int>(scratch_.size()));
        if (board_->read_stream(0, n, scratch_.data()) != 0) break;
        dropped += n;
    }
    return dropped;
}

void Receiver::restart_time_locked(double rate_hz, bool continue_time) {
    time_base_ns_ = continue_time && run_rate_hz_ > 0
                        ? time_base_ns_ + frames_counted_ * 1e9 / run_rate_hz_
                        : 0.0;
    run_rate_hz_ = rate_hz;
    frames_counted_ = 0;
    dropped_seen_ = board_->dropped_bytes();
}

int Receiver::read(void* out, int max_frames, SampleFormat format, long timeout_us,
                   StreamTime* time) {
    if (max_frames < 1) return -EINVAL;
    const int limit = std::min(max_frames, kMaxReadFrames);
    const Clock::time_point deadline =
        Clock::now() + std::chrono::microseconds(std::max(timeout_us, 0L));
    for (;;) {
        {
            // A rate change or a start holds the stream for a while: waited
            // for no longer than the time-out (polled: ThreadSanitizer does
            // not see the clock-based lock of std::timed_mutex).
            std::unique_lock<std::mutex> stream(stream_mutex_, std::try_to_lock);
            while (!stream.owns_lock()) {
                if (Clock::now() >= deadline) return kTimeout;
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
                stream.try_lock();
            }
            if (active_.load(std::memory_order_acquire)) {
                const uint64_t dropped = board_->dropped_bytes();
                if (dropped != dropped_seen_) {
                    // What is still queued is a ring's worth behind: dropped
                    // as well, and counted, so the time stamps stay true.
                    const int flushed = discard_queued_locked();
                    const uint64_t dropped_now = board_->dropped_bytes();
                    frames_counted_ += (flushed + (dropped_now - dropped_seen_)) / qv::kFrameBytes;
                    dropped_seen_ = dropped_now;
                    return kOverflow;
                }
                const int available = board_->samples_available();
                if (available > 0) {
                    const int n = std::min(available, limit);
                    if (board_->read_stream(0, n * qv::kFrameBytes, scratch_.data()) == 0) {
                        convert(scratch_.data(), n, format, out);
                        if (time)
                            time->time_ns =
                                std::llround(time_base_ns_ + frames_counted_ * 1e9 / run_rate_hz_);
                        frames_counted_ += n;
                        return n;
                    }
                }
            }
            // Gone, and everything that came before has been handed out.
            if (lost() && (!active_.load() || board_->samples_available() == 0)) return -ENODEV;
        }
        const Clock::time_point now = Clock::now();
        if (now >= deadline) return kTimeout;
        std::this_thread::sleep_for(
            std::min<Clock::duration>(deadline - now, std::chrono::milliseconds(1)));
    }
}

}  // namespace qv01soapy
