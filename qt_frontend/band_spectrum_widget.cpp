#include "band_spectrum_widget.h"

#include <qwt_scale_draw.h>
#include <qwt_scale_widget.h>

#include <algorithm>
#include <cmath>

#include "band_spectrum_label.h"
#include "power_spectrum_columns.h"
#include "ui_band_spectrum_widget.h"

SpecWidget::SpecWidget(QWidget* parent) : QWidget(parent), ui_(new Ui::SpecWidget) {
    ui_->setupUi(this);  // binds on_ref__valueChanged and on_scale__valueChanged by name

    // The reference slider starts at 0 dB, the scale slider at its minimum
    // (5 dB per division); the display always spans ten divisions.
    top_ = 0.0;
    db_per_div_ = 5 * ui_->scale_->value();
    bottom_ = top_ - 50.0 * ui_->scale_->value();
    ui_->scale_val_->setText(QString::number(db_per_div_));

    width_ = ui_->canvas_->width();
    height_ = ui_->canvas_->height();
    column_min_db_.assign(width_, 0.0);
    column_max_db_.assign(width_, 0.0);
    update_amp_scale();

    background_ = QImage(width_, height_, QImage::Format_RGB32);
    draw_grid();
    ui_->canvas_->set_grid(background_);
    line_top_.assign(width_, 1);
    line_bottom_.assign(width_, 0);
    // The picture covers the canvas: nothing under it needs painting first.
    ui_->canvas_->setAttribute(Qt::WA_OpaquePaintEvent);

    connect(ui_->canvas_, &SpecLabel::new_coord, this, &SpecWidget::set_marker);
    connect(ui_->canvas_, &SpecLabel::new_move, this, &SpecWidget::show_coord);

    ui_->freq_scale_->setAlignment(QwtScaleDraw::BottomScale);
    // Eleven labels of up to seven characters share 541 pixels: a point
    // smaller than the panel's text keeps them apart.
    QFont axis_font = ui_->freq_scale_->font();
    axis_font.setPointSize(std::max(6, axis_font.pointSize() - 1));
    ui_->freq_scale_->setFont(axis_font);
    set_freq_scale(100.0, 100.0);
}

SpecWidget::~SpecWidget() = default;

void SpecWidget::set_freq_scale(double cf, double span) {
    left_ = cf - span / 2.0;
    right_ = cf + span / 2.0 + span / 10.0;
    ui_->freq_scale_->setScaleDiv(freq_engine_.divideScale(left_, right_, 20, 10, span / 10.0));
}

void SpecWidget::on_ref__valueChanged(int value) {
    top_ = 10.0 * value;
    bottom_ = top_ - 10.0 * db_per_div_;
    ui_->ref_val_->setText(QString::number(10 * value));
    update_amp_scale();
}

void SpecWidget::on_scale__valueChanged(int value) {
    db_per_div_ = 5 * value;
    bottom_ = top_ - 50.0 * value;
    ui_->scale_val_->setText(QString::number(5 * value));
    update_amp_scale();
}

void SpecWidget::update_amp_scale() {
    ui_->amp_scale_->setScaleDiv(amp_engine_.divideScale(bottom_, top_, 2, 5, db_per_div_));
}

void SpecWidget::draw_grid() {
    background_.fill(Qt::black);
    painter_.begin(&background_);
    painter_.setPen(Qt::gray);
    // Horizontal dashed lines every 25 rows: the ten level divisions.
    for (int y = 0; y < height_; y += 25) {
        for (int e = 5; e - 5 < width_; e += 10) painter_.drawLine(e - 2, y, e, y);
    }
    // Vertical dashed lines every twentieth of the width.
    const int d = width_ / 20;
    for (int x = 0; d > 0 && x < width_; x += d) {
        for (int e = 4; e - 4 < height_; e += 10) painter_.drawLine(x, e - 2, x, e);
    }
    painter_.end();
}

int SpecWidget::row_of(double v) const {
    if (std::isnan(v) || v < bottom_) return height_ + 1;
    if (v > top_) return -1;
    return static_cast<int>((top_ - v) * height_ / (top_ - bottom_));
}

void SpecWidget::draw_spectrum(const double* data, int len, double offset) {
    const int columns = radio_dsp::spectrum_columns_db(
        data, len, width_, offset, column_min_db_.data(), column_max_db_.data());
    // Each column is a vertical green line between its minimum's row and its
    // maximum's, both ends included, clipped to the canvas: the pixels a
    // cosmetic pen's line would set. Columns without values stay empty.
    for (int c = 0; c < width_; ++c) {
        line_top_[c] = 1;
        line_bottom_[c] = 0;
        if (c >= columns) continue;
        const int a = row_of(column_min_db_[c]);
        const int b = row_of(column_max_db_[c]);
        line_top_[c] = std::max(std::min(a, b), 0);
        line_bottom_[c] = std::min(std::max(a, b), height_ - 1);
    }
    ui_->canvas_->show_lines(line_top_.data(), line_bottom_.data());
}

void SpecWidget::set_marker(int y) {
    const double v = top_ - (top_ - bottom_) * y / height_;
    if (next_marker_) {
        marker1_ = v;
        ui_->marker1_->setText(QString::number(v, 'g', 6));
    } else {
        marker2_ = v;
        ui_->marker2_->setText(QString::number(v, 'g', 6));
    }
    next_marker_ = !next_marker_;
    ui_->diff_->setText(QString::number(marker1_ - marker2_, 'g', 6));
}

void SpecWidget::show_coord(int x, int y) {
    const double f = left_ + (right_ - left_) * x / width_;
    const double v = top_ - (top_ - bottom_) * y / height_;
    ui_->coord_->setText("(" + QString::number(f, 'g', 6) + ", " + QString::number(v, 'g', 6) +
                         ")");
}
