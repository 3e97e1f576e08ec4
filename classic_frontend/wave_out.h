// Wave output of tunerdesk: the default sound output (44.1 kHz, 2 channels,
// signed 16-bit little-endian) fed with caller-owned 16384-byte buffers, each
// handed back through a "done" callback once the sound card has PLAYED it.
//
// Pacing: buffers go to the server only as fast as it asks for data (target
// latency one buffer), and a buffer counts as done when the stream's playback
// position (the server's read index less the sink's latency, advanced by the
// time since those figures while the sink plays) has passed its last byte. The done rhythm
// therefore follows the audio clock whatever the server's buffering: with two buffers in flight one
// done arrives every 4096 frames, 92.9 ms.
//
// Threads: open, prepare, write and close may be called from any one thread
// (the GUI thread in the program). The done callback runs on the audio
// thread with the output's internal lock held: it must not call back into
// WaveOut; it should only hand the buffer over (the form posts an event).
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>

#include "pulse_playback.h"

namespace classic {

constexpr int kWaveRate = 44100;
constexpr int kWaveChannels = 2;
constexpr int kWaveFrameBytes = 4;
constexpr int kWaveBufferBytes = 16384;  // 4096 stereo frames, 92.9 ms

// One audio buffer, owned by the caller; the output only borrows it between
// write() and its done callback.
struct WaveHeader {
    int16_t* data = nullptr;  // interleaved left, right
    int length = 0;           // bytes, a whole number of frames
    bool prepared = false;
    bool queued = false;  // between write() and done
    // Output bookkeeping while queued.
    int64_t fed = 0;         // bytes of this buffer handed to the server
    int64_t end_offset = 0;  // stream byte offset just past its last byte, once fed
};

class WaveOut {
  public:
    using DoneCallback = std::function<void(WaveHeader*)>;
    // The stream was lost after a successful open (server gone, stream
    // killed): audio thread, lock held, once. Buffers then queued never come
    // back; error_text() says why; close() and open() again to recover.
    using FailCallback = std::function<void()>;

    WaveOut() = default;
    WaveOut(const WaveOut&) = delete;
    WaveOut& operator=(const WaveOut&) = delete;
    // Closes the output (no callbacks after it returns).
    ~WaveOut();

    // Connects to the sound server and opens a playback stream on its default
    // sink. Returns 0, -EALREADY when open, -ECONNREFUSED when the server
    // cannot be reached, -EIO when the stream cannot be set up; error_text()
    // then says why. `client_name` names the program to the server.
    [[nodiscard]] int open(DoneCallback done, FailCallback failed = {},
                           const std::string& client_name = "tunerdesk");
    bool is_open() const { return playback_.is_open(); }
    // Text of the last failure (open or lost stream). Not while the audio
    // thread may be failing the stream: read it after the fail callback.
    const std::string& error_text() const { return error_; }

    // Checks a buffer for use: data set, length a positive multiple of 4.
    // Returns 0 or -EINVAL.
    int prepare(WaveHeader* h);

    // Queues a prepared buffer behind those in flight. Returns 0, -ENODEV when
    // the output is not open, -EINVAL when not prepared, -EBUSY when the
    // buffer is still queued (it is left as it is).
    int write(WaveHeader* h);

    // Disconnects and frees the stream and the server connection, then stops
    // the audio thread. Buffers still queued are dropped without a done
    // callback. Idempotent.
    void close();

    // Buffers written and not yet done.
    int in_flight();
    // Whether h is written and not yet done (a done notification still on its
    // way to the caller may be stale when this is true).
    bool is_queued(const WaveHeader* h);
    // Bytes the sound card has played since the stream was opened (the
    // playback clock), or -1 when not open or not known yet.
    int64_t played_bytes();
    // Times the server ran out of data while buffers were expected.
    int underflows();

  private:
    static void lost_cb(void* self);
    static void stream_write_cb(pa_stream* s, size_t nbytes, void* self);
    static void stream_underflow_cb(pa_stream* s, void* self);
    static void timing_cb(pa_stream* s, int success, void* self);
    static void poll_cb(::pa_mainloop_api* api, pa_time_event* e, const struct timeval* tv,
                        void* self);

    // All below: with the mainloop lock held.
    void feed(size_t nbytes);
    void complete_played();
    int64_t position_locked();
    void arm_poll();
    void request_timing();

    PulsePlayback playback_;
    pa_stream* stream_ = nullptr;  // playback_'s while open
    pa_time_event* poll_event_ = nullptr;
    DoneCallback done_;
    FailCallback failed_;
    std::deque<WaveHeader*> queue_;  // in write order
    int64_t write_offset_ = 0;       // bytes handed to the server so far
    int underflows_ = 0;
    int64_t played_ = 0;           // playback position, bytes
    bool timing_pending_ = false;  // a timing update is on its way
    bool drained_ = false;         // server played everything it had (underflow)
    std::string error_;
};

}  // namespace classic
