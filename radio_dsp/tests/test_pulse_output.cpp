// The PulseAudio output against a private server (with_pulse.sh): one block
// per pull, each pull after the processing run the previous one queued, all
// on the output's own thread; and a clear failure with no server.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QThread>
#include <cerrno>
#include <cstdlib>
#include <functional>

#include "pulse_sound_output.h"
#include "sound_generator.h"

namespace {

bool spin_until(const std::function<bool()>& done, int timeout_ms = 15000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < timeout_ms) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
        QThread::msleep(2);
    }
    return done();
}

struct Fixture {
    Fixture() : gen(&buffer) {
        gen.open(QIODevice::ReadOnly);
        // The read as the radio panel sees it, and its queued processing run.
        QObject::connect(&gen, &SoundGenerator::next_block_requested, [this] {
            if (reads++ != runs) read_before_run = true;
            if (QThread::currentThread() != QCoreApplication::instance()->thread())
                read_off_thread = true;
        });
        QObject::connect(
            &gen, &SoundGenerator::next_block_requested, &gen, [this] { ++runs; },
            Qt::QueuedConnection);
    }
    int argc = 0;
    QCoreApplication app{argc, nullptr};
    radio_dsp::AudioDoubleBuffer buffer;
    SoundGenerator gen;
    PulseSoundOutput out;
    int reads = 0;
    int runs = 0;
    bool read_before_run = false;  // a read found the previous one's run not done
    bool read_off_thread = false;
};

TEST(PulseSoundOutput, PullsOneBlockAfterEachRun) {
    Fixture f;
    for (int round = 0; round < 2; ++round) {  // and again after a stop
        f.reads = f.runs = 0;
        ASSERT_EQ(f.out.start(&f.gen, "qv pulse output test"), 0)
            << f.out.error_text().toStdString();
        // More than the server's buffer: the sink is playing and asking.
        constexpr int kBlocks = PulseSoundOutput::kBufferedBlocks + 3;
        ASSERT_TRUE(spin_until([&] { return f.out.blocks_written() >= kBlocks; }));
        EXPECT_FALSE(f.read_before_run);
        EXPECT_FALSE(f.read_off_thread);
        EXPECT_GE(f.reads, f.out.blocks_written());
        EXPECT_LE(f.reads, f.out.blocks_written() + 1);  // one read may fail its write
        f.out.stop();
        EXPECT_FALSE(f.out.is_active());
        const int reads = f.reads;
        spin_until([] { return false; }, 300);  // a pull still queued must not read
        EXPECT_EQ(f.reads, reads);
    }
}

TEST(PulseSoundOutput, NoServer) {
    Fixture f;
    const QByteArray saved = qgetenv("PULSE_SERVER");
    qputenv("PULSE_SERVER", "unix:/nonexistent/qv-no-server");
    EXPECT_EQ(f.out.start(&f.gen, "qv pulse output test"), -ECONNREFUSED);
    qputenv("PULSE_SERVER", saved);
    EXPECT_FALSE(f.out.is_active());
    EXPECT_TRUE(f.out.error_text().startsWith("sound server: "))
        << f.out.error_text().toStdString();
    EXPECT_EQ(f.reads, 0);
}

}  // namespace
