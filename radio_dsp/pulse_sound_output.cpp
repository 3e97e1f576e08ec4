#include "pulse_sound_output.h"

#include <pulse/pulseaudio.h>

#include <QIODevice>
#include <cerrno>

namespace {

constexpr pa_sample_spec kSpec{PA_SAMPLE_S16LE, 44100, 2};

// Waits, mainloop lock held, until a context or stream (whose state callback
// signals the mainloop) is ready: true, or false once its state is bad.
template <typename Object, typename State>
bool wait_until_ready(pa_threaded_mainloop* loop, const Object* object,
                      State (*state_of)(const Object*), int (*is_good)(State), State ready) {
    for (State st; (st = state_of(object)) != ready; pa_threaded_mainloop_wait(loop))
        if (!is_good(st)) return false;
    return true;
}

QString server_error(pa_context* c, const char* what) {
    return QString("%1: %2").arg(what, pa_strerror(c ? pa_context_errno(c) : PA_ERR_UNKNOWN));
}

}  // namespace

PulseSoundOutput::PulseSoundOutput(QObject* parent) : QObject(parent), block_(kBlockBytes) {}

PulseSoundOutput::~PulseSoundOutput() { stop(); }

void PulseSoundOutput::context_state_cb(pa_context* c, void* self) {
    auto* out = static_cast<PulseSoundOutput*>(self);
    if (!PA_CONTEXT_IS_GOOD(pa_context_get_state(c))) out->fail_locked("sound server");
    pa_threaded_mainloop_signal(out->loop_, 0);
}

void PulseSoundOutput::stream_state_cb(pa_stream* s, void* self) {
    auto* out = static_cast<PulseSoundOutput*>(self);
    if (!PA_STREAM_IS_GOOD(pa_stream_get_state(s))) out->fail_locked("playback stream");
    pa_threaded_mainloop_signal(out->loop_, 0);
}

void PulseSoundOutput::stream_write_cb(pa_stream*, size_t nbytes, void* self) {
    // nbytes is all the server takes now; a block is pulled once it fits.
    if (nbytes >= static_cast<size_t>(kBlockBytes))
        static_cast<PulseSoundOutput*>(self)->post_pull();
}

void PulseSoundOutput::post_pull() {
    if (pull_posted_.exchange(true)) return;
    QMetaObject::invokeMethod(
        this, [this] { pull(); }, Qt::QueuedConnection);
}

void PulseSoundOutput::fail_locked(const char* what) {
    // Before READY, start() sees the bad state itself.
    if (!ready_ || failed_) return;
    failed_ = true;
    const QString why = server_error(context_, what);
    const uint64_t generation = generation_;
    QMetaObject::invokeMethod(
        this, [this, generation, why] { handle_loss(generation, why); }, Qt::QueuedConnection);
}

int PulseSoundOutput::start(QIODevice* source, const QString& client_name) {
    if (loop_) return -EALREADY;
    error_.clear();
    ++generation_;
    blocks_written_ = 0;
    source_ = source;
    ready_ = failed_ = false;
    pull_posted_ = false;
    loop_ = pa_threaded_mainloop_new();
    if (!loop_ || pa_threaded_mainloop_start(loop_) < 0) {
        if (loop_) pa_threaded_mainloop_free(loop_);
        loop_ = nullptr;
        error_ = "cannot start the sound server's thread";
        return -EIO;
    }
    pa_threaded_mainloop_lock(loop_);
    int rc = 0;
    context_ =
        pa_context_new(pa_threaded_mainloop_get_api(loop_), client_name.toUtf8().constData());
    if (!context_) {
        error_ = "cannot create a sound server connection";
        rc = -EIO;
    } else {
        pa_context_set_state_callback(context_, context_state_cb, this);
        // No autospawn: a server is started by the session, not by a radio.
        if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0 ||
            !wait_until_ready(loop_, context_, pa_context_get_state, PA_CONTEXT_IS_GOOD,
                              PA_CONTEXT_READY)) {
            error_ = server_error(context_, "sound server");
            rc = -ECONNREFUSED;
        }
    }
    if (rc == 0) {
        const QByteArray name = (client_name + " playback").toUtf8();
        stream_ = pa_stream_new(context_, name.constData(), &kSpec, nullptr);
        if (stream_) {
            pa_stream_set_state_callback(stream_, stream_state_cb, this);
            pa_stream_set_write_callback(stream_, stream_write_cb, this);
            pa_buffer_attr attr;
            attr.maxlength = static_cast<uint32_t>(-1);
            attr.tlength = kBufferedBlocks * kBlockBytes;
            attr.prebuf = static_cast<uint32_t>(-1);  // playback starts with the buffer full
            attr.minreq = kBlockBytes;                // ask for whole blocks
            attr.fragsize = static_cast<uint32_t>(-1);
            if (pa_stream_connect_playback(stream_, nullptr, &attr, PA_STREAM_NOFLAGS, nullptr,
                                           nullptr) < 0 ||
                !wait_until_ready(loop_, stream_, pa_stream_get_state, PA_STREAM_IS_GOOD,
                                  PA_STREAM_READY))
                rc = -EIO;
        } else {
            rc = -EIO;
        }
        if (rc != 0) error_ = server_error(context_, "playback stream");
    }
    if (rc == 0) {
        ready_ = true;
        // The server's first request may have come before READY was seen.
        if (pa_stream_writable_size(stream_) >= static_cast<size_t>(kBlockBytes)) post_pull();
        pa_threaded_mainloop_unlock(loop_);
        return 0;
    }
    pa_threaded_mainloop_unlock(loop_);
    stop();
    return rc;
}

void PulseSoundOutput::pull() {
    // Cleared first: a request arriving from now on queues the next pull.
    pull_posted_ = false;
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    const bool writable =
        ready_ && !failed_ && pa_stream_writable_size(stream_) >= static_cast<size_t>(kBlockBytes);
    pa_threaded_mainloop_unlock(loop_);
    // The read runs unlocked: it queues the processing run for the next block.
    if (!writable || source_->read(block_.data(), kBlockBytes) != kBlockBytes) return;
    pa_threaded_mainloop_lock(loop_);
    if (ready_ && !failed_ &&
        pa_stream_write(stream_, block_.data(), kBlockBytes, nullptr, 0, PA_SEEK_RELATIVE) == 0) {
        ++blocks_written_;
        // More room (filling up after a start): the next pull waits behind
        // the run the read queued, so it reads a fresh block.
        if (pa_stream_writable_size(stream_) >= static_cast<size_t>(kBlockBytes)) post_pull();
    }
    pa_threaded_mainloop_unlock(loop_);
}

void PulseSoundOutput::handle_loss(uint64_t generation, const QString& why) {
    if (generation != generation_ || !loop_) return;  // stopped meanwhile
    stop();
    error_ = why;
    emit lost();
}

void PulseSoundOutput::teardown_locked() {
    ready_ = false;
    if (stream_) {
        pa_stream_set_state_callback(stream_, nullptr, nullptr);
        pa_stream_set_write_callback(stream_, nullptr, nullptr);
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

void PulseSoundOutput::stop() {
    if (!loop_) return;
    pa_threaded_mainloop_lock(loop_);
    teardown_locked();
    pa_threaded_mainloop_unlock(loop_);
    pa_threaded_mainloop_stop(loop_);
    pa_threaded_mainloop_free(loop_);
    loop_ = nullptr;
    source_ = nullptr;
}
