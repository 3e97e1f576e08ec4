#include "power_spectrum_columns.h"

#include <cmath>

namespace radio_dsp {

int spectrum_columns_db(const double* data, int len, int width, double offset_db, double* min_db,
                        double* max_db) {
    if (len < 1 || width < 1) return 0;
    int column = 0, acc = 0, k = 0;
    double lo = data[0], hi = data[0];
    while (column < width && k < len) {
        const double v = data[k];
        if (v < lo) lo = v;
        if (v > hi) hi = v;
        ++k;
        acc += width;
        if (acc >= len) {
            acc -= len;
            min_db[column] = 10.0 * std::log10(lo) - offset_db;
            max_db[column] = 10.0 * std::log10(hi) - offset_db;
            ++column;
            if (k < len) lo = hi = data[k];
        }
    }
    return column;
}

}  // namespace radio_dsp
