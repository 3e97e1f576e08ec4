// The two 16384-byte halves of 16-bit stereo PCM that the audio device and
// the processing run take turns on. GUI thread only.
#pragma once

#include <cstdint>

namespace radio_dsp {

struct AudioDoubleBuffer {
    static constexpr int kHalfFrames = 4096;
    static constexpr int kHalfBytes = kHalfFrames * 4;  // 16384

    int16_t* half_data(int h) { return half[h & 1]; }
    // Half that the next read hands out, and that the processing run fills.
    int selector = 0;
    int16_t half[2][2 * kHalfFrames] = {};  // interleaved left, right; silence at start
};

}  // namespace radio_dsp
