// The main window and its panels on the virtual board: what each control
// sends to the board, and what the panels show.
#include <unistd.h>

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QSlider>
#include <QtTest>
#include <cmath>
#include <complex>
#include <vector>

#include "connectwidget.h"
#include "filterswidget.h"
#include "mainwindow.h"
#include "power_spectrum_estimator.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "vboard_control.h"
#include "widget_test_util.h"

namespace {

QString le32(uint32_t v) {
    return QString::asprintf("%02x %02x %02x %02x", v & 0xFF, (v >> 8) & 0xFF, (v >> 16) & 0xFF,
                             (v >> 24) & 0xFF);
}

// Trace lines of a chip register write on chip select 0: address phase, then data phase.
QStringList reg_write_lines(int address, uint32_t value) {
    return {"out 01 : 04 00 00 " + le32(address), "out 01 : 04 00 01 " + le32(value)};
}

}  // namespace

// One queued block of a steady carrier `step` radians per frame above the
// tuning, in place of the board's queue.
// Blocks of a complex tone, one per phase step, then nothing.
class OneBlock : public radio_dsp::SampleSource {
  public:
    explicit OneBlock(std::vector<double> steps = {0.05}) : steps_(std::move(steps)) {}
    int samples_available() override { return 4096 * static_cast<int>(steps_.size() - next_); }
    int read_stream(int, int n, unsigned char* dst) override {
        if (n != 16384 || next_ >= steps_.size()) return -22;
        auto* iq = reinterpret_cast<int16_t*>(dst);
        const double step = steps_[next_++];
        for (int k = 0; k < 4096; ++k) {
            iq[2 * k] = static_cast<int16_t>(10000 * std::cos(step * k));
            iq[2 * k + 1] = static_cast<int16_t>(10000 * std::sin(step * k));
        }
        return 0;
    }

  private:
    std::vector<double> steps_;
    size_t next_ = 0;
};

class PanelsTest : public QObject {
    Q_OBJECT

    MainWindow* window_ = nullptr;
    // The board's queue again once a test has lent the signal path another source.
    std::unique_ptr<radio_dsp::BoardSampleSource<QV_demo_board_>> board_source_;
    QString trace_path_;
    int trace_mark_ = 0;

    template <typename T>
    T* child(const char* name) {
        return qvtest::child<T>(window_, name);
    }

    QStringList trace() {
        QFile f(trace_path_);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }
    // Starts a new stretch of the trace for new_trace().
    void mark_trace() { trace_mark_ = trace().size(); }
    QStringList new_trace() { return trace().mid(trace_mark_); }
    int count_with_prefix(const QStringList& lines, const QString& prefix) {
        int n = 0;
        for (const auto& l : lines) n += l.startsWith(prefix);
        return n;
    }
    bool has_reg_write(const QStringList& lines, int address, uint32_t value) {
        const QStringList want = reg_write_lines(address, value);
        for (int i = 0; i + 1 < lines.size(); ++i)
            if (lines[i] == want[0] && lines[i + 1] == want[1]) return true;
        return false;
    }
    QV_demo_board_* board() { return window_->radio_panel()->board(); }

  private slots:
    void initTestCase() {
        trace_path_ = QDir::temp().filePath(QString("qv_panels_trace_%1.txt").arg(getpid()));
        QFile::remove(trace_path_);
        QCOMPARE(vboard::set_trace_file(trace_path_.toStdString()), 0);
        window_ = new MainWindow;
        window_->radio_panel()->set_external_audio(true);  // no sound server here
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QVERIFY(board() != nullptr);
        board_source_ = std::make_unique<radio_dsp::BoardSampleSource<QV_demo_board_>>(board());
    }

    void cleanupTestCase() {
        delete window_;
        vboard::set_trace_file("");
        QFile::remove(trace_path_);
    }

    void window_has_fixed_size() {
        QCOMPARE(window_->size(), QSize(992, 751));
        QCOMPARE(window_->minimumSize(), QSize(992, 751));
        QCOMPARE(window_->maximumSize(), QSize(992, 751));
        QCOMPARE(window_->windowTitle(), QString("QV01_FM"));
    }

