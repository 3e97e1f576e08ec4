// Tearing the radio panel down while its sound output plays (run under a
// private PulseAudio server): no pull and no processing run still queued from
// the last pull may run on the panel once it is gone.
#include <QSignalSpy>
#include <QtTest>

#include "pulse_sound_output.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "sound_generator.h"
#include "vboard_control.h"

class TeardownTest : public QObject {
    Q_OBJECT

  private slots:
    void initTestCase() {
        vboard::unplug();  // no board: the panel's signal path runs on an empty ring
        QVERIFY(board_instance() == nullptr);
    }

    void queued_run_does_not_outlive_the_panel() {
        for (int round = 0; round < 2; ++round) {
            auto* radio = new RadioWidget;
            radio->show();  // posts the widget's own events as well
            int runs = 0;
            connect(radio, &RadioWidget::check_ovf, this, [&runs] { ++runs; });
            SoundGenerator* gen = radio->sound_generator();
            QVERIFY(gen->open(QIODevice::ReadOnly));
            if (round == 0) {
                // The sound output's pulls run the panel's processing.
                QCOMPARE(radio->pulse_output()->start(gen, "qv teardown test"), 0);
                QTRY_VERIFY_WITH_TIMEOUT(runs >= 2, 15000);
            }
            // What a pull leaves behind: the next run, queued.
            char block[16384];
            QCOMPARE(gen->read(block, sizeof block), qint64(16384));
            const int before = runs;
            delete radio;
            QCOMPARE(runs, before);
            QCoreApplication::processEvents();
            QCOMPARE(runs, before);
        }
    }
};

QTEST_MAIN(TeardownTest)
#include "teardown_test.moc"
