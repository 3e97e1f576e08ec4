#include <gtest/gtest.h>

#include "constellation_image.h"

namespace radio_dsp {
namespace {

TEST(ConstellationImage, LayoutsAndTestPattern) {
  ConstellationImage a(ImageLayout::kRgb32Set), b(ImageLayout::kBgr24Brighten);
  EXPECT_EQ(a.size_bytes(), 65536);
  EXPECT_EQ(a.bytes_per_row(), 512);
  EXPECT_EQ(b.size_bytes(), 49152);
  EXPECT_EQ(b.bytes_per_row(), 384);
  for (ConstellationImage* img : {&a, &b}) {
    img->fill_test_pattern();
    const unsigned char* p = img->pixel(127, 127);
    EXPECT_EQ(p[0], 254);
    EXPECT_EQ(p[1], 254);
    EXPECT_EQ(p[2], 254);
    p = img->pixel(10, 3);
    EXPECT_EQ(p[0], 13);
    EXPECT_EQ(p[1], 20);
    EXPECT_EQ(p[2], 6);
    EXPECT_EQ(img->row(5), img->data() + 5 * img->bytes_per_row());
  }
  EXPECT_EQ(a.pixel(10, 3)[3], 0);  // fourth byte untouched
}

TEST(ConstellationImage, FadeLowersEveryByteNotBelowZero) {
  ConstellationImage a(ImageLayout::kRgb32Set);
  a.data()[0] = 2;
  a.data()[1] = 3;
  a.data()[2] = 200;
  a.data()[3] = 10;  // fourth byte fades too
  a.data()[65535] = 255;
  a.fade();
  EXPECT_EQ(a.data()[0], 0);
  EXPECT_EQ(a.data()[1], 0);
  EXPECT_EQ(a.data()[2], 197);
  EXPECT_EQ(a.data()[3], 7);
  EXPECT_EQ(a.data()[65535], 252);
}

TEST(ConstellationImage, BrightenSequenceAndFade24) {
  ConstellationImage b(ImageLayout::kBgr24Brighten);
  const int expected[] = {127, 191, 223};
  for (int n = 0; n < 3; ++n) {
    b.plot_raw(0, 0, false);  // 24-bit: always green, whatever the mean says
    EXPECT_EQ(b.pixel(64, 64)[1], expected[n]);
  }
  EXPECT_EQ(b.pixel(64, 64)[2], 0);
  b.fade();
  EXPECT_EQ(b.pixel(64, 64)[1], 220);
  // Rotation dots brighten in the 24-bit layout.
  b.plot_rotation(0.0f, 0.0f);
  EXPECT_EQ(b.pixel(64, 64)[1], 237);
}

TEST(ConstellationImage, SetRulesOf32BitLayout) {
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
}

TEST(ConstellationImage, RotationCoordinatesClamp) {
  ConstellationImage a(ImageLayout::kRgb32Set);
  a.plot_rotation(100.0f, -100.0f);
  EXPECT_EQ(a.pixel(0, 127)[1], 255);
  a.plot_rotation(-1e30f, 1e30f);
  EXPECT_EQ(a.pixel(127, 0)[1], 255);
  a.plot_rotation(-2.01f, 1.99f);  // -0.32 truncates to 0; 127.68 to 127
  EXPECT_EQ(a.pixel(127, 0)[1], 255);
  a.plot_rotation(1.999f, -2.0f);  // 127.97 -> 127, 0 -> 0
  EXPECT_EQ(a.pixel(0, 127)[1], 255);
}

}  // namespace
}  // namespace radio_dsp
