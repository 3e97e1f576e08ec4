#include "logo.h"

#include <QFont>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

// A dark plate with a frequency-modulated trace and the lettering "QV01 FM".
QPixmap draw_logo() {
    QPixmap pm(kLogoWidth, kLogoHeight);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    QLinearGradient plate(0, 0, 0, kLogoHeight);
    plate.setColorAt(0.0, QColor(24, 48, 96));
    plate.setColorAt(1.0, QColor(8, 20, 48));
    p.setPen(QColor(90, 130, 200));
    p.setBrush(plate);
    p.drawRoundedRect(QRectF(0.5, 0.5, kLogoWidth - 1, kLogoHeight - 1), 5, 5);

    // Carrier whose phase swings with a slow tone: the look of FM on a scope.
    QPainterPath trace;
    for (int x = 4; x <= 52; ++x) {
        const double t = (x - 4) / 48.0;
        const double y = 19 - 11 * std::sin(2 * M_PI * (3 * t + 0.6 * std::sin(2 * M_PI * t)));
        if (x == 4)
            trace.moveTo(x, y);
        else
            trace.lineTo(x, y);
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(QColor(120, 230, 140), 1.6));
    p.drawPath(trace);

    QFont big("DejaVu Sans");
    big.setStyleHint(QFont::SansSerif);
    big.setBold(true);
    big.setPixelSize(17);
    p.setFont(big);
    p.setPen(QColor(235, 240, 255));
    p.drawText(QRect(56, 2, 78, 22), Qt::AlignLeft | Qt::AlignVCenter, "QV01");
    QFont small = big;
    small.setBold(false);
    small.setPixelSize(10);
    p.setFont(small);
    p.setPen(QColor(150, 190, 255));
    p.drawText(QRect(56, 22, 78, 14), Qt::AlignLeft | Qt::AlignVCenter, "FM tuner desk");
    return pm;
}
