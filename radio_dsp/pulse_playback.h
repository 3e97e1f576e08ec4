// A playback stream on the PulseAudio server's default sink (44.1 kHz,
// 2 channels, signed 16-bit little-endian) with its own threaded mainloop:
// the connecting, waiting and tearing down that the programs' sound outputs
// share. Plain C++ over libpulse.
//
// Threads: open and close from one thread. The mainloop thread runs the hooks
// with the mainloop lock held; the owner takes that lock (lock()/unlock())
// around its own use of stream() and context().
#pragma once

#include <pulse/pulseaudio.h>

#include <string>

struct PulsePlaybackHooks {
    void* user = nullptr;
    // The server or the stream went away after open() succeeded: once.
    void (*lost)(void* user) = nullptr;
    // The server takes nbytes more (pa_stream_set_write_callback).
    pa_stream_request_cb_t write = nullptr;
    // The server's queue ran dry; may be null.
    pa_stream_notify_cb_t underflow = nullptr;
};

class PulsePlayback {
  public:
    PulsePlayback() = default;
    PulsePlayback(const PulsePlayback&) = delete;
    PulsePlayback& operator=(const PulsePlayback&) = delete;
    ~PulsePlayback() { close(); }

    // Starts the mainloop thread, connects as `client` (no autospawn: the
    // session starts servers, not a radio) and opens the stream, waiting
    // until both are ready. Returns 0, -EALREADY when open, -ECONNREFUSED
    // when no server answers, -EIO when the thread or the stream cannot be
    // set up; error() then says why and nothing is left open.
    [[nodiscard]] int open(const std::string& client, const std::string& stream_name,
                           const pa_buffer_attr& attr, pa_stream_flags_t flags,
                           const PulsePlaybackHooks& hooks);
    // Disconnects and frees the stream and the connection, then stops the
    // thread: no hook runs after it returns. Idempotent.
    void close();
    bool is_open() const { return loop_ != nullptr; }

    void lock() { pa_threaded_mainloop_lock(loop_); }
    void unlock() { pa_threaded_mainloop_unlock(loop_); }
    pa_threaded_mainloop* loop() const { return loop_; }
    pa_context* context() const { return context_; }
    pa_stream* stream() const { return stream_; }
    // The server's text for its last error (lock held).
    const char* server_error() const;
    // Why open() failed.
    const std::string& error() const { return error_; }

    static const pa_sample_spec kSpec;

  private:
    static void context_state_cb(pa_context* c, void* self);
    static void stream_state_cb(pa_stream* s, void* self);
    // Lock held: a state change; a bad one after open() is a loss.
    void state_changed(bool good);
    void teardown_locked();

    pa_threaded_mainloop* loop_ = nullptr;
    pa_context* context_ = nullptr;
    pa_stream* stream_ = nullptr;
    PulsePlaybackHooks hooks_;
    bool ready_ = false;  // open() succeeded and no loss was reported since
    std::string error_;
};
