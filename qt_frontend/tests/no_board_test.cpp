// qv01_fm started without a board: the window comes up, Connect and Radio say
// that no board was found, nothing touches the missing board, and Connect
// opens the board once it is attached.
#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include "connectwidget.h"
#include "mainwindow.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "vboard_control.h"
#include "widget_test_util.h"

class NoBoardTest : public QObject {
    Q_OBJECT
    MainWindow* window_ = nullptr;

    template <typename T>
    T* child(const char* name) {
        return qvtest::child<T>(window_, name);
    }
    void close_message(const char* name) {
        QString title;
        QCOMPARE(qvtest::take_message(window_, name, &title), QString(kNoBoardText));
        QCOMPARE(title, QString(kNoBoardCaption));
    }

  private slots:
    void initTestCase() {
        vboard::unplug();  // nothing on the bus: board_instance() finds no board
        window_ = new MainWindow;
        window_->show();
        QVERIFY(QTest::qWaitForWindowExposed(window_));
        QVERIFY(board_instance() == nullptr);
    }
    void cleanupTestCase() { delete window_; }

    void connect_reports_the_missing_board() {
        QTest::mouseClick(child<QPushButton>("connect_"), Qt::LeftButton);
        close_message("no_board_message_");
        QCOMPARE(child<QLabel>("fw_id_")->text(), QString("0x0000"));
        QVERIFY(!child<QCheckBox>("nload_")->isEnabled());
    }

    void radio_does_not_stay_on() {
        QTest::mouseClick(child<QPushButton>("radio_"), Qt::LeftButton);
        QVERIFY(!child<QPushButton>("radio_")->isChecked());
        QVERIFY(!window_->radio_panel()->waiting_for_samples());
        close_message("no_board_message_");
    }

    void tuning_and_filters_only_change_the_display() {
        child<QSlider>("frequency_")->setValue(1035);
        QCOMPARE(child<QLabel>("text_frequency_")->text(), QString("103.5 MHz"));
        QVERIFY(!child<QSlider>("dcic2_")->isEnabled());
        QVERIFY(!child<QSlider>("gain_")->isEnabled());
    }

    // A board attached after start-up is opened by the next Connect.
    void connect_opens_a_board_attached_later() {
        vboard::reset();
        QTest::mouseClick(child<QPushButton>("connect_"), Qt::LeftButton);
        QVERIFY(board_instance() != nullptr);
        QCOMPARE(window_->radio_panel()->board(), board_instance());
        QCOMPARE(child<QLabel>("qv_devid_")->text(), QString("0x5101"));
        QVERIFY(child<QSlider>("dcic2_")->isEnabled());
    }
};

QTEST_MAIN(NoBoardTest)
#include "no_board_test.moc"
