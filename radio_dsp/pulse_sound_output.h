// Sound output on the PulseAudio server's default sink that pulls 16384-byte
// blocks of 44.1 kHz 16-bit stereo from a QIODevice (the SoundGenerator).
//
// Delivery runs on PulseAudio's own thread; the pulls do not. When the server
// asks for a block, that thread posts one pull to the thread the output lives
// in (the GUI thread), which reads one block from the source there and hands
// it to the server. So the source's readData, and the processing run it
// queues, stay on that thread, and it wakes once per block (92.9 ms) rather
// than on a polling timer. One block per pull: when the server wants more, the
// next pull is queued behind the run that the read just queued, so every
// block read is the one produced after the previous read.
//
// A server that goes away while playing stops the output and emits lost().
// Each start connects afresh, so a server that came back is used again.
#pragma once

#include <QObject>
#include <QString>
#include <atomic>
#include <cstdint>
#include <vector>

#include "pulse_playback.h"

class QIODevice;

class PulseSoundOutput : public QObject {
    Q_OBJECT

  public:
    static constexpr int kBlockBytes = 16384;
    // The server holds this many blocks (279 ms): a GUI thread held up for a
    // block's time does not starve the sink.
    static constexpr int kBufferedBlocks = 3;

    explicit PulseSoundOutput(QObject* parent = nullptr);
    // Stops the output.
    ~PulseSoundOutput() override;
    PulseSoundOutput(const PulseSoundOutput&) = delete;
    PulseSoundOutput& operator=(const PulseSoundOutput&) = delete;

    // Connects to the sound server, opens a playback stream on its default
    // sink and starts pulling from `source` (open, not owned, must outlive
    // the output or the next stop). Returns 0, -EALREADY when started,
    // -ECONNREFUSED when no server answers, -EIO when the stream cannot be
    // set up; error_text() then says why. Blocks while the server answers.
    [[nodiscard]] int start(QIODevice* source, const QString& client_name);
    // Closes the stream and the connection; blocks the server still holds are
    // dropped. No pull runs after it returns. Idempotent.
    void stop();
    bool is_active() const { return playback_.is_open(); }

    // Blocks handed to the server since the last start. The server asks for
    // more than its buffer holds only while the sink plays.
    int64_t blocks_written() const { return blocks_written_; }
    // Why the last start failed or the stream was lost.
    const QString& error_text() const { return error_; }

  signals:
    // The server or the stream went away while playing; the output has
    // stopped and error_text() says why.
    void lost();

  private:
    // PulseAudio's thread, lock held.
    static void lost_cb(void* self);
    static void stream_write_cb(pa_stream* s, size_t nbytes, void* self);
    // Queues one pull unless one is queued.
    void post_pull();
    // The output's thread.
    void pull();
    void handle_loss(uint64_t generation, const QString& why);

    PulsePlayback playback_;
    QIODevice* source_ = nullptr;
    std::vector<char> block_;
    bool failed_ = false;  // the stream was lost; lock held
    // Counts starts, so that the loss report of a stream since stopped is
    // ignored.
    uint64_t generation_ = 0;
    int64_t blocks_written_ = 0;
    std::atomic<bool> pull_posted_{false};
    QString error_;
};
