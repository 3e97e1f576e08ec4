// QIODevice that the audio output pulls 16384-byte PCM blocks from. Lives in
// the GUI thread with the audio output; readData is called there.
#pragma once

#include <QIODevice>

#include "audio_double_buffer.h"

class SoundGenerator : public QIODevice {
    Q_OBJECT

  public:
    // buffer is not owned and must outlive the generator. Open it buffered
    // (QIODevice::ReadOnly): the audio back end asks for one period at a time
    // and only QIODevice's own 16 KiB read buffer turns that into full-block
    // readData calls.
    explicit SoundGenerator(radio_dsp::AudioDoubleBuffer* buffer, QObject* parent = nullptr);

    // Always 16384.
    qint64 bytesAvailable() const override;

  signals:
    void param_updated(int step, int avail);
    void get_data(char* buffer);
    // Emitted by every successful readData: the half just handed out may be
    // refilled once control returns to the event loop (connect queued).
    void next_block_requested();

  protected:
    // maxlen < 16384: returns 0, copies nothing. Otherwise copies the half the
    // selector names, flips the selector, emits next_block_requested and
    // returns 16384 (never more).
    qint64 readData(char* data, qint64 maxlen) override;
    // Accepts nothing; returns 0.
    qint64 writeData(const char* data, qint64 len) override;

  private:
    radio_dsp::AudioDoubleBuffer* buffer_;
};
