#include "sound_generator.h"

#include <cstring>

SoundGenerator::SoundGenerator(radio_dsp::AudioDoubleBuffer* buffer, QObject* parent)
    : QIODevice(parent), buffer_(buffer) {}

qint64 SoundGenerator::bytesAvailable() const { return radio_dsp::AudioDoubleBuffer::kHalfBytes; }

qint64 SoundGenerator::readData(char* data, qint64 maxlen) {
    constexpr qint64 kBlock = radio_dsp::AudioDoubleBuffer::kHalfBytes;
    if (maxlen < kBlock) return 0;
    const int h = buffer_->selector;
    std::memcpy(data, buffer_->half_data(h), kBlock);
    buffer_->selector = 1 - h;
    emit next_block_requested();
    return kBlock;
}

qint64 SoundGenerator::writeData(const char*, qint64) { return 0; }
