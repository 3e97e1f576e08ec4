// Spectrum canvas: a label that shows the spectrum picture and reports the
// mouse, so the spectrum panel can place level markers and show a read-out.
#pragma once

#include <QImage>
#include <QLabel>

class SpecLabel : public QLabel {
    Q_OBJECT
  public:
    explicit SpecLabel(QWidget* parent = nullptr);

    // The picture the canvas shows, placed and clipped as the label places a
    // pixmap of its size, and painted from the picture itself with every
    // repaint: the panel draws into it and calls update(), so no pixmap is
    // made per trace. A null picture leaves the label to paint itself.
    QImage& picture() { return picture_; }
    const QImage& picture() const { return picture_; }

  signals:
    // A press of any mouse button at row y of the canvas.
    void new_coord(int y);
    // The mouse moved to (x, y), with or without a button held.
    void new_move(int x, int y);

  protected:
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void paintEvent(QPaintEvent* event) override;

  private:
    QImage picture_;
};
