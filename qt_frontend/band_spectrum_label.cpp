#include "band_spectrum_label.h"

#include <QGuiApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QStyle>

SpecLabel::SpecLabel(QWidget* parent) : QLabel(parent) {
    // Report moves without a pressed button, for the live read-out.
    setMouseTracking(true);
}

void SpecLabel::mousePressEvent(QMouseEvent* event) { emit new_coord(event->y()); }

void SpecLabel::mouseMoveEvent(QMouseEvent* event) { emit new_move(event->x(), event->y()); }

void SpecLabel::paintEvent(QPaintEvent* event) {
    if (picture_.isNull()) {
        QLabel::paintEvent(event);
        return;
    }
    // The frame (unless only the inside is repainted), then the picture where
    // the label puts a pixmap: aligned in the contents rectangle and cut to it.
    QPainter painter(this);
    if (!contentsRect().contains(event->rect())) drawFrame(&painter);
    const int m = margin();
    const QRect contents = contentsRect().adjusted(m, m, -m, -m);
    const Qt::LayoutDirection direction = QGuiApplication::layoutDirection();
    const QRect placed = QStyle::alignedRect(
        direction, QStyle::visualAlignment(direction, alignment()), picture_.size(), contents);
    const QRect shown = placed.intersected(contents);
    painter.drawImage(shown.topLeft(), picture_, shown.translated(-placed.topLeft()));
}
