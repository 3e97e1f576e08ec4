// 128 x 128 constellation image drawn by the demodulator. Two memory layouts:
// 32-bit pixels (blue, green, red, unused; 512 bytes per row) for qv01_fm and
// 24-bit pixels (blue, green, red; 384 bytes per row) for tunerdesk.
// Single-threaded, no locks: drawn and read on the owner's GUI thread only
// (SignalPath draws, the widgets read data() in the observer calls); copy the
// pixels before handing them to another thread.
#pragma once

#include <cstdint>
#include <memory>

namespace radio_dsp {

enum class ImageLayout {
    kRgb32Set,       // 4 bytes per pixel; rotation dots set green to 255
    kBgr24Brighten,  // 3 bytes per pixel; every dot brightens green
};

class ConstellationImage {
  public:
    static constexpr int kSize = 128;

    explicit ConstellationImage(ImageLayout layout);
    ConstellationImage(const ConstellationImage&) = delete;
    ConstellationImage& operator=(const ConstellationImage&) = delete;

    // Pixel (i, j): blue = i + j, green = 2i, red = 2j; other bytes untouched.
    void fill_test_pattern();
    // Lowers every byte (the unused fourth byte included) by 3, not below 0.
    void fade();

    // Rotation r = z / previous sample: row trunc(Im r * 32 + 64), column
    // trunc(Re r * 32 + 64), each clamped to 0..127.
    void plot_rotation(float re, float im);
    // Raw sample: row I / 512 + 64, column Q / 512 + 64 (truncating). In the
    // 32-bit layout green is brightened when above_mean, else red becomes the
    // brightened green; the 24-bit layout always brightens green.
    void plot_raw(int i, int q, bool above_mean) {
        unsigned char* p = pixel(i / 512 + 64, q / 512 + 64);
        // Index select instead of a branch: above/below mean is data-dependent.
        p[layout_ == ImageLayout::kRgb32Set && !above_mean ? 2 : 1] = brighten(p[1]);
    }

    ImageLayout layout() const { return layout_; }
    int bytes_per_pixel() const { return bpp_; }
    int bytes_per_row() const { return kSize * bpp_; }
    int size_bytes() const { return kSize * kSize * bpp_; }
    unsigned char* data() { return data_.get(); }
    const unsigned char* data() const { return data_.get(); }
    unsigned char* row(int r) { return data_.get() + r * bytes_per_row(); }
    unsigned char* pixel(int r, int c) { return row(r) + c * bpp_; }

    static unsigned char brighten(unsigned char b) {
        return static_cast<unsigned char>(b + (255 - b) / 2);
    }

  private:
    ImageLayout layout_;
    int bpp_;
    std::unique_ptr<unsigned char[]> data_;
};

}  // namespace radio_dsp
