#include "power_spectrum_columns.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>

#include "simd.h"

namespace radio_dsp {
namespace {

constexpr double kLn2 = 0.69314718055994530942;
constexpr double kSqrt2 = 1.41421356237309504880;
constexpr double kDbPerNeper = 4.34294481903251827651;  // 10 / ln 10

// 10 log10(x) - offset for four positive normal x: x = 2^e m with m in
// [sqrt(1/2), sqrt(2)), ln m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| <
// 0.172, by its series up to s^17 (the rest is below 3e-16 of ln m). Within a
// few units in the last place of the exact value.
QV_INLINE v4d db_of_normal(v4d x, v4d offset) {
    v4l bits;
    std::memcpy(&bits, &x, sizeof bits);
    const v4l one_bits = {0x3FF0000000000000, 0x3FF0000000000000, 0x3FF0000000000000,
                          0x3FF0000000000000};
    const v4l mantissa_mask = v4l{} + 0x000FFFFFFFFFFFFF;
    v4l mbits = (bits & mantissa_mask) | one_bits;
    v4d m;
    std::memcpy(&m, &mbits, sizeof m);
    // The biased exponent as a double: placed under 2^52's exponent, exact.
    const v4l e_bits = (bits >> 52 & 0x7FF) | 0x4330000000000000;
    v4d e;
    std::memcpy(&e, &e_bits, sizeof e);
    e -= 4503599627370496.0 + 1023.0;  // 2^52 + bias
    const v4d zero = {0, 0, 0, 0};
    const v4l high = m >= zero + kSqrt2;
    m = high ? m * 0.5 : m;
    e = high ? e + 1.0 : e;
    const v4d s = (m - 1.0) / (m + 1.0);
    const v4d s2 = s * s;
    v4d p = zero + 1.0 / 17;
    for (int k = 15; k >= 1; k -= 2) p = p * s2 + 1.0 / k;
    const v4d ln = e * kLn2 + 2.0 * s * p;
    return ln * kDbPerNeper - offset;
}

// In place: each of the n powers to 10 log10(p) - offset_db. Zero, negative,
// subnormal, infinite and NaN powers take the library's log10.
QV_INLINE void powers_to_db(double* v, int n, double offset_db) {
    const v4d offset = v4d{} + offset_db;
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const v4d x = load_v4d(v + k);
        const v4l normal = (x >= DBL_MIN) & (x <= DBL_MAX);
        const v4d db = db_of_normal(x, offset);
        std::memcpy(v + k, &db, sizeof db);
        if (!(normal[0] & normal[1] & normal[2] & normal[3]))
            for (int l = 0; l < 4; ++l)
                if (!normal[l]) v[k + l] = 10.0 * std::log10(x[l]) - offset_db;
    }
    for (; k < n; ++k) v[k] = 10.0 * std::log10(v[k]) - offset_db;
}

// Minimum and maximum of each column's powers into lo and hi; returns the
// number of columns. Column c takes the values k with floor(k width / len) ==
// c, from k = ceil(c len / width) on: 7 or 8 values for 4096 into 541. Columns of at most 8 values
// whose 8 values lie within data are reduced four lanes at a time; lanes past the column's end
// repeat its first value.
QV_INLINE int column_extremes(const double* data, int len, int width, double* lo, double* hi) {
    if (width > len) {
        // More columns than values: one value each.
        for (int k = 0; k < len; ++k) lo[k] = hi[k] = data[k];
        return len;
    }
    int column = 0;
    long start = 0;  // ceil(column len / width)
    const v4d lane = {0, 1, 2, 3};
    while (column < width && start < len) {
        const long end = std::min<long>(((column + 1L) * len + width - 1) / width, len);
        const long n = end - start;
        const double* x = data + start;
        if (n <= 8 && start + 8 <= len) {
            const v4d first = v4d{} + x[0];
            const v4d a = load_v4d(x);
            const v4d b = load_v4d(x + 4);
            const v4d bn = lane + 4.0 < double(n) ? b : first;
            const v4d an = lane < double(n) ? a : first;
            v4d mn = an < bn ? an : bn, mx = an > bn ? an : bn;
            const v4d mn2 = {mn[2], mn[3], mn[0], mn[1]}, mx2 = {mx[2], mx[3], mx[0], mx[1]};
            mn = mn < mn2 ? mn : mn2;
            mx = mx > mx2 ? mx : mx2;
            lo[column] = mn[0] < mn[1] ? mn[0] : mn[1];
            hi[column] = mx[0] > mx[1] ? mx[0] : mx[1];
        } else {
            double l = x[0], h = x[0];
            for (long k = 1; k < n; ++k) {
                if (x[k] < l) l = x[k];
                if (x[k] > h) h = x[k];
            }
            lo[column] = l;
            hi[column] = h;
        }
        ++column;
        start = end;
    }
    return column;
}

int columns_baseline(const double* data, int len, int width, double offset_db, double* min_db,
                     double* max_db) {
    const int n = column_extremes(data, len, width, min_db, max_db);
    powers_to_db(min_db, n, offset_db);
    powers_to_db(max_db, n, offset_db);
    return n;
}

#if QV_HAVE_AVX2_PATH
// The same operations (no fused multiply-adds), four lanes per instruction.
QV_TARGET_AVX2 int columns_avx2(const double* data, int len, int width, double offset_db,
                                double* min_db, double* max_db) {
    const int n = column_extremes(data, len, width, min_db, max_db);
    powers_to_db(min_db, n, offset_db);
    powers_to_db(max_db, n, offset_db);
    return n;
}
#endif

}  // namespace

int spectrum_columns_db(const double* data, int len, int width, double offset_db, double* min_db,
                        double* max_db) {
    if (len < 1 || width < 1) return 0;
        // The extremes are found on the powers (log10 is monotonic); only they
        // are converted.
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2)
        return columns_avx2(data, len, width, offset_db, min_db, max_db);
#endif
    return columns_baseline(data, len, width, offset_db, min_db, max_db);
}

}  // namespace radio_dsp
