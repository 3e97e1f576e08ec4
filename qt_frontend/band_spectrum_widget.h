// Spectrum panel: draws the power spectrum of the chip's output band with a
// level axis and a frequency axis, a dashed grid, two level markers set by
// mouse clicks and a read-out of the mouse position. GUI thread only.
#pragma once

#include <qwt_scale_engine.h>

#include <QImage>
#include <QPainter>
#include <QWidget>
#include <memory>
#include <vector>

namespace Ui {
class SpecWidget;
}

class SpecWidget : public QWidget {
    Q_OBJECT
  public:
    explicit SpecWidget(QWidget* parent = nullptr);
    ~SpecWidget() override;

    SpecWidget(const SpecWidget&) = delete;
    SpecWidget& operator=(const SpecWidget&) = delete;

    // Draws one spectrum: `len` power values (lowest frequency first),
    // converted to dB and lowered by `offset` dB, squeezed into the canvas's
    // columns keeping each column's minimum and maximum. Reads `data` only
    // during the call; with fewer values than columns the rest stay empty.
    void draw_spectrum(const double* data, int len, double offset);

    // Display state, for the read-outs and tests.
    double top_db() const { return top_; }
    double bottom_db() const { return bottom_; }
    double left_mhz() const { return left_; }
    double right_mhz() const { return right_; }
    int db_per_division() const { return db_per_div_; }
    // Canvas row of a level in dB: row 0 is the top level, row height the
    // bottom one; levels outside the display land just outside the canvas.
    int row_of(double level_db) const;

  public slots:
    // Frequency axis for a band of `span` MHz centred on `cf` MHz; the axis
    // runs one tenth of the span further on the right.
    void set_freq_scale(double cf, double span);
    void on_ref__valueChanged(int value);
    void on_scale__valueChanged(int value);
    void set_marker(int y);
    void show_coord(int x, int y);

  private:
    void update_amp_scale();
    void draw_grid();

    std::unique_ptr<Ui::SpecWidget> ui_;
    QwtLinearScaleEngine freq_engine_;
    QwtLinearScaleEngine amp_engine_;
    QPainter painter_;
    QImage background_;   // the grid, under every trace
    double left_ = 0.0;   // MHz at the canvas's left edge
    double right_ = 0.0;  // MHz at the canvas's right edge
    int width_ = 0;       // canvas size in pixels, read once
    int height_ = 0;
    double top_ = 0.0;     // dB at the canvas's top edge
    double bottom_ = 0.0;  // dB at the canvas's bottom edge
    int db_per_div_ = 10;
    double marker1_ = 0.0;
    double marker2_ = 0.0;
    bool next_marker_ = true;            // true: the next click sets marker 1
    std::vector<double> column_min_db_;  // per canvas column, reused by every trace
    std::vector<double> column_max_db_;
    // Rows each column's line covers in the trace being drawn (none: bottom
    // above top).
    std::vector<int> line_top_;
    std::vector<int> line_bottom_;
};
