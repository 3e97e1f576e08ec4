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

typedef unsigned long long v4u __attribute__((vector_size(32)));

// 10 log10(x) - offset for four positive normal x: x = 2^e m with m in
// [sqrt(1/2), sqrt(2)), ln m = 2 atanh(s) with s = (m - 1) / (m + 1), |s| <
// 0.172, by its series up to s^17 (the rest is below 3e-16 of ln m). Within a
// few units in the last place of the exact value.
QV_INLINE v4d db_of_normal(v4d x, v4d offset) {
    v4u bits;
    std::memcpy(&bits, &x, sizeof bits);
    const v4u mbits = (bits & 0x000FFFFFFFFFFFFFull) | 0x3FF0000000000000ull;
    v4d m;
    std::memcpy(&m, &mbits, sizeof m);
    // The biased exponent as a double: placed under 2^52's exponent, exact.
    const v4u e_bits = bits >> 52 | 0x4330000000000000ull;
    v4d e;
    std::memcpy(&e, &e_bits, sizeof e);
    e -= 4503599627370496.0 + 1023.0;  // 2^52 + bias
    const v4l high = m >= kSqrt2;
    m = high ? m * 0.5 : m;
    e = high ? e + 1.0 : e;
    const v4d s = (m - 1.0) / (m + 1.0);
    const v4d s2 = s * s, s4 = s2 * s2, s8 = s4 * s4;
    // 1 + s2/3 + ... + s2^8/17, in pairs (Estrin) for a short dependency chain.
    const v4d p01 = 1.0 + s2 * (1.0 / 3), p23 = 1.0 / 5 + s2 * (1.0 / 7);
    const v4d p45 = 1.0 / 9 + s2 * (1.0 / 11), p67 = 1.0 / 13 + s2 * (1.0 / 15);
    const v4d p = (p01 + s4 * p23) + s8 * ((p45 + s4 * p67) + s8 * (1.0 / 17));
    const v4d ln = e * kLn2 + 2.0 * s * p;
    return ln * kDbPerNeper - offset;
}

// In place: each of the n powers to 10 log10(p) - offset_db. When any is
// zero, negative, subnormal, infinite or NaN, all take the library's log10.
QV_INLINE void powers_to_db(double* v, int n, double offset_db) {
    v4l normal4 = v4l{} - 1;
    int k = 0;
    for (; k + 4 <= n; k += 4) {
        const v4d x = load_v4d(v + k);
        normal4 &= (x >= DBL_MIN) & (x <= DBL_MAX);
    }
    bool normal = (normal4[0] & normal4[1] & normal4[2] & normal4[3]) != 0;
    for (; k < n; ++k) normal &= v[k] >= DBL_MIN && v[k] <= DBL_MAX;
    k = 0;
    if (normal) {
        const v4d offset = v4d{} + offset_db;
        for (; k + 4 <= n; k += 4) {
            const v4d db = db_of_normal(load_v4d(v + k), offset);
            std::memcpy(v + k, &db, sizeof db);
        }
    }
    for (; k < n; ++k) v[k] = 10.0 * std::log10(v[k]) - offset_db;
}

// Minimum and maximum of each column's powers into lo and hi; returns the
// number of columns. Column c takes the values k with floor(k width / len) ==
// c, from k = ceil(c len / width) on: 7 or 8 values for 4096 into 541. Columns of 4 to 8 values
// are reduced four lanes at a time, over their first four and their last four values.
QV_INLINE int column_extremes(const double* data, int len, int width, double* lo, double* hi) {
    if (width > len) {
        // More columns than values: one value each.
        for (int k = 0; k < len; ++k) lo[k] = hi[k] = data[k];
        return len;
    }
    int column = 0;
    long start = 0;  // ceil(column len / width)
    // ceil((column + 1) len / width) = (column + 1) base + carried, kept
    // without a division per column.
    const long base = len / width, rem = len % width;
    long carried = (rem + width - 1) / width, carry_acc = (rem + width - 1) % width;
    while (column < width && start < len) {
        const long end = std::min<long>((column + 1L) * base + carried, len);
        carry_acc += rem;
        if (carry_acc >= width) carry_acc -= width, ++carried;
        const long n = end - start;
        const double* x = data + start;
        if (n >= 4 && n <= 8) {
            // The first four and the last four values, overlapping when n < 8.
            const v4d a = load_v4d(x);
            const v4d b = load_v4d(x + n - 4);
            v4d mn = a < b ? a : b, mx = a > b ? a : b;
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
