// Connect and disconnect while the wave output plays, without widgets: the
// threads of the program (the wave output's audio thread, the board's stream
// thread and the "GUI" thread that runs the chain and drops the board) meet
// here as they do in the form. Meant for ThreadSanitizer as much as for the
// checks below. Runs under with_pulse.sh in a directory holding proto.hex.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "classic_board.h"
#include "done_queue.h"
#include "signal_path.h"
#include "vboard_control.h"
#include "wave_out.h"

using namespace classic;

namespace {

// The board of one connect, streaming the simple chip's tone at 40 MHz / 192
// (208.3 kHz, the rate the classic chain is laid out for).
std::unique_ptr<QV_demo_board_> connect_and_stream() {
    std::unique_ptr<QV_demo_board_> board = create_classic_board();
    if (!board) return board;
    (void)classic_connect(*board);
    board->write_reg(0x24, 3 << 8);   // CIC2 ratio 4
    board->write_reg(0x25, 11 << 8);  // CICN ratio 12
    board->write_reg(0x26, 1);        // DFIR1 ratio 2
    board->write_reg(0x28, 1);        // DFIR2 ratio 2
    board->write_reg(5, 0x8001);
    board->stream_control(1, 0);
    return board;
}

}  // namespace

TEST(ConnectWhilePlaying, ChainRunsAfterEachReconnectAndStopsCleanly) {
    vboard::reset();
    vboard::set_pattern(vboard::Pattern::tone);
    vboard::set_clock_hz(40e6);

    DoneQueue done;
    WaveOut out;
    ASSERT_EQ(out.open([&](WaveHeader* h) { done.push(h); }), 0) << out.error_text();
    std::vector<int16_t> a(kWaveBufferBytes / 2), b(kWaveBufferBytes / 2);
    WaveHeader h1, h2;
    h1.data = a.data();
    h2.data = b.data();
    h1.length = h2.length = kWaveBufferBytes;
    ASSERT_EQ(out.prepare(&h1), 0);
    ASSERT_EQ(out.prepare(&h2), 0);

    // Warm the sink up first: an idle null sink renders in 2 s blocks, and a
    // first completion that late finds more than a ring's worth (65536) of
    // samples queued, which the classic chain reads as an underrun.
    ASSERT_EQ(out.write(&h1), 0);
    ASSERT_EQ(out.write(&h2), 0);
    ASSERT_NE(done.pop(5000).header, nullptr);
    ASSERT_NE(done.pop(1000).header, nullptr);

    radio_dsp::SignalPath path(radio_dsp::kClassicSignalPath);
    for (int cycle = 0; cycle < 3; ++cycle) {
        std::unique_ptr<QV_demo_board_> board = connect_and_stream();
        ASSERT_TRUE(board) << "cycle " << cycle;
        radio_dsp::BoardSampleSource<QV_demo_board_> source(board.get());
        path.set_source(&source);
        path.set_register_writer(radio_dsp::board_register_writer(board.get()));

        bool playing = true;
        (void)out.write(&h1);  // -EBUSY for one still queued from before
        (void)out.write(&h2);
        int played = 0;
        while (played < 8) {
            WaveHeader* h = done.pop(5000).header;
            ASSERT_NE(h, nullptr) << "no completion, cycle " << cycle;
            ASSERT_TRUE(playing);
            ASSERT_EQ(path.on_wave_done(h->data, false, false), 0) << "underrun, cycle " << cycle;
            ++played;
            // Left only: a steady tone demodulates to a constant, right is 0.
            // The first blocks after a reconnect may carry the silence that
            // realigns the rate matching; the later ones carry the tone.
            if (played > 4) {
                EXPECT_NE(h->data[2 * 100], 0) << "cycle " << cycle << " block " << played;
            }
            EXPECT_EQ(h->data[2 * 100 + 1], 0);
            ASSERT_EQ(out.write(h), 0);
        }
        // Disconnect with both buffers in flight: stop the chain first, then
        // the board goes (its stream thread is joined) while audio plays on.
        playing = false;
        path.set_source(nullptr);
        path.set_register_writer(radio_dsp::RegisterWriter());
        board.reset();
        // The buffers still queued come back and are dropped.
        for (int n = 0; n < 2; ++n) ASSERT_NE(done.pop(2000).header, nullptr);
        EXPECT_EQ(out.in_flight(), 0);
    }
    out.close();
}
