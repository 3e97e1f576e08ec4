// TForm1 on Qt's offscreen platform, with the classic board on the virtual
// board (simple chip at 40 MHz, a plain register file) and a private
// PulseAudio server (with_pulse.sh). Registers are checked at the chip.
#include <QTemporaryDir>
#include <QtTest>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "classic_board.h"
#include "unitvcl1.h"
#include "vboard_control.h"
#include "widget_test_util.h"

namespace {

BoardLink classic_link() {
    BoardLink link;
    link.create = [](std::string* error) { return create_classic_board(error); };
    link.connect = [](QV_demo_board_& b, int32_t* fw, int32_t* dev) {
        const ClassicIds ids = classic_connect(b);
        *fw = ids.firmware_id;
        *dev = ids.device_id;
    };
    return link;
}

int reg(int addr) { return vboard::chip_register(addr); }

const QString kTunerdeskDir = QV_TUNERDESK_DIR;
using qvtest::take_message;
using qvtest::WorkingDirectory;

QColor canvas_pixel(PaintBox* box, int x, int y) { return box->canvas().pixelColor(x, y); }

// Closes the message box `name` after checking its words.
void expect_box(QWidget* form, const char* name, const QString& text, const QString& caption) {
    QString title;
    QCOMPARE(take_message(form, name, &title), text);
    QCOMPARE(title, caption);
}

}  // namespace

class FormTest : public QObject {
    Q_OBJECT
    std::unique_ptr<TForm1> form_;

    void connect_board() {
        QTest::mouseClick(form_->Button1, Qt::LeftButton);
        QVERIFY(form_->board() != nullptr);
    }
    // One buffer completion through the form's event dispatch, with the
    // demodulator ring holding `fill` entries; returns the buffer's frames.
    std::vector<int16_t> complete(int fill) {
        radio_dsp::DemodRing& ring = form_->signal_path().ring();
        ring.write_index = static_cast<uint16_t>(ring.read_index + fill);
        std::vector<int16_t> data(classic::kWaveBufferBytes / 2, 77);
        classic::WaveHeader h;
        h.data = data.data();
        h.length = classic::kWaveBufferBytes;
        WaveDoneEvent e(&h);
        QCoreApplication::sendEvent(form_.get(), &e);
        return data;
    }

  private slots:
    void init() {
        vboard::reset();
        vboard::set_pattern(vboard::Pattern::tone);
        vboard::set_clock_hz(40e6);
        form_ = std::make_unique<TForm1>(classic_link());
        form_->show();
        QVERIFY(QTest::qWaitForWindowExposed(form_.get()));
        QCOMPARE(form_->wave_open_result(), 0);
    }
    void cleanup() { form_.reset(); }

    void layout_and_initial_state() {
        QCOMPARE(form_->windowTitle(), QString("Quorvane FM demo"));
        QCOMPARE(form_->size(), QSize(722, 484));
        QCOMPARE(form_->Button4->geometry(), QRect(184, 32, 41, 25));
        QCOMPARE(form_->TrackBar1->geometry(), QRect(82, 294, 447, 28));
        QCOMPARE(form_->PaintBox2->geometry(), QRect(24, 352, 512, 70));
        QCOMPARE(form_->Label5->text(), QString("100 Hz"));
        QCOMPARE(form_->Label5->size(), form_->Label5->sizeHint());  // auto-size
        QCOMPARE(form_->TrackBar1->value(), 100);
        QCOMPARE(form_->TrackBar3->minimum(), -32767);
        QCOMPARE(form_->TrackBar3->value(), 99);
        QVERIFY(form_->TrackBar5->invertedAppearance());  // minimum at the top
        QCOMPARE(form_->TrackBar6->tickPosition(), QSlider::TicksRight);
        QCOMPARE(form_->frequency(), 0.0);  // initial positions tune nothing
        QVERIFY(form_->Ldfir1->font().bold());
        QCOMPARE(form_->Ldfir1->palette().color(QPalette::WindowText), QColor(0, 128, 0));
        QCOMPARE(form_->Image1->pixmap(Qt::ReturnByValue).size(), QSize(135, 38));

        // Tab order over the focusable controls.
        const QStringList want = {"Button1",   "Button4",   "TrackBar1", "TrackBar2", "TrackBar3",
                                  "Button7",   "TrackBar4", "TrackBar5", "TrackBar6", "TrackBar7",
                                  "CheckBox1", "CheckBox2", "CheckBox3", "Button3",   "Button6",
                                  "Button8",   "Button10",  "Button11"};
        QStringList got;
        QWidget* w = form_->Button1;
        for (int i = 0; i < 200 && got.size() < want.size(); ++i, w = w->nextInFocusChain())
            if (w->focusPolicy() & Qt::TabFocus) got << w->objectName();
        QCOMPARE(got, want);

        // The constellation paint box shows the 24-bit image's test pattern:
        // blue = row + column, green = 2 row, red = 2 column.
        const QImage shot = form_->PaintBox1->grab().toImage();
        QCOMPARE(shot.pixelColor(10, 20), QColor(20, 40, 30));
    }

