#include "mainwindow.h"

#include <QGroupBox>
#include <QImage>
#include <QStatusBar>
#include <QTimer>
#include <QVBoxLayout>

#include "band_spectrum_widget.h"
#include "connectwidget.h"
#include "filterswidget.h"
#include "qv_board.h"
#include "radiowidget.h"
#include "ui_mainwindow.h"

namespace {

// The colour `box` shows everywhere under `panel` (inside its frame), or an
// invalid colour when it shows more than one there.
QColor plain_backdrop(QGroupBox* box, QWidget* panel) {
    box->layout()->activate();  // places the panel in the box
    QImage shot(box->size(), QImage::Format_RGB32);
    box->render(&shot, QPoint(), QRegion(), QWidget::DrawWindowBackground);
    const QRect area = panel->geometry().intersected(shot.rect());
    if (area.isEmpty()) return QColor();
    const QRgb first = shot.pixel(area.topLeft());
    for (int y = area.top(); y <= area.bottom(); ++y)
        for (int x = area.left(); x <= area.right(); ++x)
            if (shot.pixel(x, y) != first) return QColor();
    return QColor(first);
}

}  // namespace

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

    // Keeping watch: a board opened again after a loss reaches every panel;
    // problems and the stream's health go to the status line.
    connect(connect_, &ConnectWidget::board_changed, this, [this](QV_demo_board_* board) {
        radio_->set_board(board);
        filters_->set_board(board);
    });
    connect(radio_, &RadioWidget::board_lost, connect_, &ConnectWidget::board_lost);
    connect(radio_, &RadioWidget::board_lost, this, [this] { filters_->set_board(nullptr); });
    connect(connect_, &ConnectWidget::problem_reported, radio_, &RadioWidget::report_problem);
    connect(radio_, &RadioWidget::status_changed, this,
            [this](const QString& text) { statusBar()->showMessage(text); });

    setFixedSize(size());
    // The radio panel's fill bar and read-outs change with every processing
    // run; on a panel that paints its box's plain backdrop itself, the group
    // box (its frame and title) is not painted again beneath them each time.
    radio_->set_backdrop(plain_backdrop(ui_->radio_box_, radio_));
    radio_->publish_test_pattern();

    if (!board_instance()) {
        radio_->report_problem(no_board_reason());
        // A firmware file that is missing or broken will not mend itself:
        // say so now rather than at the first Connect.
        if (!board_instance_error().empty())
            QTimer::singleShot(0, this, [this] { show_no_board_message(this); });
    }
    statusBar()->showMessage(radio_->status_text());
}

MainWindow::~MainWindow() {
    delete ui_;
    delete connect_;
    delete radio_;
}
