#include "mainwindow.h"

#include <QVBoxLayout>

#include "connectwidget.h"
#include "filterswidget.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "band_spectrum_widget.h"
#include "ui_mainwindow.h"

MainWindow::MainWindow(QWidget* parent) : QMainWindow(parent), ui_(new Ui::MainWindow) {
    // The radio panel is the first user of the board singleton: building it
    // opens the board, downloads the firmware and starts the stream thread.
    connect_ = new ConnectWidget;
    radio_ = new RadioWidget;
    filters_ = new FiltersWidget(board_instance());
    spec_ = new SpecWidget;

    ui_->setupUi(this);
    const std::pair<QWidget*, QWidget*> boxes[] = {{ui_->connect_box_, connect_},
                                                   {ui_->radio_box_, radio_},
                                                   {ui_->filters_box_, filters_},
                                                   {ui_->spec_box_, spec_}};
    for (const auto& [box, panel] : boxes) {
        auto* layout = new QVBoxLayout(box);
        layout->addWidget(panel);
    }

    connect(connect_, &ConnectWidget::connected, filters_, &FiltersWidget::_on_update);
    connect(radio_, &RadioWidget::update_filters, filters_, &FiltersWidget::_on_update);
    connect(radio_, &RadioWidget::check_ovf, filters_, &FiltersWidget::_on_check_ovf,
            Qt::QueuedConnection);
    connect(filters_, &FiltersWidget::kp_updated, radio_, &RadioWidget::_on_kp_updated);
    connect(radio_, &RadioWidget::signal_updated, spec_, &SpecWidget::draw_spectrum);
    connect(radio_, &RadioWidget::freq_updated, spec_, &SpecWidget::set_freq_scale);
    connect(radio_, &RadioWidget::image_updated, filters_, &FiltersWidget::update_image);

    setFixedSize(size());
    radio_->publish_test_pattern();
}

MainWindow::~MainWindow() {
    delete ui_;
    delete connect_;
    delete radio_;
}
