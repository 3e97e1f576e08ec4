// qv01_fm keeps watch, on the virtual board: it plays the frequency it shows,
// its status line tells the tuning and the stream's health, files that are
// missing are named, a board that goes away switches the radio off with a
// message, and Connect opens the board again once it is back. The test pulls
// the audio blocks itself, as the sound card would.
#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QSlider>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QtTest>
#include <cmath>
#include <vector>

#include "mainwindow.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "sound_generator.h"
#include "vboard_control.h"
#include "widget_test_util.h"

using qvtest::WorkingDirectory;

class WatchTest : public QObject {
    Q_OBJECT
    MainWindow* window_ = nullptr;

    template <typename T>
    T* child(const char* name) {
        return qvtest::child<T>(window_, name);
    }
    RadioWidget* radio() { return window_->radio_panel(); }
    QPushButton* radio_button() { return child<QPushButton>("radio_"); }
    QString status() { return window_->statusBar()->currentMessage(); }
    void click(const char* name) { QTest::mouseClick(child<QPushButton>(name), Qt::LeftButton); }

    // Pulls at the sound card's pace; each pull's processing run has run on return.
    void play(int blocks) {
        std::vector<char> block(16384);
        for (int b = 0; b < blocks && radio()->sound_generator()->isOpen(); ++b) {
            radio()->sound_generator()->read(block.data(), 16384);
            QTest::qWait(93);
        }
    }
    void switch_on() {
        click("radio_");
        QVERIFY(radio_button()->isChecked());
        QTRY_VERIFY_WITH_TIMEOUT(!radio()->waiting_for_samples(), 10000);
        QVERIFY(radio_button()->isChecked());
    }
    QString take_message(const char* name) { return qvtest::take_message(window_, name); }

  private slots:
    void initTestCase() {
        window_ = new MainWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QVERIFY(radio()->board() != nullptr);
        radio()->set_external_audio(true);
        click("connect_");
    }
    void cleanupTestCase() { delete window_; }

    void radio_plays_what_the_slider_shows() {
        child<QCheckBox>("afc_")->setChecked(false);
        child<QSlider>("frequency_")->setValue(1057);
        switch_on();
        QCOMPARE(radio()->signal_path().frequency_hz(), 105.7e6);
        QCOMPARE(vboard::chip_register(46), 0xE59F);
        QCOMPARE(vboard::chip_register(47), 0x99FC);
        // The preset already chosen tunes again, dropping a correction.
        radio()->signal_path().set_frequency(105.7123e6);
        click("radio5_");
        QCOMPARE(radio()->signal_path().frequency_hz(), 105.7e6);
        QCOMPARE(vboard::chip_register(46), 0xE59F);
    }

    void status_line_tells_tuning_and_health() {
        play(12);
        // Drops are counted, not forbidden: a busy machine may starve the stream thread.
        QTRY_VERIFY_WITH_TIMEOUT(status().contains(QRegularExpression(
                                     "^105\\.7000 MHz  \\|  ring drops \\d+  \\|  rate ")),
                                 10000);
        QVERIFY2(status().contains(QRegularExpression("rate [+-]\\d+ ppm  \\|  fill \\d+  \\|  "
                                                      "underruns \\d+$")),
                 qPrintable(status()));
        child<QCheckBox>("afc_")->setChecked(true);
        radio()->signal_path().set_frequency(105.6873e6);  // as the AFC would
        const QString tuned = QString("105.6873 MHz, AFC ") + QChar(0x2212) + "12.7 kHz  |  ";
        QTRY_VERIFY2_WITH_TIMEOUT(status().startsWith(tuned), qPrintable(status()), 10000);
    }

    // The 101.2 MHz station of the scene sits 20 kHz above its preset: the
    // AFC pulls the tuning there, and the spectrum's axis goes along.
    void spectrum_axis_follows_the_afc() {
        QSignalSpy axis(radio(), &RadioWidget::freq_updated);
        click("radio2_");
        for (int b = 0; b < 60 && std::fabs(radio()->signal_path().frequency_hz() - 101.22e6) > 500;
             ++b)
            play(1);
        QVERIFY(!axis.isEmpty());
        const double centre = axis.last().at(0).toDouble();
        QVERIFY2(std::fabs(centre - 101.22) < 0.002, qPrintable(QString::number(centre, 'f', 4)));
        child<QCheckBox>("afc_")->setChecked(false);
    }

    void missing_configuration_keeps_the_radio_off() {
        click("radio_");  // off
        QTemporaryDir dir;
        QVERIFY(QDir(dir.path()).mkdir("run"));
        const uint64_t commands = vboard::stats().commands;
        {
            WorkingDirectory in(dir.path() + "/run");  // no ../config/FM_radio.ini there
            click("radio_");
        }
        QVERIFY(!radio_button()->isChecked());
        QCOMPARE(vboard::stats().commands, commands);  // nothing was sent to the chip
        const QString text = take_message("config_error_message_");
        QVERIFY2(text.contains(dir.path() + "/run/../config/FM_radio.ini"), qPrintable(text));
        QVERIFY2(status().contains("FM_radio.ini"), qPrintable(status()));
    }

    void lost_board_switches_the_radio_off() {
        switch_on();
        play(3);
        QElapsedTimer since;
        since.start();
        vboard::unplug();
        // Pulls go on as the sound card's would, until the audio stops.
        while (radio_button()->isChecked() && since.elapsed() < 10000) play(1);
        qInfo("the radio stopped %lld ms after the board went away", since.elapsed());
        QVERIFY(!radio_button()->isChecked());
        QVERIFY(!radio()->sound_generator()->isOpen());
        QCOMPARE(take_message("board_lost_message_"), QString("The board was disconnected."));
        QVERIFY2(status().contains("The board was disconnected."), qPrintable(status()));
        QVERIFY(!child<QCheckBox>("nload_")->isEnabled());
        QCOMPARE(radio()->board()->bridge_write(2, 1, 0), -19);  // and it sends nothing
    }

    void missing_firmware_is_named() {
        QTemporaryDir dir;
        vboard::reset();  // back, without firmware
        {
            WorkingDirectory in(dir.path());  // no ../fw/proto.hex from here
            click("connect_");
        }
        const QString text = take_message("firmware_message_");
        QVERIFY2(text.contains(QDir::cleanPath(dir.path() + "/../fw/proto.hex")) &&
                     text.contains(dir.path()),
                 qPrintable(text));
        QVERIFY(radio()->board() == nullptr);
    }

    void connect_opens_the_board_again() {
        click("connect_");
        QVERIFY(radio()->board() != nullptr);
        QVERIFY(!radio()->board()->device_lost());
        QCOMPARE(child<QLabel>("qv_devid_")->text(), QString("0x5101"));
        QVERIFY(child<QCheckBox>("nload_")->isChecked());
        QCOMPARE(vboard::stats().lines, 3u);
        QVERIFY(!status().contains("disconnected"));
        switch_on();
        play(4);
        QVERIFY(radio_button()->isChecked());
        QCOMPARE(vboard::chip_register(47), 0x8888);  // the slider's 101.2 MHz
    }
};

QTEST_MAIN(WatchTest)
#include "watch_test.moc"
