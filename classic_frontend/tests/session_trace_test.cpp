// What tunerdesk sends a healthy board, byte for byte: a session of Connect,
// Radio, a preset, every filter control and Stop on the virtual board (40 MHz,
// run/tunerdesk's configuration; no sound server, so no buffer completions
// add their reads), compared line by line with session_trace.golden. When a
// change is meant, run with QV_WRITE_GOLDEN=1 and review the file's diff.
#include <unistd.h>

#include <QFile>
#include <QtTest>

#include "classic_board.h"
#include "unitvcl1.h"
#include "vboard_control.h"

class SessionTraceTest : public QObject {
    Q_OBJECT

    static QStringList lines(const QString& path) {
        QFile f(path);
        if (!f.open(QIODevice::ReadOnly)) return {};
        return QString::fromLatin1(f.readAll()).split('\n', Qt::SkipEmptyParts);
    }

  private slots:
    void session_sends_what_it_always_sent() {
        const QString trace = QDir::temp().filePath(QString("td_session_%1.trace").arg(getpid()));
        QFile::remove(trace);
        vboard::set_pattern(vboard::Pattern::tone);
        vboard::set_clock_hz(40e6);
        QCOMPARE(vboard::set_trace_file(trace.toStdString()), 0);
        {
            BoardLink link;
            link.create = [](std::string* error) { return create_classic_board(error); };
            link.connect = [](QV_demo_board_& b, int32_t* fw, int32_t* dev) {
                const ClassicIds ids = classic_connect(b);
                *fw = ids.firmware_id;
                *dev = ids.device_id;
            };
            TForm1 form(link);
            form.show();
            QVERIFY(QTest::qWaitForWindowExposed(&form));
            QTest::mouseClick(form.Button1, Qt::LeftButton);
            QVERIFY(form.board() != nullptr);
            QTest::mouseClick(form.Button7, Qt::LeftButton);
            QTest::mouseClick(form.Button6, Qt::LeftButton);  // 105.7 MHz
            form.TrackBar4->setValue(3);
            form.TrackBar5->setValue(2);
            form.TrackBar6->setValue(4);
            form.TrackBar7->setValue(5);
            form.CheckBox1->setChecked(!form.CheckBox1->isChecked());
            form.TrackBar3->setValue(20000);
            form.TrackBar2->setValue(30);
            QTest::mouseClick(form.Button4, Qt::LeftButton);  // Stop
            form.shutdown();
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
