#include <gtest/gtest.h>

#include "constellation_image.h"
#include "simd_paths.h"

namespace radio_dsp {
namespace {

TEST(ConstellationImage, TestPatternAndFade) {
    ConstellationImage a(ImageLayout::kRgb32Set), b(ImageLayout::kBgr24Brighten);
    EXPECT_EQ(a.bytes_per_row(), 512);
    EXPECT_EQ(b.bytes_per_row(), 384);
    for (ConstellationImage* img : {&a, &b}) {
        img->fill_test_pattern();
        const unsigned char* p = img->pixel(10, 3);
        EXPECT_EQ(p[0], 13);  // blue i + j
        EXPECT_EQ(p[1], 20);  // green 2i
        EXPECT_EQ(p[2], 6);   // red 2j
        EXPECT_EQ(img->pixel(127, 127)[0], 254);
    }
    EXPECT_EQ(a.pixel(10, 3)[3], 0);  // fourth byte untouched
    a.data()[3] = 10;                 // ... but it fades like the others
    a.data()[7] = 2;
    a.fade();
    EXPECT_EQ(a.data()[3], 7);
    EXPECT_EQ(a.data()[7], 0);
    EXPECT_EQ(a.pixel(10, 3)[0], 10);
    EXPECT_EQ(a.pixel(0, 0)[0], 0);
    // Every byte of both layouts, in each compiled form.
    for_each_simd_path([&] {
        for (ConstellationImage* img : {&a, &b}) {
            for (int k = 0; k < img->size_bytes(); ++k)
                img->data()[k] = static_cast<unsigned char>(k * 7);
            img->fade();
            for (int k = 0; k < img->size_bytes(); ++k) {
                const int v = static_cast<unsigned char>(k * 7);
                ASSERT_EQ(img->data()[k], v > 3 ? v - 3 : 0) << k;
            }
        }
    });
}

TEST(ConstellationImage, BrightenRulesOf24BitLayout) {
    ConstellationImage b(ImageLayout::kBgr24Brighten);
    const int expected[] = {127, 191, 223};
    for (int n = 0; n < 3; ++n) {
        b.plot_raw(0, 0, false);  // always green, whatever the mean says
        EXPECT_EQ(b.pixel(64, 64)[1], expected[n]);
    }
    EXPECT_EQ(b.pixel(64, 64)[2], 0);
    b.fade();
    EXPECT_EQ(b.pixel(64, 64)[1], 220);
    b.plot_rotation(0.0f, 0.0f);  // rotation dots brighten too
    EXPECT_EQ(b.pixel(64, 64)[1], 237);
}

TEST(ConstellationImage, SetRulesOf32BitLayoutAndClamps) {
    ConstellationImage a(ImageLayout::kRgb32Set);
    a.pixel(64, 64)[1] = 100;
    a.plot_raw(0, 0, false);  // not above mean: red from the green value
    EXPECT_EQ(a.pixel(64, 64)[2], 177);
    EXPECT_EQ(a.pixel(64, 64)[1], 100);
    a.plot_raw(511, -511, true);  // truncation toward zero keeps the centre
    EXPECT_EQ(a.pixel(64, 64)[1], 177);
    a.plot_raw(-32768, 32767, true);
    EXPECT_EQ(a.pixel(0, 127)[1], 127);
    a.plot_rotation(0.5f, -0.25f);  // row 56, column 80
    EXPECT_EQ(a.pixel(56, 80)[1], 255);
    a.plot_rotation(-1e30f, 1e30f);  // clamped to row 127, column 0
    EXPECT_EQ(a.pixel(127, 0)[1], 255);
    a.plot_rotation(1.999f, -2.01f);  // 127.97 -> 127; -0.32 truncates to 0
    EXPECT_EQ(a.pixel(0, 127)[1], 255);
}

}  // namespace
}  // namespace radio_dsp
