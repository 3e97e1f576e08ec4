#include "receiver.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <thread>

#include "conf_agent.h"
#include "usb_port_libusb1.h"

namespace qvradio {
namespace {

// Points file descriptor `fd` at /dev/null while it lives: the board link
// and the agent print progress lines, and the reasons for a failure on top
// of the sentence they hand back.
class Silenced {
  public:
    explicit Silenced(int fd) : fd_(fd) {
        std::fflush(nullptr);
        saved_ = dup(fd);
        const int null_fd = ::open("/dev/null", O_WRONLY);
        if (saved_ >= 0 && null_fd >= 0) dup2(null_fd, fd);
        if (null_fd >= 0) ::close(null_fd);
    }
    ~Silenced() {
        std::fflush(nullptr);
        if (saved_ < 0) return;
        dup2(saved_, fd_);
        ::close(saved_);
    }
    Silenced(const Silenced&) = delete;
    Silenced& operator=(const Silenced&) = delete;

  private:
    int fd_;
    int saved_ = -1;
};

// qv01_fm's signal path without the spectrum of every block, which nothing
// here shows, and with a lower fill window: qv01_fm keeps some 180 ms of
// samples waiting (30000 to 40000 in the ring), this some 120 ms, which
// still covers a block's 18900 input samples and a run 20 ms late.
radio_dsp::SignalPathConfig path_config() {
    radio_dsp::SignalPathConfig c = radio_dsp::kQv01SignalPath;
    c.spectrum = false;
    c.rate.lower_threshold = Receiver::kLowerFill;
    c.rate.upper_threshold = Receiver::kUpperFill;
    return c;
}

double dbfs(double amplitude) { return 20 * std::log10(std::max(amplitude, 1e-10) / 32767.0); }

}  // namespace

Receiver::Receiver(const ReceiverSettings& settings)
    : settings_(settings), path_(path_config()), source_(*this) {}

Receiver::~Receiver() {
    stop();
    board_.reset();
}

int Receiver::open(std::string* error, std::string* warning) {
    error->clear();
    warning->clear();
    qv::LinkProfile profile = qv::kLibusb1Profile;
    profile.announce_stream_thread = false;
    std::string open_error;
    {
        Silenced out(STDOUT_FILENO), err(STDERR_FILENO);
        board_ =
            create_board_on(qv::open_libusb1_port(qv::kFx2Vendor, qv::kFx2Product, &open_error),
                            settings_.firmware.c_str(), profile, error);
    }
    if (!board_) {
        if (error->empty())
            *error = !open_error.empty()
                         ? open_error
                         : "No board: no USB device 04b4:8613 was found (for the virtual board run "
                           "qv-virtual-board -- qv-radio ...).";
        return -ENODEV;
    }

    // Connect, as the connect panel does it.
    BoardDescriptor descriptor;
    descriptor.vendor = qv::kFx2Vendor;
    descriptor.product = qv::kFx2Product;
    int rc = board_->send_cmd2(10);
    if (rc >= 0) rc = board_->send_cmd15(0, 2);
    if (rc >= 0) rc = board_->get_board_descriptor(descriptor);
    if (rc >= 0) rc = board_->send_cmd1(0, 0, 2, 13);
    if (rc >= 0) rc = board_->bridge_write(qv::kSpaceBoard, qv::kAddrBoardSetup, 0x4000);
    if (rc >= 0) rc = board_->select_chip(0);
    if (rc >= 0) rc = board_->set_bus_timing(10);
    if (rc < 0) {
        *error = board_lost_text(rc);
        return rc;
    }

    // Radio on: configure and start the receiver.
    ConfigureReport report;
    {
        Silenced out(STDOUT_FILENO), err(STDERR_FILENO);
        rc = configure_chip(board_.get(), settings_.config, {}, &report);
    }
    if (rc < 0) {
        *error = report.error;
        return rc;
    }
    started_ = true;
    *warning = report.summary();
    dropped_bytes_at_start_ = board_->dropped_bytes();
    input_rate_hz_ = radio_dsp::kQv01NcoClockHz / board_->decimation();

    decoder_ = std::make_unique<radio_dsp::StereoDecoder>(input_rate_hz_, settings_.deemphasis_us);
    decoder_->set_forced_mono(settings_.mono);
    path_.set_source(&source_);
    path_.set_register_writer(radio_dsp::board_register_writer(board_.get()));
    path_.set_observer(this);
    path_.set_frequency(settings_.frequency_hz);
    if (board_->device_lost()) {
        *error = kBoardGone;
        return qv::kErrDeviceLost;
    }
    return 0;
}

int Receiver::wait_for_stream(double timeout_s, std::string* error) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
    for (;;) {
        if (board_->device_lost()) {
            *error = kBoardGone;
            return qv::kErrDeviceLost;
        }
        const int queued = board_->samples_available();
        if (queued >= kStartFrames) return 0;
        if (std::chrono::steady_clock::now() >= end) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "The board delivered no sample stream: %d frames queued after %g s.",
                          queued, timeout_s);
            *error = text;
            return -ETIMEDOUT;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void Receiver::produce(int16_t* out) {
    path_.produce_audio(out, false, settings_.afc);
    decoder_->mix(out);
    for (int i = 0; i < 2 * radio_dsp::kAudioFrames; ++i)
        peak_ = std::max(peak_, std::abs(static_cast<int>(out[i])));
}

void Receiver::rate_matched(int, int, int) {
    // After rate matching, before the resampler runs: the ring holds every
    // sample of this run and the resampler the block's start.
    decoder_->follow(path_.ring());
    decoder_->resample(path_.resampler());
}

void Receiver::tune(double frequency_hz) {
    settings_.frequency_hz = frequency_hz;
    path_.set_frequency(frequency_hz);
}

void Receiver::stop() {
    if (!started_) return;
    started_ = false;
    if (board_->device_lost()) return;
    board_->write_reg(qv01::kRegControl, 0);
    board_->stream_control(0, 0);
}

Health Receiver::health() {
    Health h;
    h.tuned_hz = settings_.frequency_hz;
    h.afc = settings_.afc;
    h.afc_hz = path_.frequency_hz() - settings_.frequency_hz;
    h.carrier_dbfs = dbfs(path_.discriminator().mean_magnitude);
    h.peak_dbfs = peak_ > 0 ? dbfs(peak_) : -200.0;
    peak_ = 0;
    if (decoder_) {
        h.stereo = decoder_->stereo();
        h.mono_forced = decoder_->forced_mono();
        h.pilot = decoder_->pilot().locked();
        h.pilot_percent = 100.0 * decoder_->pilot().pilot_level();
        h.snr_db = decoder_->snr_db();
    }
    if (board_) {
        const uint64_t dropped = board_->dropped_bytes() - dropped_bytes_at_start_;
        h.ring_drops = dropped / std::max(1, board_->profile().stream_read_bytes);
    }
    h.rate_ppm = path_.step_deviation_ppm();
    h.underruns = path_.underruns();
    return h;
}

int Receiver::Source::samples_available() { return r_.board_->samples_available(); }

int Receiver::Source::read_stream(int queue, int n, unsigned char* dst) {
    const int rc = r_.board_->read_stream(queue, n, dst);
    if (rc == 0 && r_.tap_) r_.tap_(dst, n);
    return rc;
}

}  // namespace qvradio
