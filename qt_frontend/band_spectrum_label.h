// Spectrum canvas: a label that shows the spectrum picture and reports the
// mouse, so the spectrum panel can place level markers and show a read-out.
#pragma once

#include <QImage>
#include <QLabel>
#include <vector>

class SpecLabel : public QLabel {
    Q_OBJECT
  public:
    explicit SpecLabel(QWidget* parent = nullptr);

    // The grid under every trace, shown alone until the first trace. The
    // picture (grid and trace) lies where the label places a pixmap of its
    // size, cut to the inside of the frame. Without a grid the label paints
    // itself.
    void set_grid(const QImage& grid);
    // Shows a trace: for each of the grid's columns the first and the last
    // row of its green line (none: top above bottom). The canvas is painted
    // from these with its next repaint, straight into the window's buffer
    // where it can be, so no picture is made per trace.
    void show_lines(const int* top, const int* bottom);
    // The picture the canvas shows, composed on request.
    QImage picture() const;

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
    // Columns x0 .. x1 - 1 of picture row y, written to `row` (its column x0).
    void compose(QRgb* row, int y, int x0, int x1) const;

    QImage grid_;
    std::vector<int> grid_row_;  // per row, the first grid row with the same pixels
    std::vector<int> top_;       // the trace's lines, per column
    std::vector<int> bottom_;
};
