#include "wave_out.h"

#include <pulse/pulseaudio.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace classic {

namespace {

constexpr const pa_sample_spec& kSpec = PulsePlayback::kSpec;
constexpr double kBytesPerSecond = double(kWaveRate) * kWaveFrameBytes;
// Poll of the playback position: never longer than this while buffers are
// queued (a done is at most this late), never shorter than kMinPollUs.
constexpr pa_usec_t kMaxPollUs = 20000;
constexpr pa_usec_t kMinPollUs = 2000;
constexpr pa_usec_t kIdlePollUs = 50000;

}  // namespace

WaveOut::~WaveOut() { close(); }

void WaveOut::lost_cb(void* self) {
    // Lost while playing: say so once; the buffers in flight are gone.
    auto* w = static_cast<WaveOut*>(self);
    w->error_ = std::string("sound output lost: ") + w->playback_.server_error();
    for (WaveHeader* h : w->queue_) h->queued = false;
    w->queue_.clear();
    if (w->failed_) w->failed_();
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
    if (playback_.is_open()) return -EALREADY;
    error_.clear();
    done_ = std::move(done);
    failed_ = std::move(failed);
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
    PulsePlaybackHooks hooks;
    hooks.user = this;
    hooks.lost = lost_cb;
    hooks.write = stream_write_cb;
    hooks.underflow = stream_underflow_cb;
    const int rc = playback_.open(client_name, "tunerdesk playback", attr, flags, hooks);
    if (rc != 0) {
        error_ = playback_.error();
        return rc;
    }
    playback_.lock();
    stream_ = playback_.stream();
    poll_event_ =
        pa_context_rttime_new(playback_.context(), pa_rtclock_now() + kIdlePollUs, poll_cb, this);
    playback_.unlock();
    return 0;
}

int WaveOut::prepare(WaveHeader* h) {
    if (!h || !h->data || h->length <= 0 || h->length % kWaveFrameBytes != 0) return -EINVAL;
    h->prepared = true;
    return 0;
}

int WaveOut::write(WaveHeader* h) {
    if (!h || !h->prepared) return -EINVAL;
    if (!playback_.is_open()) return -ENODEV;
    playback_.lock();
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
    playback_.unlock();
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
    if (!poll_event_) return;
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
    pa_context_rttime_restart(playback_.context(), poll_event_, pa_rtclock_now() + wait);
}

void WaveOut::close() {
    if (!playback_.is_open()) return;
    playback_.lock();
    for (WaveHeader* h : queue_) h->queued = false;
    queue_.clear();
    if (poll_event_) {
        pa_threaded_mainloop_get_api(playback_.loop())->time_free(poll_event_);
        poll_event_ = nullptr;
    }
    stream_ = nullptr;
    playback_.unlock();
    playback_.close();
}

int WaveOut::in_flight() {
    if (!playback_.is_open()) return 0;
    playback_.lock();
    const int n = static_cast<int>(queue_.size());
    playback_.unlock();
    return n;
}

bool WaveOut::is_queued(const WaveHeader* h) {
    if (!playback_.is_open() || !h) return false;
    playback_.lock();
    const bool q = h->queued;
    playback_.unlock();
    return q;
}

int64_t WaveOut::played_bytes() {
    if (!playback_.is_open()) return -1;
    playback_.lock();
    const int64_t p = position_locked();
    playback_.unlock();
    return p;
}

int WaveOut::underflows() {
    if (!playback_.is_open()) return 0;
    playback_.lock();
    const int n = underflows_;
    playback_.unlock();
    return n;
}

}  // namespace classic
