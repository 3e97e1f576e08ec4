// Spectrum panel: axes, markers, read-out and the trace's placement.
#include "band_spectrum_widget.h"

#include <QLabel>
#include <QSlider>
#include <QtTest>
#include <cmath>
#include <vector>

#include "band_spectrum_label.h"

class SpecWidgetTest : public QObject {
    Q_OBJECT

    static QString text_of(SpecWidget& w, const char* name) {
        return w.findChild<QLabel*>(name)->text();
    }

  private slots:
    void starts_at_zero_reference_and_five_db_per_division() {
        SpecWidget w;
        QCOMPARE(w.top_db(), 0.0);
        QCOMPARE(w.bottom_db(), -50.0);
        QCOMPARE(w.db_per_division(), 5);
        QCOMPARE(text_of(w, "scale_val_"), QString("5"));
        QCOMPARE(text_of(w, "ref_val_"), QString("0"));
        QCOMPARE(w.findChild<SpecLabel*>("canvas_")->size(), QSize(541, 250));
    }

    void reference_and_scale_sliders_move_the_level_axis() {
        SpecWidget w;
        w.findChild<QSlider*>("ref_")->setValue(-3);
        w.findChild<QSlider*>("scale_")->setValue(2);
        QCOMPARE(w.top_db(), -30.0);
        QCOMPARE(w.db_per_division(), 10);
        QCOMPARE(w.bottom_db(), -130.0);
        QCOMPARE(text_of(w, "ref_val_"), QString("-30"));
        QCOMPARE(text_of(w, "scale_val_"), QString("10"));
        // The reference after the scale keeps ten divisions below the top.
        w.findChild<QSlider*>("ref_")->setValue(1);
        QCOMPARE(w.bottom_db(), 10.0 - 100.0);
    }

    void frequency_axis_spans_band_plus_a_tenth() {
        SpecWidget w;
        w.set_freq_scale(100.0, 66.0 / 324.0);
        QVERIFY(std::fabs(w.left_mhz() - 99.898148) < 1e-6);
        QVERIFY(std::fabs(w.right_mhz() - 100.122222) < 1e-6);
        w.show_coord(0, 0);
        QCOMPARE(text_of(w, "coord_"), QString("(99.8981, 0)"));
        w.show_coord(541, 250);
        QCOMPARE(text_of(w, "coord_"), QString("(100.122, -50)"));
    }

    void clicks_set_markers_alternately() {
        SpecWidget w;
        auto* canvas = w.findChild<SpecLabel*>("canvas_");
        QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, QPoint(10, 0));
        QCOMPARE(text_of(w, "marker1_"), QString("0"));
        QTest::mouseClick(canvas, Qt::RightButton, Qt::NoModifier, QPoint(10, 250));
        QCOMPARE(text_of(w, "marker2_"), QString("-50"));
        QCOMPARE(text_of(w, "diff_"), QString("50"));
        QTest::mouseClick(canvas, Qt::LeftButton, Qt::NoModifier, QPoint(10, 125));
        QCOMPARE(text_of(w, "marker1_"), QString("-25"));
        QCOMPARE(text_of(w, "marker2_"), QString("-50"));
        QCOMPARE(text_of(w, "diff_"), QString("25"));
    }

    void level_rows_clip_just_outside_the_canvas() {
        SpecWidget w;
        QCOMPARE(w.row_of(0.0), 0);
        QCOMPARE(w.row_of(-50.0), 250);
        QCOMPARE(w.row_of(-10.0), 50);
        QCOMPARE(w.row_of(0.5), -1);
        QCOMPARE(w.row_of(-50.5), 251);
        QCOMPARE(w.row_of(-HUGE_VAL), 251);  // log of a zero power
        QCOMPARE(w.row_of(std::nan("")), 251);
    }

    void trace_puts_a_tone_in_its_column_at_its_level() {
        SpecWidget w;
        // Noise floor at -45 dB, one bin at -10 dB; offset 0, so power = 10^(dB/10).
        std::vector<double> p(4096, std::pow(10.0, -4.5));
        p[2048 + 400] = 0.1;
        w.draw_spectrum(p.data(), static_cast<int>(p.size()), 0.0);
        const QImage img = w.findChild<SpecLabel*>("canvas_")->picture();
        const int column = (2048 + 400) * 541 / 4096;
        const QColor green(Qt::green);
        // The tone's column reaches up to the -10 dB row; its neighbours stay at the floor.
        QCOMPARE(img.pixelColor(column, 50), green);
        QCOMPARE(img.pixelColor(column, 225), green);
        QVERIFY(img.pixelColor(column - 2, 50) != green);
        QCOMPARE(img.pixelColor(column - 2, 225), green);
        // The last column ends exactly at the last value.
        QCOMPARE(img.pixelColor(540, 225), green);
    }

    void short_spectrum_leaves_remaining_columns_empty() {
        SpecWidget w;
        std::vector<double> p(100, 1e-3);  // -30 dB, fewer values than columns
        w.draw_spectrum(p.data(), static_cast<int>(p.size()), 0.0);
        const QImage img = w.findChild<SpecLabel*>("canvas_")->picture();
        QCOMPARE(img.pixelColor(0, 150), QColor(Qt::green));
        QVERIFY(img.pixelColor(530, 150) != QColor(Qt::green));
    }

    void next_trace_replaces_the_last_one() {
        // A tone over a low floor, then a flat spectrum higher up: the canvas
        // must look as if the flat one had been drawn alone on the grid; a
        // spectrum below the bottom leaves the bare grid.
        std::vector<double> tone(4096, std::pow(10.0, -4.8));
        tone[1000] = 1.0;
        std::vector<double> flat(4096, std::pow(10.0, -2.2));
        SpecWidget twice, once, bare;
        twice.draw_spectrum(tone.data(), 4096, 0.0);
        twice.draw_spectrum(flat.data(), 4096, 0.0);
        once.draw_spectrum(flat.data(), 4096, 0.0);
        QCOMPARE(twice.findChild<SpecLabel*>("canvas_")->picture(),
                 once.findChild<SpecLabel*>("canvas_")->picture());
        const QImage grid = bare.findChild<SpecLabel*>("canvas_")->picture();
        std::vector<double> silence(4096, 0.0);
        twice.draw_spectrum(silence.data(), 4096, 0.0);
        QCOMPARE(twice.findChild<SpecLabel*>("canvas_")->picture(), grid);
    }
};

QTEST_MAIN(SpecWidgetTest)
#include "band_spectrum_widget_test.moc"