    void without_a_board() {
        QTest::mouseClick(form_->Button7, Qt::LeftButton);
        expect_box(form_.get(), "not_connected_box",
                   "Not connected. Press \"Connect\" first, please", "Board not connected");
        QTest::mouseClick(form_->Button11, Qt::LeftButton);
        QCOMPARE(form_->TrackBar1->value(), 90);
        QCOMPARE(form_->Label5->text(), QString("100900000 Hz"));
        QCOMPARE(form_->frequency(), 100.9e6);
        QTest::mouseClick(form_->Button4, Qt::LeftButton);  // Stop: silently nothing

        TForm1 lonely(
            BoardLink{[](std::string*) { return std::unique_ptr<QV_demo_board_>(); }, nullptr});
        QTest::mouseClick(lonely.Button1, Qt::LeftButton);
        expect_box(&lonely, "board_not_found_box",
                   "The board is not found . Please,  check libusb driver installation, cable "
                   "connection. The board should be displayed in the Device Manager as QV demo "
                   "board",
                   "Board not connected");
        QVERIFY(lonely.board() == nullptr);
    }

    void connect_shows_identifiers_and_tunes() {
        connect_board();
        QCOMPARE(form_->Label2->text(), QString("1003A30"));
        QCOMPARE(form_->Label8->text(), QString("5101"));
        form_->TrackBar1->setValue(0);
        QCOMPARE(form_->Label5->text(), QString("100000000 Hz"));
        QCOMPARE(reg(46), 0x0000);
        QCOMPARE(reg(47), 0x8000);
        QCOMPARE(reg(5), 0x8003);
        form_->TrackBar1->setValue(1000);
        QCOMPARE(reg(46), 0x0000);
        QCOMPARE(reg(47), 0xC000);
        QTest::mouseClick(form_->Button11, Qt::LeftButton);  // 100.9 MHz
        QCOMPARE(reg(46), 0x8F5C);
        QCOMPARE(reg(47), 0x85C2);
    }

    void gain_and_phase() {
        connect_board();
        const QColor grey(192, 192, 192);
        form_->TrackBar3->setValue(98);
        form_->TrackBar3->setValue(99);  // phase 0, gain 99
        QCOMPARE(reg(42), 99);
        QCOMPARE(reg(43), 0);
        QCOMPARE(reg(5), 5);
        QCOMPARE(canvas_pixel(form_->PaintBox3, 64, 64), QColor(Qt::black));
        QCOMPARE(canvas_pixel(form_->PaintBox3, 65, 64), grey);

        form_->TrackBar3->setValue(32767);
        form_->TrackBar2->setValue(100);  // theta = pi
        QCOMPARE(reg(42), 0x8001);        // -32767
        QCOMPARE(reg(43), 0);             // sin(pi) * 32767 truncates to 0
        QCOMPARE(canvas_pixel(form_->PaintBox3, 1, 64), QColor(Qt::black));  // -32767 / 512 = -63
        QCOMPARE(canvas_pixel(form_->PaintBox3, 0, 64), grey);
    }

    void scale_fields_keep_the_other_bits() {
        connect_board();
        QV_demo_board_* b = form_->board();
        b->write_reg(36, 0x0325);
        b->write_reg(37, 0x0B05);
        form_->TrackBar4->setValue(0);  // top: scale 15
        QCOMPARE(reg(36), 0x032F);
        form_->TrackBar4->setValue(15);  // bottom: scale 0
        QCOMPARE(reg(36), 0x0320);
        form_->CheckBox1->setChecked(true);
        QCOMPARE(reg(37), 0x0B15);
        form_->TrackBar5->setValue(12);
        QCOMPARE(reg(37), 0x0B13);
        // The read of the read-modify-write is lost: nothing is written back.
        vboard::stall_next_reply();
        form_->TrackBar5->setValue(3);
        QCOMPARE(reg(37), 0x0B13);
    }

    void loading_the_controls_writes_nothing() {
        connect_board();
        QV_demo_board_* b = form_->board();
        b->write_reg(36, 0x0302);
        b->write_reg(37, 0x0315);
        b->write_reg(39, 0x0007);
        b->write_reg(41, 0x001F);
        const uint64_t before_read = vboard::stats().commands;
        (void)b->read_reg(36);
        const uint64_t per_read = vboard::stats().commands - before_read;
        const uint64_t before = vboard::stats().commands;
        form_->load_filter_controls();
        // Five register reads (37 twice) and not one write.
        QCOMPARE(vboard::stats().commands - before, 5 * per_read);
        QCOMPARE(form_->TrackBar4->value(), 13);
        QCOMPARE(form_->TrackBar5->value(), 10);
        QVERIFY(form_->CheckBox1->isChecked());
        QCOMPARE(form_->TrackBar6->value(), 8);
        QCOMPARE(form_->TrackBar7->value(), 0);
        QVERIFY(!form_->updating());
    }

