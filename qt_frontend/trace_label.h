// Audio trace label: shows the trace of the half just played as a green path
// on a black picture, painted from the kept points with every repaint rather
// than drawn into a pixmap per half. GUI thread only.
#pragma once

#include <QLabel>
#include <QPolygon>
#include <QSize>

class TraceLabel : public QLabel {
    Q_OBJECT
  public:
    explicit TraceLabel(QWidget* parent = nullptr);

    // The path's points in picture pixels; the panel refills them and then
    // calls show_trace.
    QPolygon& trace() { return trace_; }

    // Shows the path on a black picture of `size`, placed and clipped as the
    // label places a pixmap of that size. The first trace of a size sets a
    // black pixmap of it, so the label's size hint stays the picture's; later
    // ones only ask for a repaint, coalesced with the window's others.
    void show_trace(QSize size);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    QPolygon trace_;
    QSize size_;  // the picture's size; empty until the first trace
};
