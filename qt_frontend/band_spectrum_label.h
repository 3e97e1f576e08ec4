// Spectrum canvas: a label that shows the spectrum picture and reports the
// mouse, so the spectrum panel can place level markers and show a read-out.
#pragma once

#include <QLabel>

class SpecLabel : public QLabel {
    Q_OBJECT
  public:
    explicit SpecLabel(QWidget* parent = nullptr);

  signals:
    // A press of any mouse button at row y of the canvas.
    void new_coord(int y);
    // The mouse moved to (x, y), with or without a button held.
    void new_move(int x, int y);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
};