    void completion_chain() {
        connect_board();
        form_->start_audio();
        QVERIFY(form_->playing());
        // The first completions hold the nominal step while the backlog
        // settles (radio_dsp/ratio_tracker.h): the step labels keep their
        // captions until the shown step changes.
        std::vector<int16_t> out = complete(29999);
        QCOMPARE(form_->Label23->text(), QString("Label23"));
        for (size_t i = 1; i < out.size(); i += 2) QCOMPARE(out[i], int16_t(0));  // left only
        // The paint box shows the image as the completion left it, before its
        // fade; one fade of the test pattern per completion (no samples,
        // nothing brightened).
        QCOMPARE(form_->PaintBox1->grab().toImage().pixelColor(10, 20), QColor(20, 40, 30));
        const radio_dsp::ConstellationImage& image = form_->signal_path().image();
        const uint8_t* faded = image.data() + 20 * image.bytes_per_row() + 3 * 10;
        QCOMPARE(QColor(faded[2], faded[1], faded[0]), QColor(17, 37, 27));
        // Fill 10000 plays on.
        complete(10000);
        QVERIFY(form_->playing());
        // Fill 9999 stops the receiver and the audio; the buffer stays as it was.
        form_->board()->write_reg(5, 0x8001);
        out = complete(9999);
        QVERIFY(!form_->playing());
        QCOMPARE(reg(5), 0x8000);
        QCOMPARE(out[0], int16_t(77));
        QCOMPARE(form_->Label23->text(), QString("Label23"));
        QVERIFY(take_message(form_.get(), "underrun_box")
                    .startsWith("Playback stopped: fewer demodulated samples"));
    }

    // Radio plays the track bar's frequency, not the configuration file's, and
    // the preset already chosen tunes again (dropping an AFC correction).
    void radio_plays_what_the_track_bar_shows() {
        connect_board();
        QTest::mouseClick(form_->Button6, Qt::LeftButton);  // 105.7 MHz
        {
            WorkingDirectory in(kTunerdeskDir);  // its FM_radio.ini
            QTest::mouseClick(form_->Button7, Qt::LeftButton);
        }
        QVERIFY(form_->playing());
        QCOMPARE(form_->frequency(), 105.7e6);
        QCOMPARE(reg(46), 0xE147);
        QCOMPARE(reg(47), 0xA47A);
        form_->signal_path().set_frequency(105.7123e6);  // as the AFC would
        QTest::mouseClick(form_->Button6, Qt::LeftButton);
        QCOMPARE(form_->frequency(), 105.7e6);
        QCOMPARE(form_->Label5->text(), QString("105700000 Hz"));
        QCOMPARE(reg(47), 0xA47A);
    }

    // Files that are missing are named with the directory they were looked
    // for in, and nothing starts.
    void missing_files_are_named() {
        QTemporaryDir empty;
        {
            WorkingDirectory in(empty.path());
            QTest::mouseClick(form_->Button1, Qt::LeftButton);  // no proto.hex here
        }
        QVERIFY(form_->board() == nullptr);
        QString text = take_message(form_.get(), "firmware_box");
        QVERIFY2(text.contains(empty.path() + "/proto.hex"), qPrintable(text));

        connect_board();
        const uint64_t commands = vboard::stats().commands;
        {
            WorkingDirectory in(empty.path());
            QTest::mouseClick(form_->Button7, Qt::LeftButton);  // no FM_radio.ini here
        }
        QVERIFY(!form_->playing());
        QCOMPARE(vboard::stats().commands, commands);  // the chip was left alone
        text = take_message(form_.get(), "config_error_box");
        QVERIFY2(text.contains(empty.path() + "/FM_radio.ini"), qPrintable(text));
    }

    // A board that goes away stops the radio with a message; Connect opens
    // it again once it is back.
    void lost_board_is_reported_and_connect_opens_it_again() {
        connect_board();
        form_->board()->write_reg(5, 0x8001);
        form_->board()->stream_control(1, 0);
        form_->start_audio();
        vboard::unplug();
        QTRY_VERIFY_WITH_TIMEOUT(form_->board() == nullptr, 5000);
        QVERIFY(!form_->playing());
        expect_box(form_.get(), "board_lost_box", "The board was disconnected.",
                   "Board not connected");
        vboard::reset();  // plugged in again, without firmware
        connect_board();
        QCOMPARE(form_->Label8->text(), QString("5101"));
    }

