// The labels that paint their pictures themselves (the spectrum canvas, the
// audio trace) look exactly like plain labels showing those pictures as
// pixmaps.
#include <QLabel>
#include <QPainter>
#include <QPicture>
#include <QScreen>
#include <QtTest>
#include <cmath>
#include <vector>

#include "band_spectrum_label.h"
#include "band_spectrum_widget.h"
#include "trace_label.h"

class PaintedLabelsTest : public QObject {
    Q_OBJECT

    // What a plain label with `painted`'s size and frame shows for `pixmap`.
    static QImage as_pixmap_label(const QLabel& painted, const QPixmap& pixmap) {
        QLabel label;
        label.setFrameShape(painted.frameShape());
        label.resize(painted.size());
        label.setPixmap(pixmap);
        return label.grab().toImage();
    }

  private slots:
    void spectrum_canvas() {
        SpecWidget w;
        std::vector<double> p(4096, std::pow(10.0, -4.0));
        for (int k = 0; k < 4096; k += 97) p[k] = 0.05;
        w.draw_spectrum(p.data(), 4096, 0.0);
        auto* canvas = w.findChild<SpecLabel*>("canvas_");
        const QImage label = as_pixmap_label(*canvas, QPixmap::fromImage(canvas->picture()));
        QCOMPARE(canvas->grab().toImage(), label);
        // Recorded rather than drawn into pixels: painted through a picture.
        QPicture recording;
        canvas->render(&recording);
        QImage replayed = label;
        QPainter(&replayed).drawPicture(0, 0, recording);
        QCOMPARE(replayed, label);
    }

    void spectrum_canvas_on_screen() {
        // Painted straight into the window's buffer: the window shows what
        // the canvas shows when grabbed (through a picture).
        SpecWidget w;
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        auto* canvas = w.findChild<SpecLabel*>("canvas_");
        const QRect on_window(canvas->mapTo(&w, QPoint()), canvas->size());
        std::vector<double> p(4096);
        for (int trace = 0; trace < 3; ++trace) {
            for (int k = 0; k < 4096; ++k)
                p[k] = std::pow(10.0, -0.5 - ((k * (trace + 3)) % 50) / 10.0);
            w.draw_spectrum(p.data(), 4096, 0.0);
            QCoreApplication::sendPostedEvents();  // the repaint
            const QImage shown = w.screen()->grabWindow(w.winId()).toImage().copy(on_window);
            QCOMPARE(shown.convertToFormat(QImage::Format_RGB32),
                     canvas->grab().toImage().convertToFormat(QImage::Format_RGB32));
        }
    }

    void audio_trace() {
        TraceLabel label;
        label.resize(679, 128);
        QPolygon points;
        points << QPoint(0, 64);
        for (int x = 0; x < 679; ++x)
            points << QPoint(x, 64 + static_cast<int>(60 * std::sin(x / 20.0)));
        label.trace() = points;
        label.show_trace(QSize(679, 128));
        QPixmap pixmap(679, 128);
        pixmap.fill(Qt::black);
        QPainter painter(&pixmap);
        painter.setPen(Qt::green);
        painter.drawPolyline(points);
        painter.end();
        QCOMPARE(label.grab().toImage(), as_pixmap_label(label, pixmap));
    }
};

QTEST_MAIN(PaintedLabelsTest)
#include "painted_labels_test.moc"
