#include "pulse_sound_output.h"

#include <QIODevice>
#include <cerrno>

PulseSoundOutput::PulseSoundOutput(QObject* parent) : QObject(parent), block_(kBlockBytes) {}

PulseSoundOutput::~PulseSoundOutput() { stop(); }

void PulseSoundOutput::lost_cb(void* self) {
    auto* out = static_cast<PulseSoundOutput*>(self);
    out->failed_ = true;
    const QString why = QString("the connection to the sound server was lost (%1)")
                            .arg(out->playback_.server_error());
    const uint64_t generation = out->generation_;
    QMetaObject::invokeMethod(
        out, [out, generation, why] { out->handle_loss(generation, why); }, Qt::QueuedConnection);
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

int PulseSoundOutput::start(QIODevice* source, const QString& client_name) {
    if (playback_.is_open()) return -EALREADY;
    ++generation_;
    blocks_written_ = 0;
    source_ = source;
    failed_ = false;
    pull_posted_ = false;
    pa_buffer_attr attr;
    attr.maxlength = static_cast<uint32_t>(-1);
    attr.tlength = kBufferedBlocks * kBlockBytes;
    attr.prebuf = static_cast<uint32_t>(-1);  // playback starts with the buffer full
    attr.minreq = kBlockBytes;                // ask for whole blocks
    attr.fragsize = static_cast<uint32_t>(-1);
    PulsePlaybackHooks hooks;
    hooks.user = this;
    hooks.lost = lost_cb;
    hooks.write = stream_write_cb;
    const int rc =
        playback_.open(client_name.toStdString(), (client_name + " playback").toStdString(), attr,
                       PA_STREAM_NOFLAGS, hooks);
    if (rc != 0) {
        error_ = QString::fromStdString(playback_.error());
        source_ = nullptr;
        return rc;
    }
    error_.clear();
    // The server's first request may have come before the stream was ready.
    playback_.lock();
    if (pa_stream_writable_size(playback_.stream()) >= static_cast<size_t>(kBlockBytes))
        post_pull();
    playback_.unlock();
    return 0;
}

void PulseSoundOutput::pull() {
    // Cleared first: a request arriving from now on queues the next pull.
    pull_posted_ = false;
    if (!playback_.is_open()) return;
    playback_.lock();
    const bool writable =
        !failed_ && pa_stream_writable_size(playback_.stream()) >= static_cast<size_t>(kBlockBytes);
    playback_.unlock();
    // The read runs unlocked: it queues the processing run for the next block.
    if (!writable || source_->read(block_.data(), kBlockBytes) != kBlockBytes) return;
    playback_.lock();
    pa_stream* stream = playback_.stream();
    if (!failed_ &&
        pa_stream_write(stream, block_.data(), kBlockBytes, nullptr, 0, PA_SEEK_RELATIVE) == 0) {
        ++blocks_written_;
        // More room (filling up after a start): the next pull waits behind
        // the run the read queued, so it reads a fresh block.
        if (pa_stream_writable_size(stream) >= static_cast<size_t>(kBlockBytes)) post_pull();
    }
    playback_.unlock();
}

void PulseSoundOutput::handle_loss(uint64_t generation, const QString& why) {
    if (generation != generation_ || !playback_.is_open()) return;  // stopped meanwhile
    stop();
    error_ = why;
    emit lost();
}

void PulseSoundOutput::stop() {
    playback_.close();
    source_ = nullptr;
}