    void overflow_flags_colour_the_stage_labels() {
        // The chip model in place of the plain register file: register 32 holds
        // sticky flags of the stages that clipped, cleared when it is read.
        vboard::set_pattern(vboard::Pattern::scene);
        connect_board();
        QVERIFY(qvtest::run_with_dfir2_clipping(form_->board()));
        auto colours = [this] {
            QList<QColor> c;
            for (QLabel* l :
                 {form_->Ldcic2, form_->Ldcicn, form_->Ldfir1, form_->Ldfir2, form_->Lgain})
                c << l->palette().color(QPalette::WindowText);
            return c;
        };
        const QColor green(0, 128, 0), red(255, 0, 0);
        form_->show_overflow_flags();
        QCOMPARE(colours(), (QList<QColor>{green, green, green, red, green}));
        form_->show_overflow_flags();  // the first read cleared the flag
        QCOMPARE(colours(), (QList<QColor>{green, green, green, green, green}));
    }

    void stale_notification_of_a_queued_buffer_is_ignored() {
        form_->start_audio();  // both buffers queued
        // A notification for buffer 1 from before a Stop, arriving after the
        // next Radio queued it again: not refilled, no underrun with no board.
        WaveDoneEvent stale(&form_->wave_buffer(0));
        QCoreApplication::sendEvent(form_.get(), &stale);
        QVERIFY(form_->playing());
    }

    void scope_trigger() {
        std::vector<int16_t> f(2 * 4096, 0);
        // Rising zero crossing between 100 and 101 (the one at 36.5 is too early).
        for (int k = 0; k < 4096; ++k)
            f[2 * k] = static_cast<int16_t>(20000 * std::sin(2 * M_PI * (k - 100.5) / 64));
        form_->draw_scope(f.data());
        // x = 50 is the crossing; 16 samples on, the crest.
        const int crest = f[2 * 116] / 1024 + 35;
        QCOMPARE(canvas_pixel(form_->PaintBox2, 66, crest), QColor(Qt::black));
        // No crossing at all: the trace shows samples 206..717.
        for (int k = 0; k < 4096; ++k) f[2 * k] = static_cast<int16_t>(40 * k);
        form_->draw_scope(f.data());
        QCOMPARE(canvas_pixel(form_->PaintBox2, 511, 717 * 40 / 1024 + 35), QColor(Qt::black));
        QCOMPARE(canvas_pixel(form_->PaintBox2, 0, 206 * 40 / 1024 + 35), QColor(Qt::black));
    }

    void disconnect_while_playing() {
        connect_board();
        form_->board()->write_reg(5, 0x8001);
        form_->board()->stream_control(1, 0);
        form_->start_audio();
        QTest::qWait(250);  // real completions from the sound server
        QTest::mouseClick(form_->Button1, Qt::LeftButton);
        QVERIFY(form_->board() == nullptr);
        QVERIFY(!form_->playing());
        // The buffers in flight come back and are not written again.
        QTRY_COMPARE(form_->wave_out().in_flight(), 0);
        QCOMPARE(form_->Label8->text(), QString("5101"));  // labels keep their text
    }

    void closing_stops_everything() {
        connect_board();
        form_->board()->stream_control(1, 0);
        form_->start_audio();
        QVERIFY(vboard::stats().stream_enabled);
        form_->close();
        QVERIFY(form_->board() == nullptr);
        QVERIFY(!form_->wave_out().is_open());
        QVERIFY(!vboard::stats().stream_enabled);
    }

    void failed_sound_output_is_reported() {
        form_.reset();
        const QByteArray saved = qgetenv("PULSE_SERVER");
        qputenv("PULSE_SERVER", "unix:/nonexistent/qv-no-server");
        form_ = std::make_unique<TForm1>(classic_link());
        form_->show();
        QVERIFY(form_->wave_open_result() < 0);
        const QString failed = "The sound output could not be opened";
        QVERIFY(take_message(form_.get(), "wave_out_failed_box").startsWith(failed));
        form_->start_audio();  // tries again, reports again, does not play
        QVERIFY(!form_->playing());
        QVERIFY(take_message(form_.get(), "wave_out_failed_box").startsWith(failed));
        qputenv("PULSE_SERVER", saved);
        form_->start_audio();  // the server is back
        QVERIFY(form_->playing());
    }

    void lost_sound_output_stops_and_is_reported() {
        form_->start_audio();
        WaveLostEvent lost;
        QCoreApplication::sendEvent(form_.get(), &lost);
        QVERIFY(!form_->playing());
        QVERIFY(!form_->wave_out().is_open());
        QVERIFY(take_message(form_.get(), "wave_out_failed_box")
                    .startsWith("The sound output stopped"));
    }
};

QTEST_MAIN(FormTest)
#include "form_test.moc"
