// What qv01_fm sends a healthy board, byte for byte: a session of Connect,
// Radio, a preset, every filter control and Radio off on the virtual board,
// compared line by line with session_trace.golden (the firmware download,
// every command and every reply; the stream's reads are not traced). A change
// that alters the traffic fails here; when the change is meant, run the test
// with QV_WRITE_GOLDEN=1 to write the file again and review its diff.
#include <unistd.h>

#include <QCheckBox>
#include <QFile>
#include <QPushButton>
#include <QSlider>
#include <QtTest>

#include "mainwindow.h"
#include "radiowidget.h"
#include "vboard_control.h"
#include "widget_test_util.h"

class SessionTraceTest : public QObject {
    Q_OBJECT

    static QStringList lines(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private slots:
    void session_sends_what_it_always_sent() {
        const QString trace = QDir::temp().filePath(QString("qv_session_%1.trace").arg(getpid()));
        QFile::remove(trace);
        QCOMPARE(vboard::set_trace_file(trace.toStdString()), 0);
        {
            MainWindow window;  // opens the board: the firmware download is traced too
            window.radio_panel()->set_external_audio(true);  // no pulls: no overflow reads
            window.show();
            QVERIFY(QTest::qWaitForWindowExposed(&window));
            auto click = [&](const char* name) {
                QTest::mouseClick(qvtest::child<QAbstractButton>(&window, name), Qt::LeftButton);
            };
            click("connect_");
            click("radio_");
            QTRY_VERIFY_WITH_TIMEOUT(!window.radio_panel()->waiting_for_samples(), 20000);
            QVERIFY(qvtest::child<QPushButton>(&window, "radio_")->isChecked());
            click("radio5_");
            const std::pair<const char*, int> sliders[] = {{"dcic2_", 3},    {"dcicn_", 2},
                                                           {"dfir1_", 4},    {"dfir2_", 5},
                                                           {"gain_", 20000}, {"phase_", 30}};
            for (const auto& [name, value] : sliders)
                qvtest::child<QSlider>(&window, name)->setValue(value);
            click("scl_");
            click("radio_");
        }
        vboard::set_trace_file("");
        const QStringList got = lines(trace);
        QFile::remove(trace);

        const QString golden = QV_SOURCE_DIR "/session_trace.golden";
        if (qEnvironmentVariableIsSet("QV_WRITE_GOLDEN")) {
            QFile f(golden);
            QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
            f.write((got.join('\n') + '\n').toLatin1());
            QSKIP("session_trace.golden written");
        }
        const QStringList want = lines(golden);
        QVERIFY2(!want.isEmpty(), "session_trace.golden is missing");
        for (int i = 0; i < std::min(got.size(), want.size()); ++i)
            QVERIFY2(
                got[i] == want[i],
                qPrintable(
                    QString("line %1: got \"%2\", want \"%3\"").arg(i + 1).arg(got[i], want[i])));
        QCOMPARE(got.size(), want.size());
    }
};

QTEST_MAIN(SessionTraceTest)
#include "session_trace_test.moc"
