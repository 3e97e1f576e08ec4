// qv01_fm's radio and its sound output. A sound output that is not there, or
// whose server dies while playing, switches the radio off with a message, and
// Radio plays again once the server is back. Each case runs as its own
// process: server_dies_and_comes_back under a private PulseAudio server
// (with_pulse.sh), no_sound_server with PULSE_SERVER naming no server.
#include <QProcess>
#include <QPushButton>
#include <QtTest>
#include <csignal>

#include "mainwindow.h"
#include "pulse_sound_output.h"
#include "radiowidget.h"
#include "sound_generator.h"
#include "widget_test_util.h"

class SoundOutputTest : public QObject {
    Q_OBJECT
    MainWindow* window_ = nullptr;
    qint64 restarted_server_ = 0;

    RadioWidget* radio() { return window_->radio_panel(); }
    QPushButton* radio_button() { return window_->findChild<QPushButton*>("radio_"); }
    // The server asks for more than its buffer holds only while its sink plays.
    bool playing() {
        PulseSoundOutput* out = radio()->pulse_output();
        return radio_button()->isChecked() && out->is_active() &&
               out->blocks_written() > PulseSoundOutput::kBufferedBlocks;
    }
    void expect_message(const char* name, const QString& start) {
        const QString text = qvtest::take_message(window_, name);
        QVERIFY2(text.startsWith(start), qPrintable(text));
    }
    static bool server_answers() {
        QProcess pactl;
        pactl.start("pactl", {"info"});
        return pactl.waitForFinished(5000) && pactl.exitStatus() == QProcess::NormalExit &&
               pactl.exitCode() == 0;
    }

  private slots:
    void initTestCase() {
        window_ = new MainWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QVERIFY(radio()->board() != nullptr);
        QTest::mouseClick(window_->findChild<QPushButton*>("connect_"), Qt::LeftButton);
    }
    void cleanupTestCase() {
        delete window_;
        if (restarted_server_ > 0) ::kill(static_cast<pid_t>(restarted_server_), SIGTERM);
    }

    void server_dies_and_comes_back() {
        QTest::mouseClick(radio_button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(playing(), 15000);

        QCOMPARE(QProcess::execute("pactl", {"exit"}), 0);  // the server goes away
        QTRY_VERIFY_WITH_TIMEOUT(!radio_button()->isChecked(), 15000);
        expect_message("sound_lost_message_", "The sound output stopped");

        // The same server set-up again (with_pulse.sh left its file in place).
        const QString pa = qEnvironmentVariable("XDG_RUNTIME_DIR") + "/null.pa";
        QVERIFY(QProcess::startDetached(
            "pulseaudio",
            {"-n", "-F", pa, "--daemonize=no", "--exit-idle-time=-1", "--realtime=no",
             "--high-priority=no", "--enable-memfd=no", "--log-target=stderr"},
            QString(), &restarted_server_));
        QTRY_VERIFY_WITH_TIMEOUT(server_answers(), 15000);

        QTest::mouseClick(radio_button(), Qt::LeftButton);
        QTRY_VERIFY_WITH_TIMEOUT(playing(), 15000);
    }

    void no_sound_server() {
        QTest::mouseClick(radio_button(), Qt::LeftButton);
        expect_message("no_sound_message_", "The sound output could not be opened");
        QVERIFY(!radio_button()->isChecked());
        QVERIFY(!radio()->pulse_output()->is_active());
        QVERIFY(!radio()->sound_generator()->isOpen());
    }
};

QTEST_MAIN(SoundOutputTest)
#include "sound_output_test.moc"
