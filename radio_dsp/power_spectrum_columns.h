// Squeezes a power spectrum into display columns, keeping each column's
// minimum and maximum level in dB (the spectrum panel's trace).
#pragma once

namespace radio_dsp {

// Columns 0..width-1 take consecutive runs of the len values (7 or 8 each for
// 4096 into 541); column c gets the min and max of 10 log10(data[k]) - offset_db
// over its run. log10 is monotonic, so the extremes are found on the powers and
// only 2 width values are converted, by a vectorised logarithm within 1e-12 dB
// of the library's log10 (zero power gives -inf as log10 does). Reads only
// data[0..len-1]; returns the number of columns filled (width unless len <
// width).
int spectrum_columns_db(const double* data, int len, int width, double offset_db, double* min_db,
                        double* max_db);

}  // namespace radio_dsp
