// The receiver behind qv-radio: the board link, the configuration agent and
// the radio signal path as qv01_fm runs them (Connect, Radio, the processing
// run), with the stereo decoder beside the mono path and the figures of a
// health line.
//
// Threads: everything here runs on the thread that calls it (qv-radio's
// main thread), which is the only one sending commands to the board; the
// board's stream thread fills the sample ring meanwhile.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "qv_board.h"
#include "signal_path.h"
#include "stereo_decoder.h"

namespace qvradio {

struct ReceiverSettings {
    std::string firmware;         // FX2 image, relative to the working directory
    std::string config;           // chip configuration, the same
    double frequency_hz = 100e6;  // tuning
    bool afc = true;
    bool mono = false;
    double deemphasis_us = 75.0;
};

// How the stream is doing, for the health line.
struct Health {
    double tuned_hz = 0;         // the frequency asked for
    bool afc = false;            // AFC on
    double afc_hz = 0;           // the AFC's correction of it
    double carrier_dbfs = -200;  // carrier level at the chip output, 0 dB = full scale
    double peak_dbfs = -200;     // largest audio sample since the last health()
    bool stereo = false;         // the blend is at least half stereo
    bool mono_forced = false;    // --mono
    bool pilot = false;          // pilot locked
    double pilot_percent = 0;    // pilot level, % of 75 kHz deviation
    double snr_db = 0;           // mono audio SNR estimate (NaN before the first run)
    uint64_t ring_drops = 0;     // stream transfers the ring dropped since the start
    double rate_ppm = 0;         // resampling ratio against nominal
    uint64_t underruns = 0;      // runs topped up with silence since the start
};

class Receiver : private radio_dsp::SignalPathObserver {
  public:
    // The demodulated ring's fill window (see path_config in receiver.cpp).
    static constexpr int kLowerFill = 21000, kUpperFill = 25000;
    // Frames queued before the first audio run: the backlog the rate
    // matching aims at, so the first block is whole.
    static constexpr int kStartFrames = (kLowerFill + kUpperFill) / 2 + 2048;
    // What a lost board is told as, once the receiver runs.
    static constexpr const char* kBoardGone =
        "The board went away (USB device 04b4:8613 disconnected).";

    explicit Receiver(const ReceiverSettings& settings);
    // Stops the receiver when it was started (nothing is sent to a lost
    // board), then the board object goes: its stream thread is joined and the
    // USB device closed.
    ~Receiver() override;
    Receiver(const Receiver&) = delete;
    Receiver& operator=(const Receiver&) = delete;

    // Opens the first FX2 (04b4:8613) through libusb-1.0, downloads the
    // firmware, runs the Connect sequence and qv01_fm's configure-and-start
    // sequence (the register dump config.c goes to the working directory)
    // and tunes. Nothing is printed on standard output or standard error by
    // the libraries meanwhile. Returns 0; or a negative error number with
    // `*error` one sentence: no board, no permission, a firmware or
    // configuration file missing or broken (with its full path), the board
    // stopped answering. `*warning` gets the configuration's missing keys and
    // unusable files, one or two lines, when there are any.
    int open(std::string* error, std::string* warning);

    // Waits up to `timeout_s` for kStartFrames frames in the queue. Returns
    // 0, or -ETIMEDOUT / the lost board's error with `*error` set.
    int wait_for_stream(double timeout_s, std::string* error);

    // One processing run: kAudioFrames stereo frames at 44.1 kHz into out.
    void produce(int16_t* out);

    // Retunes (the AFC's correction starts again from there).
    void tune(double frequency_hz);

    // Stops the receiver and its stream: control register 0, stream off.
    // Results are not checked (the board may be gone). Once only.
    void stop();

    bool board_lost() const { return board_ && board_->device_lost(); }
    // The chip's output rate, 66 MHz / decimation.
    double input_rate_hz() const { return input_rate_hz_; }
    // Figures since the last call (peak) or since the start (counters).
    Health health();

    // Called with every block of the sample stream the path takes (4-byte
    // I/Q frames), the skipped ones too; main thread.
    void set_iq_tap(std::function<void(const unsigned char*, int)> tap) { tap_ = std::move(tap); }

    QV_demo_board_* board() { return board_.get(); }
    radio_dsp::SignalPath& path() { return path_; }
    const radio_dsp::StereoDecoder* decoder() const { return decoder_.get(); }

  private:
    // The board's queue, with the I/Q tap.
    class Source : public radio_dsp::SampleSource {
      public:
        explicit Source(Receiver& r) : r_(r) {}
        int samples_available() override;
        int read_stream(int queue, int n, unsigned char* dst) override;

      private:
        Receiver& r_;
    };

    void rate_matched(int step, int avail, int change) override;

    ReceiverSettings settings_;
    std::unique_ptr<QV_demo_board_> board_;
    radio_dsp::SignalPath path_;
    Source source_;
    std::unique_ptr<radio_dsp::StereoDecoder> decoder_;
    std::function<void(const unsigned char*, int)> tap_;
    double input_rate_hz_ = 0;
    bool started_ = false;
    uint64_t dropped_bytes_at_start_ = 0;
    int peak_ = 0;
};

}  // namespace qvradio
