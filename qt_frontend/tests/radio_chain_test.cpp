// The radio panel's signal path end to end on the virtual board's chip model:
// the test stands in for the audio device and pulls one block every 92.9 ms,
// as the sound card would, so what the program plays can be checked exactly.
// The scene (QV_VIRTUAL_SCENE) puts stations off their nominal frequencies.
#include <QCheckBox>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>
#include <cmath>
#include <vector>

#include "mainwindow.h"
#include "radiowidget.h"
#include "sound_generator.h"
#include "wav_measure.h"
#include "widget_test_util.h"

class RadioChainTest : public QObject {
    Q_OBJECT
    MainWindow* window_ = nullptr;
    std::vector<double> last_spectrum_;
    int spectra_ = 0;

    template <typename T>
    T* child(const char* name) {
        return qvtest::child<T>(window_, name);
    }
    RadioWidget* radio() { return window_->radio_panel(); }

    // Pulls `blocks` audio blocks at the sound card's pace; returns them (stereo).
    std::vector<int16_t> play(int blocks) {
        std::vector<int16_t> pcm;
        std::vector<char> block(16384);
        for (int b = 0; b < blocks; ++b) {
            QTest::qWait(93);
            const qint64 got = radio()->sound_generator()->read(block.data(), 16384);
            if (got != 16384) qFatal("pull returned %lld", static_cast<long long>(got));
            const auto* s = reinterpret_cast<const int16_t*>(block.data());
            pcm.insert(pcm.end(), s, s + 8192);
        }
        return pcm;
    }
    void tune(const char* preset) { QTest::mouseClick(child<QPushButton>(preset), Qt::LeftButton); }

  private slots:
    void initTestCase() {
        window_ = new MainWindow;
        radio()->set_external_audio(true);
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QVERIFY(radio()->board() != nullptr);
        connect(radio(), &RadioWidget::signal_updated, this,
                [this](const double* d, int n, double) {
                    last_spectrum_.assign(d, d + n);
                    ++spectra_;
                });
        QTest::mouseClick(child<QPushButton>("connect_"), Qt::LeftButton);
        child<QCheckBox>("afc_")->setChecked(false);
        QTest::mouseClick(child<QPushButton>("radio_"), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(!radio()->waiting_for_samples(), 20000);
        QVERIFY(child<QPushButton>("radio_")->isChecked());
    }
    void cleanupTestCase() { delete window_; }

    void plays_the_tuned_stations_audio() {
        tune("radio6_");  // 106.2 MHz: three steady tones
        play(12);         // settle: filters, ring and rate matching
        qvtools::Pcm pcm;
        pcm.rate_hz = 44100;
        pcm.channels = 2;
        pcm.samples = play(40);
        qvtools::ToneReport r;
        QCOMPARE(qvtools::measure_tone(pcm, 0, {261.63, 329.63, 392.0}, 0.0, r), 0);
        qInfo("106.2 MHz: dominant %.2f Hz, %.1f dBFS RMS, SNR %.1f dB", r.frequency_hz, r.rms_dbfs,
              r.snr_db);
        const bool one_of_the_tones = std::fabs(r.frequency_hz / 261.63 - 1) < 0.01 ||
                                      std::fabs(r.frequency_hz / 329.63 - 1) < 0.01 ||
                                      std::fabs(r.frequency_hz / 392.0 - 1) < 0.01;
        QVERIFY2(one_of_the_tones, qPrintable(QString::number(r.frequency_hz)));
        QVERIFY2(r.snr_db >= 30.0, qPrintable(QString::number(r.snr_db)));
        // Both channels carry the same mono audio.
        for (size_t i = 0; i < pcm.samples.size(); i += 2)
            QCOMPARE(pcm.samples[i], pcm.samples[i + 1]);
    }

    void spectrum_peak_sits_at_the_station_offset() {
        tune("radio4_");  // 103.7 MHz; the scene's carrier is 30 kHz above it
        play(8);
        QVERIFY(spectra_ > 0);
        QCOMPARE(static_cast<int>(last_spectrum_.size()), 4096);
        int peak = 0;
        for (int i = 1; i < 4096; ++i)
            if (last_spectrum_[i] > last_spectrum_[peak]) peak = i;
        const double fs = 66e6 / 324;
        const double offset_hz = (peak - 2048) * fs / 4096;
        qInfo("carrier at %.0f Hz from the tuning on the spectrum", offset_hz);
        QVERIFY2(std::fabs(offset_hz - 30e3) < 2 * fs / 4096,
                 qPrintable(QString::number(offset_hz)));
    }

    void afc_pulls_in_an_offset_station() {
        tune("radio2_");  // 101.2 MHz; the station is 20 kHz above
        play(4);
        child<QCheckBox>("afc_")->setChecked(true);
        const double target = 101.22e6;
        int blocks = 0;
        while (std::fabs(radio()->signal_path().frequency_hz() - target) > 500.0 && blocks < 60) {
            play(1);
            ++blocks;
        }
        qInfo("AFC: within 500 Hz of the station after %d blocks (%.2f s)", blocks,
              blocks * 4096 / 44100.0);
        QVERIFY2(blocks < 60, qPrintable(QString::number(radio()->signal_path().frequency_hz())));
        play(10);  // and it stays there
        QVERIFY(std::fabs(radio()->signal_path().frequency_hz() - target) < 500.0);
        child<QCheckBox>("afc_")->setChecked(false);
    }
};

QTEST_MAIN(RadioChainTest)
#include "radio_chain_test.moc"