    void radio_panel_paints_the_backdrop_of_its_box() {
        // Painted by the panel or by the box beneath it: the box looks the same.
        RadioWidget* radio = window_->radio_panel();
        const QColor backdrop = radio->backdrop();
        QVERIFY(backdrop.isValid());
        const QImage painted = child<QGroupBox>("radio_box_")->grab().toImage();
        radio->set_backdrop(QColor());
        const QImage beneath = child<QGroupBox>("radio_box_")->grab().toImage();
        radio->set_backdrop(backdrop);
        QCOMPARE(painted, beneath);
    }

    void fill_bar_on_screen_follows_the_fill_level() {
        // Only the strip where the bar's end moved is repainted: the window
        // shows what a repaint of the whole bar shows.
        auto* bar = child<QProgressBar>("buf_filled_");
        auto on_screen = [&] {
            return window_->screen()
                ->grabWindow(window_->winId())
                .toImage()
                .copy(QRect(bar->mapTo(window_, QPoint()), bar->size()));
        };
        for (int avail : {30000, 30100, 52000, 12000, 0, 65536, 40000}) {
            window_->radio_panel()->_on_param_updated(1182, avail);
            QCOMPARE(bar->value(), avail);
            QCoreApplication::sendPostedEvents();  // the coalesced repaint
            const QImage painted = on_screen();
            bar->repaint();
            QCOMPARE(painted, on_screen());
        }
    }

    void read_outs_change_without_laying_out_the_panel() {
        // A layout request per processing run would re-measure every label.
        struct LayoutRequests : QObject {
            int count = 0;
            bool eventFilter(QObject*, QEvent* e) override {
                count += e->type() == QEvent::LayoutRequest;
                return false;
            }
        } requests;
        QCoreApplication::sendPostedEvents();
        for (QWidget* w :
             {static_cast<QWidget*>(window_), static_cast<QWidget*>(window_->radio_panel())})
            w->installEventFilter(&requests);
        for (int avail : {7, 65536, 30000}) {
            window_->radio_panel()->_on_param_updated(avail == 7 ? -99999 : 1182, avail);
            QCoreApplication::sendPostedEvents();
            for (const char* name : {"step_", "avail_"}) {
                auto* label = child<QLabel>(name);
                QVERIFY2(label->sizeHint().width() <= label->width(), name);  // shown whole
            }
        }
        QCOMPARE(requests.count, 0);
    }

    void test_pattern_reaches_the_image() {
        const QPixmap pm = child<QLabel>("image_")->pixmap(Qt::ReturnByValue);
        QCOMPARE(pm.size(), QSize(128, 128));
        const QImage img = pm.toImage();
        // Pixel (row 10, column 20): blue = 30, green = 20, red = 40.
        QCOMPARE(img.pixelColor(20, 10), QColor(40, 20, 30));
    }

    void identifier_labels_read_signed_and_unsigned() {
        QCOMPARE(firmware_id_text(-2), QString("0x-2"));
        QCOMPARE(device_id_text(0xFFFFFFFEu), QString("0xfffffffe"));
        QCOMPARE(firmware_id_text(0x1a2b), QString("0x1a2b"));
    }

    void connect_identifies_board_and_drives_lines() {
        QSignalSpy updated(window_->filters_panel(), &FiltersWidget::kp_updated);
        mark_trace();
        QTest::mouseClick(child<QPushButton>("connect_"), Qt::LeftButton);
        const vboard::Stats st = vboard::stats();
        QCOMPARE(child<QLabel>("fw_id_")->text(),
                 firmware_id_text(static_cast<int32_t>(st.firmware_id)));
        QCOMPARE(child<QLabel>("qv_devid_")->text(), device_id_text(vboard::chip_register(1)));
        QVERIFY(child<QCheckBox>("nload_")->isChecked());
        QVERIFY(child<QCheckBox>("nmisk_")->isChecked());
        QCOMPARE(st.lines, 3u);
        const QStringList t = new_trace();
        QCOMPARE(count_with_prefix(t, "out 01 : 03"), 2);
        QVERIFY(t.contains("out 01 : 02 0a 00 00"));
        QVERIFY(t.contains("out 01 : 0f 00 02 00"));
        QVERIFY(t.contains("out 01 : 01 00 00 02 0d 00"));
        QVERIFY(t.contains("out 01 : 04 02 01 00 40 00 00"));
        QVERIFY(t.contains("out 01 : 0e 01 00 00"));
        QVERIFY(updated.count() >= 1);  // the filters panel re-read the chip
    }

