// Playback through PulseAudio (the simple API) on a thread of its own, and
// the clock of the audio runs: the thread asks for the next block only when
// the server holds no more than a small margin of audio, so each block is
// made just before it is needed and waits no longer than that margin.
//
// Threads: open, wait_due, submit, close and error from one thread (the
// main thread); the playback thread "qv-pulse" only talks to the server.
#pragma once

#include <pulse/simple.h>

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace qvradio {

// The pace of the audio runs: a sound output, or a steady clock when only
// recording.
class AudioClock {
  public:
    virtual ~AudioClock() = default;
    // Waits up to `timeout_ms` until the next block is due. Returns 1 when it
    // is, 0 on timeout, or a negative error number when the output failed
    // (error() says why).
    virtual int wait_due(int timeout_ms) = 0;
    // The block that was due: `frames` stereo frames, copied.
    virtual void submit(const int16_t* frames, int count) = 0;
    virtual std::string error() const { return std::string(); }
};

// Blocks due at a steady 44.1 kHz from the first wait on (recording only).
class SteadyClock : public AudioClock {
  public:
    explicit SteadyClock(int frames_per_block) : block_frames_(frames_per_block) {}
    int wait_due(int timeout_ms) override;
    void submit(const int16_t*, int count) override { submitted_ += count; }

  private:
    int block_frames_;
    bool started_ = false;
    double start_s_ = 0.0;
    uint64_t submitted_ = 0;  // frames
};

class PulseOutput : public AudioClock {
  public:
    // Audio the server may hold when the next block is asked for: what is
    // left to play while the block is made (well under a millisecond of
    // work, and the wake-up of a busy machine).
    static constexpr double kMarginS = 0.020;

    PulseOutput() = default;
    ~PulseOutput() override;  // close(false)
    PulseOutput(const PulseOutput&) = delete;
    PulseOutput& operator=(const PulseOutput&) = delete;

    // Connects to the default server and sink (44.1 kHz, stereo, 16 bit) and
    // starts the playback thread, which asks for blocks of `block_frames`.
    // Returns 0, or -EPIPE with `*error` one sentence (no server, refused).
    int open(const char* stream_name, int block_frames, std::string* error);

    int wait_due(int timeout_ms) override;
    void submit(const int16_t* frames, int count) override;
    // "The sound server ..." sentence once the output failed, else empty.
    std::string error() const override;

    // Stops the playback thread (after what was submitted has been written)
    // and disconnects; with `drain`, first waits until the server has played
    // it (a second or so at most). Safe to call twice.
    void close(bool drain);

  private:
    void run();
    void fail(const char* what, int pa_error);

    pa_simple* stream_ = nullptr;
    int block_frames_ = 0;
    std::thread thread_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    // Guarded by mutex_.
    bool due_ = false;        // the thread waits for a block
    bool submitted_ = false;  // block_ holds the block it waits for
    bool quit_ = false;
    bool failed_ = false;
    std::string error_;
    std::vector<int16_t> block_;
};

}  // namespace qvradio
