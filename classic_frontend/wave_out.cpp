#include "wave_out.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace classic {

namespace {

constexpr pa_sample_spec kSpec{PA_SAMPLE_S16LE, kWaveRate, kWaveChannels};
constexpr double kBytesPerSecond = double(kWaveRate) * kWaveFrameBytes;
// Poll of the playback position: never longer than this while buffers are
// queued (a done is at most this late), never shorter than kMinPollUs.
constexpr pa_usec_t kMaxPollUs = 20000;
constexpr pa_usec_t kMinPollUs = 2000;
constexpr pa_usec_t kIdlePollUs = 50000;

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

WaveOut::~WaveOut() { close(); }

void WaveOut::context_state_cb(pa_context*, void* self) {
    pa_threaded_mainloop_signal(static_cast<WaveOut*>(self)->loop_, 0);
}

void WaveOut::stream_state_cb(pa_stream* s, void* self) {
    auto* w = static_cast<WaveOut*>(self);
    const pa_stream_state_t st = pa_stream_get_state(s);
    if (w->ready_ && !PA_STREAM_IS_GOOD(st)) {
        // Lost while playing: say so once; the buffers in flight are gone.
        w->ready_ = false;
        w->error_ = std::string("sound output lost: ") + pa_strerror(pa_context_errno(w->context_));
        for (WaveHeader* h : w->queue_) h->queued = false;
        w->queue_.clear();
        if (w->failed_) w->failed_();
    }
    pa_threaded_mainloop_signal(w->loop_, 0);
}

void WaveOut::stream_write_cb(pa_stream*, size_t nbytes, void* self) {
    static_cast<WaveOut*>(self)->feed(nbytes);
}

void WaveOut::stream_underflow_cb(pa_stream*, void* self) {
    auto* w = static_cast<WaveOut*>(self);
    // The server's queue ran dry: everything handed over has gone to the
    // sink. The position stops there (the sink goes on reporting its own
    // latency), so when no buffer waits to be fed the queued ones count as
    // played, at most one sink latency early.
    const bool all_fed = std::all_of(w->queue_.begin(), w->queue_.end(),
                                     [](const WaveHeader* h) { return h->fed == h->length; });
    if (!w->queue_.empty()) ++w->underflows_;
    if (all_fed) {
        w->drained_ = true;
        w->complete_played();
    }
}

void WaveOut::poll_cb(pa_mainloop_api*, pa_time_event*, const struct timeval*, void* self) {
    auto* w = static_cast<WaveOut*>(self);
    w->complete_played();
    // Fresh figures while buffers are due; their answer completes them too.
    if (!w->queue_.empty()) w->request_timing();
    w->arm_poll();
}

int WaveOut::open(DoneCallback done, FailCallback failed, const std::string& client_name) {
    if (loop_) return -EALREADY;
    error_.clear();
    done_ = std::move(done);
    failed_ = std::move(failed);
    loop_ = pa_threaded_mainloop_new();
    if (!loop_) {
        error_ = "cannot create the audio thread";
        return -EIO;
    }
    if (pa_threaded_mainloop_start(loop_) < 0) {
        pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        error_ = "cannot start the audio thread";
        return -EIO;
    }
    pa_threaded_mainloop_lock(loop_);
    int rc = 0;
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), client_name.c_str());
    if (!context_) {
        error_ = "cannot create a sound server connection";
        rc = -EIO;
    } else {
        pa_context_set_state_callback(context_, context_state_cb, this);
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            !wait_until_ready(loop_, context_, pa_context_get_state, PA_CONTEXT_IS_GOOD,
                              PA_CONTEXT_READY))
            rc = -ECONNREFUSED;
        if (rc != 0)
            error_ = std::string("sound server: ") + pa_strerror(pa_context_errno(context_));
    }
    if (rc == 0) {
        stream_ = pa_stream_new(context_, "tunerdesk playback", &kSpec, nullptr);
        if (!stream_) {
            error_ = std::string("playback stream: ") + pa_strerror(pa_context_errno(context_));
            rc = -EIO;
        }
    }
    if (rc == 0) {
        pa_stream_set_state_callback(stream_, stream_state_cb, this);
        pa_stream_set_write_callback(stream_, stream_write_cb, this);
        pa_stream_set_underflow_callback(stream_, stream_underflow_cb, this);
        // One buffer of target length: the server never holds much more than
        // what is playing, so the done rhythm stays close to the ear.
        pa_buffer_attr attr;
        attr.maxlength = static_cast<uint32_t>(-1);
        attr.tlength = kWaveBufferBytes;
        attr.prebuf = static_cast<uint32_t>(-1);
        attr.minreq = static_cast<uint32_t>(-1);
        attr.fragsize = static_cast<uint32_t>(-1);
        const auto flags =
            static_cast<pa_stream_flags_t>(PA_STREAM_AUTO_TIMING_UPDATE | PA_STREAM_ADJUST_LATENCY);
        if (pa_stream_connect_playback(stream_, nullptr, &attr, flags, nullptr, nullptr) < 0 ||
            !wait_until_ready(loop_, stream_, pa_stream_get_state, PA_STREAM_IS_GOOD,
                              PA_STREAM_READY))
            rc = -EIO;
        if (rc != 0)
            error_ = std::string("playback stream: ") + pa_strerror(pa_context_errno(context_));
    }
    if (rc == 0) {
        ready_ = true;
        poll_event_ =
            pa_context_rttime_new(context_, pa_rtclock_now() + kIdlePollUs, poll_cb, this);
        pa_threaded_mainloop_unlock(loop_);
        return 0;
    }
    teardown_locked();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
    return rc;
}