    void second_connect_sends_no_line_commands() {
        mark_trace();
        QTest::mouseClick(child<QPushButton>("connect_"), Qt::LeftButton);
        const QStringList t = new_trace();
        QVERIFY(t.contains("out 01 : 02 0a 00 00"));
        QCOMPARE(count_with_prefix(t, "out 01 : 03"), 0);
    }

    void unchecking_a_line_box_sends_one_command() {
        mark_trace();
        child<QCheckBox>("nload_")->setChecked(false);
        QStringList t = new_trace();
        QCOMPARE(count_with_prefix(t, "out 01 : 03"), 1);
        QVERIFY(t.contains("out 01 : 03 00 00 02 00 00 00"));
        mark_trace();
        child<QCheckBox>("nmisk_")->setChecked(false);
        t = new_trace();
        QCOMPARE(count_with_prefix(t, "out 01 : 03"), 1);
        QVERIFY(t.contains("out 01 : 03 00 00 01 00 00 00"));
        QCOMPARE(vboard::stats().lines, 0u);
        child<QCheckBox>("nload_")->setChecked(true);
        child<QCheckBox>("nmisk_")->setChecked(true);
        QCOMPARE(vboard::stats().lines, 3u);
    }

    void scale_slider_writes_its_field() {
        board()->write_reg(36, 0x8708);
        child<QSlider>("dcic2_")->setValue(15);
        mark_trace();
        child<QSlider>("dcic2_")->setValue(7);
        QVERIFY(has_reg_write(new_trace(), 36, 0x8707));
        QCOMPARE(vboard::chip_register(36), uint16_t(0x8707));
        QCOMPARE(child<QLabel>("dcic2_value_")->text(), QString("7"));
        // The read of the read-modify-write is lost: nothing is written back.
        vboard::stall_next_reply();
        child<QSlider>("dcic2_")->setValue(3);
        QCOMPARE(vboard::chip_register(36), uint16_t(0x8707));
    }

    void scl_box_sets_bit_4() {
        board()->write_reg(37, 0xCF00);
        child<QCheckBox>("scl_")->setChecked(false);
        QTest::mouseClick(child<QCheckBox>("scl_"), Qt::LeftButton);
        QCOMPARE(vboard::chip_register(37), uint16_t(0xCF10));
    }

    void gain_and_phase_write_i_and_q() {
        child<QSlider>("phase_")->setValue(0);
        mark_trace();
        child<QSlider>("gain_")->setValue(16384);
        QStringList t = new_trace();
        QVERIFY(has_reg_write(t, 42, 16384));
        QVERIFY(has_reg_write(t, 43, 0));
        QVERIFY(has_reg_write(t, 5, 5));
        mark_trace();
        child<QSlider>("phase_")->setValue(50);  // cos(pi/2) truncates to 0
        t = new_trace();
        QVERIFY(has_reg_write(t, 42, 0));
        QVERIFY(has_reg_write(t, 43, 16384));
        mark_trace();
        child<QSlider>("phase_")->setValue(-100);  // -pi: I = -16384, Q truncates to 0
        t = new_trace();
        QVERIFY(has_reg_write(t, 42, uint32_t(-16384)));
        QVERIFY(has_reg_write(t, 43, 0));
        child<QSlider>("phase_")->setValue(0);
    }

