#include <gtest/gtest.h>

#include <vector>

#include "sound_generator.h"

namespace {

struct Fixture {
    Fixture() : gen(&buffer) {
        for (int i = 0; i < 8192; ++i) {
            buffer.half[0][i] = 1;
            buffer.half[1][i] = 2;
        }
        QObject::connect(&gen, &SoundGenerator::next_block_requested, [this] { ++requests; });
    }
    radio_dsp::AudioDoubleBuffer buffer;
    SoundGenerator gen;
    int requests = 0;
};

TEST(SoundGenerator, PullProtocolUnbuffered) {
    Fixture f;
    ASSERT_TRUE(f.gen.open(QIODevice::ReadOnly | QIODevice::Unbuffered));
    EXPECT_EQ(f.gen.bytesAvailable(), 16384);
    std::vector<char> out(100000, 0);
    EXPECT_EQ(f.gen.read(out.data(), 16383), 0);  // short request: nothing
    EXPECT_EQ(f.buffer.selector, 0);
    EXPECT_EQ(f.requests, 0);
    for (int pull = 0; pull < 3; ++pull) {
        EXPECT_EQ(f.gen.read(out.data(), 100000), 16384);
        const int16_t expected = pull % 2 == 0 ? 1 : 2;  // halves alternate
        EXPECT_EQ(reinterpret_cast<int16_t*>(out.data())[0], expected);
        EXPECT_EQ(reinterpret_cast<int16_t*>(out.data())[8191], expected);
        EXPECT_EQ(out[16384], 0);  // never more than one block
        EXPECT_EQ(f.buffer.selector, 1 - pull % 2);
    }
    EXPECT_EQ(f.requests, 3);
    EXPECT_EQ(f.gen.write("abcd", 4), -1);  // not open for writing
}

TEST(SoundGenerator, BufferedOpenServesPeriodSizedReads) {
    // The audio back end asks for one period (3528 bytes); QIODevice's read
    // buffer turns that into one 16384-byte readData.
    Fixture f;
    ASSERT_TRUE(f.gen.open(QIODevice::ReadOnly));
    std::vector<char> out(3528);
    EXPECT_EQ(f.gen.read(out.data(), 3528), 3528);
    EXPECT_EQ(reinterpret_cast<int16_t*>(out.data())[0], 1);
    EXPECT_EQ(f.requests, 1);
    EXPECT_EQ(f.buffer.selector, 1);
    EXPECT_EQ(f.gen.read(out.data(), 3528), 3528);  // from the read buffer
    EXPECT_EQ(f.requests, 1);
}

TEST(SoundGenerator, WriteAcceptsNothing) {
    Fixture f;
    ASSERT_TRUE(f.gen.open(QIODevice::ReadWrite | QIODevice::Unbuffered));
    EXPECT_EQ(f.gen.write("abcd", 4), 0);
}

}  // namespace
