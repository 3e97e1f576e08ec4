// Tearing the radio panel down with a real audio back end (run under a private
// PulseAudio server): the back end's destructor spins the event loop, so the
// panel must not receive events once its members are gone, and a processing
// run still queued from the last audio pull must not run at all.
#include <QSignalSpy>
#include <QtTest>

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
            // What a pull of the audio device leaves behind: the next run, queued.
            SoundGenerator* gen = radio->sound_generator();
            QVERIFY(gen->open(QIODevice::ReadOnly | QIODevice::Unbuffered));
            char block[16384];
            QCOMPARE(gen->read(block, sizeof block), qint64(16384));
            if (round == 0) {
                // The queued run works while the panel lives.
                QTRY_COMPARE(runs, 1);
                QCOMPARE(gen->read(block, sizeof block), qint64(16384));
            }
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