    void kp_follows_the_chain_formula() {
        // CIC stages off, each DFIR reduced to its centre coefficient 64 at
        // scale 15: 2^(15-21) * 64 = 1 per DFIR, so only the gain stage counts.
        QV_demo_board_* b = board();
        b->write_reg(36, 0x000F);
        b->write_reg(37, 0x000F);
        b->write_reg(38, 0x4000);
        b->write_reg(64, 64);
        b->write_reg(39, 15);
        b->write_reg(40, 0x4000);
        b->write_reg(128, 64);
        b->write_reg(41, 15);
        FiltersWidget* f = window_->filters_panel();
        QSignalSpy kp(f, &FiltersWidget::kp_updated);
        child<QSlider>("gain_")->setValue(16384);
        f->_on_update();
        QVERIFY(kp.count() >= 1);
        QVERIFY(std::fabs(kp.last().at(0).toDouble()) < 1e-9);
        child<QSlider>("gain_")->setValue(32767);
        QVERIFY(std::fabs(kp.last().at(0).toDouble() - 6.0203) < 1e-4);
        // CIC2 on with ratio 8 at scale 8: 2^(8-16) * 4 * 64 = 1, kp unchanged.
        b->write_reg(36, 0x8708);
        f->_on_update();
        QVERIFY(std::fabs(kp.last().at(0).toDouble() - 6.0203) < 1e-4);
        QCOMPARE(child<QSlider>("dcic2_")->value(), 8);
        // The kp reaches the radio panel as the spectrum's reference: one
        // demodulated block sends its spectrum lowered by kp + 154.9558 dB.
        RadioWidget* radio = window_->radio_panel();
        QSignalSpy spectrum(radio, &RadioWidget::signal_updated);
        OneBlock block;
        radio->signal_path().set_source(&block);
        radio->signal_path().demodulate_queued(false);
        radio->signal_path().set_source(board_source_.get());
        QCOMPARE(spectrum.count(), 1);
        QCOMPARE(spectrum.at(0).at(1).toInt(), 4096);
        QVERIFY(std::fabs(spectrum.at(0).at(2).toDouble() - (6.0203 + 154.9558)) < 1e-4);
        child<QSlider>("gain_")->setValue(99);
    }

    // The panel draws one spectrum per processing run, the latest block's,
    // mirrored about zero (the chip's channel presents the band spectrally
    // inverted) so that its axis reads RF from left to right: shown bin j is
    // the block's bin (N - j) mod N, zero and the band edge staying in place.
    void spectrum_shows_the_runs_latest_block_mirrored() {
        std::vector<double> shown;
        int spectra = 0;
        RadioWidget* radio = window_->radio_panel();
        const auto c =
            connect(radio, &RadioWidget::signal_updated, this, [&](const double* p, int n, double) {
                shown.assign(p, p + n);
                ++spectra;
            });
        const double step = 2 * M_PI * 100 / 4096;  // baseband bin +100
        OneBlock blocks({3 * step, 2 * step, step});
        radio->signal_path().set_source(&blocks);
        QCOMPARE(radio->signal_path().demodulate_queued(false), 3);
        radio->signal_path().set_source(board_source_.get());
        disconnect(c);
        QCOMPARE(spectra, 1);

        std::vector<int16_t> iq(2 * 4096);
        QCOMPARE(
            OneBlock({step}).read_stream(0, 16384, reinterpret_cast<unsigned char*>(iq.data())), 0);
        std::vector<std::complex<double>> in(4096);
        for (int k = 0; k < 4096; ++k) in[k] = {double(iq[2 * k]), double(iq[2 * k + 1])};
        radio_dsp::SpectrumEstimator block_spectrum;
        block_spectrum.window = radio_dsp::blackman_window;
        QCOMPARE(block_spectrum.compute(in.data()), 0);
        QCOMPARE(static_cast<int>(shown.size()), 4096);
        for (int j = 0; j < 4096; ++j)
            QVERIFY2(shown[j] == block_spectrum.result()[(4096 - j) % 4096],
                     qPrintable(QString::number(j)));
    }

    void overflow_flags_colour_the_stage_names() {
        QVERIFY(qvtest::run_with_dfir2_clipping(board()));
        auto sheets = [this] {
            QStringList s;
            for (const char* name :
                 {"dcic2_label_", "dcicn_label_", "dfir1_label_", "dfir2_label_", "gain_label_"})
                s << child<QLabel>(name)->styleSheet();
            return s;
        };
        const QString green = "QLabel {color : green}", red = "QLabel {color : red}";
        window_->filters_panel()->_on_check_ovf();
        QCOMPARE(sheets(), (QStringList{green, green, green, red, green}));
        window_->filters_panel()->_on_check_ovf();  // the read cleared the flag
        QCOMPARE(sheets(), (QStringList{green, green, green, green, green}));
    }

