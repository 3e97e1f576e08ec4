// NCO tuning word of the receiver chip's first channel and the AFC estimate.
#pragma once

#include <cstdint>
#include <functional>

namespace radio_dsp {

constexpr double kQv01NcoClockHz = 66e6;     // chip sample clock on the qv01_fm board set-up
constexpr double kClassicNcoClockHz = 40e6;  // clock tunerdesk assumes

// Chip register write (address, value); empty when no board is present.
using RegisterWriter = std::function<void(int address, int value)>;

// Low 32 bits of trunc(freq_hz / clock_hz * 2^32); frequencies above the clock
// alias down (100 MHz at 66 MHz tunes 34 MHz). Defined for every finite input;
// NaN gives 0.
uint32_t nco_word(double freq_hz, double clock_hz);

// Writes word to channel 0: register 46 low half, 47 high half, then the NCO
// update command 0x8003 to the control register 5. Does nothing when write is
// empty.
void write_nco_word(uint32_t word, const RegisterWriter& write);

// Frequency error (Hz) estimated from the left channel of 4096 interleaved
// stereo frames: Blackman-weighted sum, full scale 32767 standing for 75 kHz.
double afc_frequency_error(const int16_t* stereo_frames);

constexpr double kAfcGain = 0.27;  // fraction of the estimated error corrected per block

}  // namespace radio_dsp
