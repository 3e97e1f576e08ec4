#include "trace_label.h"

#include <QGuiApplication>
#include <QPainter>
#include <QPixmap>
#include <QStyle>

TraceLabel::TraceLabel(QWidget* parent) : QLabel(parent) {}

void TraceLabel::show_trace(QSize size) {
    if (size != size_) {
        size_ = size;
        QPixmap blank(size);
        blank.fill(Qt::black);
        setPixmap(blank);
    }
    update();
}

void TraceLabel::paintEvent(QPaintEvent* event) {
    if (size_.isEmpty()) {
        QLabel::paintEvent(event);
        return;
    }
    // The frame, then the picture where the label puts a pixmap: aligned in
    // the contents rectangle and cut to it.
    QPainter painter(this);
    drawFrame(&painter);
    const int m = margin();
    const QRect contents = contentsRect().adjusted(m, m, -m, -m);
    const Qt::LayoutDirection direction = QGuiApplication::layoutDirection();
    const QRect placed = QStyle::alignedRect(
        direction, QStyle::visualAlignment(direction, alignment()), size_, contents);
    const QRect shown = placed.intersected(contents);
    painter.fillRect(shown, Qt::black);
    painter.setClipRect(shown);
    painter.translate(placed.topLeft());
    painter.setPen(Qt::green);
    painter.drawPolyline(trace_);
}