int WaveOut::prepare(WaveHeader* h) {
    if (!h || !h->data || h->length <= 0 || h->length % kWaveFrameBytes != 0) return -EINVAL;
    h->prepared = true;
    return 0;
}

int WaveOut::write(WaveHeader* h) {
    if (!h || !h->prepared) return -EINVAL;
    if (!loop_) return -ENODEV;
    pa_threaded_mainloop_lock(loop_);
    int rc = 0;
    if (!stream_ || pa_stream_get_state(stream_) != PA_STREAM_READY) {
        rc = -ENODEV;
    } else if (h->queued) {
        rc = -EBUSY;
    } else {
        h->queued = true;
        h->fed = 0;
        h->end_offset = 0;
        queue_.push_back(h);
        drained_ = false;
        feed(0);
        arm_poll();
    }
    pa_threaded_mainloop_unlock(loop_);
    return rc;
}

void WaveOut::feed(size_t) {
    if (!stream_) return;
    size_t writable = pa_stream_writable_size(stream_);
    if (writable == static_cast<size_t>(-1)) return;
    for (WaveHeader* h : queue_) {
        if (writable == 0) break;
        if (h->fed == h->length) continue;
        const size_t n = std::min<size_t>(writable, static_cast<size_t>(h->length - h->fed));
        // No free callback: the server's library copies the bytes.
        if (pa_stream_write(stream_, reinterpret_cast<const uint8_t*>(h->data) + h->fed, n, nullptr,
                            0, PA_SEEK_RELATIVE) < 0)
            return;
        h->fed += static_cast<int64_t>(n);
        write_offset_ += static_cast<int64_t>(n);
        writable -= n;
        if (h->fed == h->length) h->end_offset = write_offset_;
    }
}

int64_t WaveOut::position_locked() {
    if (!stream_) return -1;
    const pa_timing_info* ti = pa_stream_get_timing_info(stream_);
    if (!ti || ti->read_index_corrupt) return played_;
    // What the sink input has taken, less what still sits in the sink's
    // buffer, plus the time since the figures were taken while it plays. The
    // library's own interpolation runs on before the sink has taken anything
    // (an idle sink may hold seconds of silence first), so it is not used.
    int64_t pos = ti->read_index - static_cast<int64_t>(pa_usec_to_bytes(ti->sink_usec, &kSpec));
    if (ti->playing)
        pos += static_cast<int64_t>(pa_usec_to_bytes(pa_timeval_age(&ti->timestamp), &kSpec));
    pos = std::min(pos, write_offset_);
    if (pos > played_) played_ = pos;  // never backwards between updates
    return played_;
}

void WaveOut::timing_cb(pa_stream*, int, void* self) {
    auto* w = static_cast<WaveOut*>(self);
    w->timing_pending_ = false;
    w->complete_played();
}

void WaveOut::request_timing() {
    if (timing_pending_ || !stream_) return;
    if (pa_operation* op = pa_stream_update_timing_info(stream_, timing_cb, this)) {
        timing_pending_ = true;
        pa_operation_unref(op);
    }
}

void WaveOut::complete_played() {
    const int64_t pos = position_locked();
    while (!queue_.empty()) {
        WaveHeader* h = queue_.front();
        if (h->fed != h->length) break;
        if (!drained_ && (pos < 0 || pos < h->end_offset)) break;
        queue_.pop_front();
        h->queued = false;
        if (done_) done_(h);
    }
}

void WaveOut::arm_poll() {
    if (!poll_event_ || !context_) return;
    pa_usec_t wait = kIdlePollUs;
    if (!queue_.empty()) {
        wait = kMaxPollUs;
        const WaveHeader* h = queue_.front();
        const int64_t pos = position_locked();
        if (h->fed == h->length && pos >= 0) {
            const double due_s = double(h->end_offset - pos) / kBytesPerSecond;
            wait = std::clamp<pa_usec_t>(static_cast<pa_usec_t>(std::max(0.0, due_s) * 1e6),
                                         kMinPollUs, kMaxPollUs);
        }
    }
    pa_context_rttime_restart(context_, poll_event_, pa_rtclock_now() + wait);
}

void WaveOut::teardown_locked() {
    ready_ = false;
    for (WaveHeader* h : queue_) h->queued = false;
    queue_.clear();
    if (poll_event_) {
        pa_threaded_mainloop_get_api(loop_)->time_free(poll_event_);
        poll_event_ = nullptr;
    }
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

void WaveOut::close() {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    teardown_locked();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
}

int WaveOut::in_flight() {
    if (!loop_) return 0;
    pa_threaded_mainloop_lock(loop_);
    const int n = static_cast<int>(queue_.size());
    pa_threaded_mainloop_unlock(loop_);
    return n;
}

bool WaveOut::is_queued(const WaveHeader* h) {
    if (!loop_ || !h) return false;
    pa_threaded_mainloop_lock(loop_);
    const bool q = h->queued;
    pa_threaded_mainloop_unlock(loop_);
    return q;
}

int64_t WaveOut::played_bytes() {
    if (!loop_) return -1;
    pa_threaded_mainloop_lock(loop_);
    const int64_t p = position_locked();
    pa_threaded_mainloop_unlock(loop_);
    return p;
}

int WaveOut::underflows() {
    if (!loop_) return 0;
    pa_threaded_mainloop_lock(loop_);
    const int n = underflows_;
    pa_threaded_mainloop_unlock(loop_);
    return n;
}

}  // namespace classic
