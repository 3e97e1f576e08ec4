#include "band_spectrum_label.h"

#include <QMouseEvent>

SpecLabel::SpecLabel(QWidget* parent) : QLabel(parent) {
    // Report moves without a pressed button, for the live read-out.
    setMouseTracking(true);
}

void SpecLabel::mousePressEvent(QMouseEvent* event) { emit new_coord(event->y()); }

void SpecLabel::mouseMoveEvent(QMouseEvent* event) { emit new_move(event->x(), event->y()); }