    void radio_on_configures_tunes_and_streams() {
        RadioWidget* radio = window_->radio_panel();
        QSignalSpy freq(radio, &RadioWidget::freq_updated);
        QSignalSpy update(radio, &RadioWidget::update_filters);
        mark_trace();
        QTest::mouseClick(child<QPushButton>("radio_"), Qt::LeftButton);
        QVERIFY(child<QPushButton>("radio_")->isChecked());
        QCOMPARE(update.count(), 1);
        QCOMPARE(freq.count(), 1);
        QCOMPARE(freq.at(0).at(0).toDouble(), 100.0);
        QCOMPARE(freq.at(0).at(1).toDouble(), 66.0 / 324);
        const QStringList t = new_trace();
        // Start sequence, then 100 MHz: word 0x83E0F83E, low half first.
        QVERIFY(has_reg_write(t, 5, 0x8001));
        QVERIFY(t.contains("out 01 : 0d 00 01 00"));
        QVERIFY(has_reg_write(t, 46, 0xF83E));
        QVERIFY(has_reg_write(t, 47, 0x83E0));
        QVERIFY(has_reg_write(t, 5, 0x8003));
        QCOMPARE(child<QLabel>("text_frequency_")->text(), QString("100 MHz"));
        QCOMPARE(child<QSlider>("frequency_")->value(), 1000);  // the slider is not moved
        // The audio starts once 10000 frames are queued, without blocking the window.
        QVERIFY(radio->waiting_for_samples());
        QTRY_VERIFY_WITH_TIMEOUT(!radio->waiting_for_samples(), 20000);
        QVERIFY(child<QPushButton>("radio_")->isChecked());
        QVERIFY(QFile::exists("config.c"));
    }

    void preset_tunes_the_nco() {
        mark_trace();
        QTest::mouseClick(child<QPushButton>("radio5_"), Qt::LeftButton);
        QCOMPARE(child<QSlider>("frequency_")->value(), 1057);
        QCOMPARE(child<QLabel>("text_frequency_")->text(), QString("105.7 MHz"));
        const QStringList t = new_trace();
        QVERIFY(has_reg_write(t, 46, 0xE59F));
        QVERIFY(has_reg_write(t, 47, 0x99FC));
        // Pressing the preset the slider already shows tunes again.
        mark_trace();
        QTest::mouseClick(child<QPushButton>("radio5_"), Qt::LeftButton);
        QVERIFY(has_reg_write(new_trace(), 46, 0xE59F));
    }

    void radio_off_stops_receiver_and_stream() {
        mark_trace();
        QTest::mouseClick(child<QPushButton>("radio_"), Qt::LeftButton);
        QVERIFY(!child<QPushButton>("radio_")->isChecked());
        const QStringList t = new_trace();
        QVERIFY(has_reg_write(t, 5, 0));
        QVERIFY(t.contains("out 01 : 0d 00 00 00"));
        QVERIFY(!vboard::stats().stream_enabled);
    }

    // Last: the board streams at a trickle for the rest of the process.
    void radio_gives_up_when_the_stream_never_comes() {
        // A 1 kHz chip clock: about 3 frames a second reach the queue.
        vboard::set_pattern(vboard::Pattern::tone);
        vboard::set_clock_hz(1000.0);
        // Take what the last run left in the sample queue.
        std::vector<unsigned char> rest(board()->bytes_available(0));
        QCOMPARE(board()->read_stream(0, static_cast<int>(rest.size()), rest.data()), 0);
        QTest::mouseClick(child<QPushButton>("radio_"), Qt::LeftButton);
        RadioWidget* radio = window_->radio_panel();
        QVERIFY(radio->waiting_for_samples());
        QVERIFY(child<QPushButton>("radio_")->isChecked());
        // The window stays responsive while it waits: events are processed.
        QTRY_VERIFY_WITH_TIMEOUT(!radio->waiting_for_samples(), RadioWidget::kQueueWaitMs + 2000);
        QVERIFY(!child<QPushButton>("radio_")->isChecked());
        auto* box = window_->findChild<QMessageBox*>("no_stream_message_");
        QVERIFY(box != nullptr);
        QVERIFY(box->text().contains("no sample stream"));
        box->close();
    }
};

QTEST_MAIN(PanelsTest)
#include "panels_test.moc"
