// The QV01 board as an I/Q receiver: the core of the SoapySDR driver, free of
// SoapySDR's types. It opens a board through the board link, downloads the
// firmware, identifies board and chip, configures channel 0 for a sample
// rate through the configuration agent, tunes, sets the gain and hands out
// the stream as true complex baseband.
//
// Sign convention: the chip's channel is spectrally inverted (its NCO mixes
// with e^{+jwn}, so a carrier above the tuning lands at a negative
// frequency). The receiver hands out each frame with I and Q swapped, the
// conjugate turned by 90 degrees: a carrier above the tuning appears at a
// positive frequency, at every tuning.
//
// Threads: one control thread (rates, tuning, gain, sensors, activation) and
// one reader thread (read()) may call at the same time; each kind of call is
// serialised among its own kind. Register traffic runs under the control
// lock, the stream ring is read under the stream lock; a call that needs
// both (activate, deactivate, a rate change while active) takes the stream
// lock first. read() holds no lock while it waits, so control calls are
// never held up by a waiting reader for longer than one ring copy, and it
// waits for a control call that holds the stream lock no longer than its
// time-out.
//
// Errors: every operation returns 0 (or a count) or a negative error number;
// -ENODEV once the board is gone (unplugged), which stays so.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qv_board.h"
#include "usb_port_libusb1.h"

namespace qv01soapy {

// What to open and with which files.
struct OpenOptions {
    int bus = -1;            // USB bus of the board; -1: any
    int address = -1;        // USB address on that bus; -1: any
    std::string firmware;    // FX2 image; empty: default_firmware()
    std::string config_dir;  // rate configurations; empty: default_config_directory()
    double clock_hz = 66e6;  // the chip's clock, for rates and tuning words
};

// What open() found out about the board.
struct Identity {
    int bus = 0;
    int address = 0;
    uint32_t fx2_firmware_id = 0;  // bridge register (2, 0)
    uint32_t chip_id = 0;          // chip register 1 (0x5101 for the QV01)
    BoardDescriptor descriptor;    // command 12: serial number, board class, firmware version
    std::string firmware;          // the image that was downloaded
    std::string config_dir;
};

// Lists the boards on the bus (04b4:8613, with or without firmware) without
// opening them. 0, or a negative error number when the bus cannot be listed.
int find_boards(std::vector<qv::UsbLocation>* found);

enum class SampleFormat {
    cs16,  // complex int16, full scale 32768 (the chip's own samples)
    cf32,  // complex float, full scale 1.0
    cs8,   // complex int8, the top 8 bits of each value
};

// Where a block of read() samples lies in time.
struct StreamTime {
    long long time_ns = 0;  // of the block's first frame, counted from the first frame since
                            // activation; frames the ring dropped are counted in
};

class Receiver {
  public:
    // Result of read() when the ring dropped frames since the last read
    // (the board's stream outran the reader): reported once, after which
    // the stream continues from what arrives next.
    static constexpr int kOverflow = -EOVERFLOW;
    // Result of read() when no frame came within the time-out.
    static constexpr int kTimeout = -ETIMEDOUT;
    // Frames per read at most (and the MTU): four 16 KiB blocks of the ring.
    static constexpr int kMaxReadFrames = 16384;
    // Gain of the chip's I/Q gain stage ("DIGITAL"), dB: 0 dB is I = 16384.
    static constexpr double kGainMinDb = -60.0;
    static constexpr double kGainMaxDb = 6.0;  // I = 32690, the largest in 16 bits
    // Tuning range: the first six Nyquist zones of the ADC (3 x clock, 198 MHz
    // at 66 MHz); the NCO takes every frequency modulo the clock.
    static constexpr double kZonesInRange = 6.0;

    // Opens the board (the first one, or the one at options.bus/address),
    // downloads the firmware, identifies board and chip (the Connect
    // sequence of the programs: bridge set-up, firmware and chip identifier,
    // bus timing, both control lines high) and configures the default rate
    // (203.7 kHz at 66 MHz) tuned to 100 MHz with 0 dB gain. Returns 0 with
    // `*out` set, or a negative error number with a sentence for the user in
    // `*error`: -ENODEV no board (at that bus/address), the board link's error
    // when it could not be opened or the firmware not loaded, -ENOENT no
    // firmware or configuration found, -ENXIO no QV01 chip answers, the
    // configuration's error.
    static int open(const OpenOptions& options, std::unique_ptr<Receiver>* out, std::string* error);

    // Stops the receiver and the stream and closes the board.
    ~Receiver();
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    const Identity& identity() const { return identity_; }
    double clock_hz() const { return clock_hz_; }

    // ---- control thread ----------------------------------------------------

