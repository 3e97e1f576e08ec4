#include "constellation_image.h"

#include "simd.h"

#if QV_HAVE_AVX2_PATH
#include <immintrin.h>
#endif

namespace radio_dsp {

namespace {
constexpr int kBlue = 0, kGreen = 1, kRed = 2;  // byte order within a pixel

int clamp_coord(float v) {
    // Truncation toward zero first, then the clamp; NaN cannot occur because the
    // divisor is never zero, but out-of-range floats must not reach the cast.
    if (!(v > -1.0f)) return 0;
    if (v >= 128.0f) return 127;
    const int c = static_cast<int>(v);
    return c > 127 ? 127 : c;
}

// Lowers n bytes by 3, not below 0; returns the bytes done.
int fade_baseline(unsigned char* p, int n) {
    for (int k = 0; k < n; ++k) p[k] = static_cast<unsigned char>(p[k] > 3 ? p[k] - 3 : 0);
    return n;
}

#if QV_HAVE_AVX2_PATH
// The same, 32 bytes per saturating subtraction.
QV_TARGET_AVX2 int fade_avx2(unsigned char* p, int n) {
    const __m256i three = _mm256_set1_epi8(3);
    int k = 0;
    for (; k + 32 <= n; k += 32) {
        __m256i* v = reinterpret_cast<__m256i*>(p + k);
        _mm256_storeu_si256(v, _mm256_subs_epu8(_mm256_loadu_si256(v), three));
    }
    return k;
}
#endif
}  // namespace

ConstellationImage::ConstellationImage(ImageLayout layout)
    : layout_(layout),
      bpp_(layout == ImageLayout::kRgb32Set ? 4 : 3),
      data_(new unsigned char[kSize * kSize * bpp_]()) {}

void ConstellationImage::fill_test_pattern() {
    for (int i = 0; i < kSize; ++i)
        for (int j = 0; j < kSize; ++j) {
            unsigned char* p = pixel(i, j);
            p[kBlue] = static_cast<unsigned char>(i + j);
            p[kGreen] = static_cast<unsigned char>(2 * i);
            p[kRed] = static_cast<unsigned char>(2 * j);
        }
}

void ConstellationImage::fade() {
    unsigned char* p = data_.get();
    const int n = size_bytes();
    int done = 0;
#if QV_HAVE_AVX2_PATH
    if (simd_path() == SimdPath::kAvx2) done = fade_avx2(p, n);
#endif
    fade_baseline(p + done, n - done);
}

void ConstellationImage::plot_rotation(float re, float im) {
    unsigned char* p = pixel(clamp_coord(im * 32.0f + 64.0f), clamp_coord(re * 32.0f + 64.0f));
    p[kGreen] = layout_ == ImageLayout::kRgb32Set ? 255 : brighten(p[kGreen]);
}

}  // namespace radio_dsp
