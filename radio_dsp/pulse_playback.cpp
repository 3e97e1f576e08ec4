#include "pulse_playback.h"

#include <cerrno>

const pa_sample_spec PulsePlayback::kSpec{PA_SAMPLE_S16LE, 44100, 2};

namespace {

// Waits, mainloop lock held, until a context or stream (whose state callback
// signals the mainloop) is ready: true, or false once its state is bad.
template <typename Object, typename State>
bool wait_until_ready(pa_threaded_mainloop* loop, const Object* object,
                      State (*state_of)(const Object*), int (*is_good)(State), State ready) {
    for (State st; (st = state_of(object)) != ready; pa_threaded_mainloop_wait(loop))
        if (!is_good(st)) return false;
    return true;
}

}  // namespace

void PulsePlayback::context_state_cb(pa_context* c, void* self) {
    static_cast<PulsePlayback*>(self)->state_changed(PA_CONTEXT_IS_GOOD(pa_context_get_state(c)));
}

void PulsePlayback::stream_state_cb(pa_stream* s, void* self) {
    static_cast<PulsePlayback*>(self)->state_changed(PA_STREAM_IS_GOOD(pa_stream_get_state(s)));
}

void PulsePlayback::state_changed(bool good) {
    // Before open() returns, it sees a bad state itself.
    if (ready_ && !good) {
        ready_ = false;
        if (hooks_.lost) hooks_.lost(hooks_.user);
    }
    pa_threaded_mainloop_signal(loop_, 0);
}

const char* PulsePlayback::server_error() const {
    return pa_strerror(context_ ? pa_context_errno(context_) : PA_ERR_UNKNOWN);
}

int PulsePlayback::open(const std::string& client, const std::string& stream_name,
                        const pa_buffer_attr& attr, pa_stream_flags_t flags,
                        const PulsePlaybackHooks& hooks) {
    if (loop_) return -EALREADY;
    error_.clear();
    hooks_ = hooks;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
        if (loop_) pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        error_ = "cannot start the sound server's thread";
        return -EIO;
    }
    lock();
    int rc = 0;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), client.c_str());
    if (!context_) {
        error_ = "cannot create a sound server connection";
        rc = -EIO;
    } else {
        pa_context_set_state_callback(context_, context_state_cb, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            !wait_until_ready(loop_, context_, pa_context_get_state, PA_CONTEXT_IS_GOOD,
                              PA_CONTEXT_READY)) {
            error_ = std::string("sound server: ") + server_error();
            rc = -ECONNREFUSED;
        }
    }
    if (rc == 0) {
        stream_ = pa_stream_new(context_, stream_name.c_str(), &kSpec, nullptr);
        if (stream_) {
            pa_stream_set_state_callback(stream_, stream_state_cb, this);
            pa_stream_set_write_callback(stream_, hooks_.write, hooks_.user);
            if (hooks_.underflow)
                pa_stream_set_underflow_callback(stream_, hooks_.underflow, hooks_.user);
            if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0 ||
                !wait_until_ready(loop_, stream_, pa_stream_get_state, PA_STREAM_IS_GOOD,
                                  PA_STREAM_READY))
                rc = -EIO;
        } else {
            rc = -EIO;
        }
        if (rc != 0) error_ = std::string("playback stream: ") + server_error();
    }
    ready_ = rc == 0;
    unlock();
    if (rc != 0) close();
    return rc;
}

void PulsePlayback::teardown_locked() {
    ready_ = false;
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
        pa_stream_set_underflow_callback(stream_, nullptr, nullptr);
        pa_stream_disconnect(stream_);
        pa_stream_unref(stream_);
        stream_ = nullptr;
    }
    if (context_) {
        pa_context_set_state_callback(context_, nullptr, nullptr);
        pa_context_disconnect(context_);
        pa_context_unref(context_);
        context_ = nullptr;
    }
}

void PulsePlayback::close() {
    if (!loop_) return;
    lock();
    teardown_locked();
    unlock();
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}