    // The offered rates at this clock, ascending.
    std::vector<double> sample_rates() const;
    // Configures the listed rate nearest `rate_hz` (its configuration file
    // through the configuration agent), then writes tuning and gain again;
    // while active, the receiver is stopped around it and started again, and
    // the frames of the old rate are dropped. Returns 0 or a negative error
    // number (the receiver is then left stopped).
    int set_sample_rate(double rate_hz);
    double sample_rate() const;
    // Width of the band flat within 0.5 dB around 0 Hz: 80 % of the rate.
    double flat_bandwidth() const;
    // Last error of a configuration run, one sentence; empty after a good run.
    const std::string& configuration_error() const { return configuration_error_; }

    // Tunes to `freq_hz` (clamped to the tuning range): the NCO word for the
    // frequency modulo the corrected clock, taken phase-continuously while
    // running. 0 or a negative error number.
    int set_frequency(double freq_hz);
    // The frequency tuned: the one asked for, to the NCO's resolution.
    double frequency() const;
    double max_frequency() const { return kZonesInRange * clock_hz_ / 2; }
    // Clock error in ppm: the NCO word is computed for clock * (1 + ppm/1e6)
    // and written again. The listed rates and time stamps stay nominal.
    int set_correction_ppm(double ppm);
    double correction_ppm() const;

    // Gain of the I/Q gain stage in dB, clamped to its range. 0 or a negative
    // error number.
    int set_gain_db(double gain_db);
    double gain_db() const;

    // The chip's overflow flags of channel 0 (bits 0..4: CIC2, CICN, DFIR1,
    // DFIR2, GAIN) set since the last look; reading clears them. 0 or a
    // negative error number.
    int read_overflow_flags(uint16_t* flags);

    // Starts the stream: drops what the ring still holds of an earlier run,
    // then the chip's start sequence (overflow flags cleared, receive mode,
    // reset, coefficients, NCO sync, stream of channel 0 on, start). Time
    // stamps count from its first frame. 0 (also when already active) or a
    // negative error number.
    int activate();
    // Stops the chip (register 5 = 0x8000) and the board's stream. 0 (also
    // when not active) or a negative error number.
    int deactivate();
    bool active() const { return active_.load(std::memory_order_acquire); }

    // ---- any thread --------------------------------------------------------

    // True once the board is gone.
    bool lost() const { return board_->device_lost(); }
    // Bytes the ring dropped since the board was opened.
    uint64_t dropped_bytes() { return board_->dropped_bytes(); }

    // ---- reader thread -----------------------------------------------------

    // Reads up to `max_frames` frames (at most kMaxReadFrames) into `out` in
    // `format`, waiting up to `timeout_us` for the first one. Returns the
    // number of frames (> 0), with `*time` the time of the first; kTimeout
    // when none came (also while not active); kOverflow once after the ring
    // dropped frames (the frames still queued then are dropped too, so the
    // stream resumes near real time, and the time stamps count every frame
    // dropped); -ENODEV when the board is gone and everything that came
    // before has been read; -EINVAL for max_frames < 1.
    int read(void* out, int max_frames, SampleFormat format, long timeout_us, StreamTime* time);

  private:
    Receiver(std::unique_ptr<QV_demo_board_> board, const OpenOptions& options,
             const Identity& identity);

    // Under control_mutex_.
    int configure_locked(int plan);
    int write_tuning_locked();
    int write_gain_locked();
    int start_locked();
    int stop_locked();
    double corrected_clock_locked() const;
    // Under stream_mutex_: drops what the ring holds once it has stopped
    // growing (the last transfers of an earlier run), returns the bytes dropped.
    int flush_ring_locked();
    // Under stream_mutex_: drops what the ring holds now; returns the bytes.
    int discard_queued_locked();
    // Under stream_mutex_: time stamps of a fresh run from 0, or (a rate
    // change) continued from where the last rate left them.
    void restart_time_locked(double rate_hz, bool continue_time);

    std::unique_ptr<QV_demo_board_> board_;
    Identity identity_;
    const double clock_hz_;

    mutable std::mutex control_mutex_;  // register traffic and the settings below
    int plan_;
    double frequency_hz_ = 100e6;
    double ppm_ = 0.0;
    double gain_db_ = 0.0;
    uint32_t nco_word_ = 0;
    std::string configuration_error_;

    std::mutex stream_mutex_;  // the ring's consumer side and the counters below
    std::atomic<bool> active_{false};
    double time_base_ns_ = 0.0;    // time of the first frame at the current rate
    double run_rate_hz_ = 0.0;     // the current rate, for the time stamps
    uint64_t frames_counted_ = 0;  // frames read or dropped at the current rate
    uint64_t dropped_seen_ = 0;    // board's dropped bytes already reported
    std::vector<uint8_t> scratch_;
};

}  // namespace qv01soapy
