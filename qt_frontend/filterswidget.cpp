#include "filterswidget.h"

#include <QImage>
#include <QPixmap>
#include <cmath>

#include "qv01_regs.h"
#include "qv_board.h"
#include "ui_filterswidget.h"

namespace {

const char* const kGreen = "QLabel {color : green}";
const char* const kRed = "QLabel {color : red}";

// Chip registers of channel 0 that the panel trims.
using qv01::kRegControl;
constexpr int kRegOverflow = qv01::reg_addr(0, qv01::kOffFlags);
constexpr int kRegCic2 = qv01::reg_addr(0, qv01::kOffCic2);
constexpr int kRegCicn = qv01::reg_addr(0, qv01::kOffCicn);
constexpr int kRegDfir1Control = qv01::reg_addr(0, qv01::kOffDfir1Ctl);
constexpr int kRegDfir1Scale = qv01::reg_addr(0, qv01::kOffDfir1Scl);
constexpr int kRegDfir2Control = qv01::reg_addr(0, qv01::kOffDfir2Ctl);
constexpr int kRegDfir2Scale = qv01::reg_addr(0, qv01::kOffDfir2Scl);
constexpr int kRegGainI = qv01::reg_addr(0, qv01::kOffGainI);
constexpr int kRegGainQ = qv01::reg_addr(0, qv01::kOffGainQ);
constexpr int kDfir1Bank = qv01::reg_addr(0, qv01::kOffDfir1Bank);
constexpr int kDfir2Bank = qv01::reg_addr(0, qv01::kOffDfir2Bank);
constexpr int kControlTakeGain = qv01::kCmdGainUpdate;  // the chip takes new GAIN values
// The scale field the sliders set: bits 0-3 of the CIC2, CICN and DFIR scale
// registers alike.
constexpr qv01::Field kScale = qv01::dfir::kScale;
static_assert(qv01::field_mask(kScale) == qv01::field_mask(qv01::cic2::kScale) &&
              qv01::field_mask(kScale) == qv01::field_mask(qv01::cicn::kScale));

// DC gain of a DFIR from its control register and coefficient bank: with the
// sym bit set only the centre coefficient counts; otherwise the folded
// symmetric filter's sum 2·(c_0 + ... + c_(n-1)) + c_n, n = order / 2.
double dfir_gain(const QV_board_& b, int control_reg, int bank) {
    const int r = b.shadow_reg(control_reg);
    const int n = qv01::get_field(r, qv01::dfir::kOrder) >> 1;
    if (qv01::get_field(r, qv01::dfir::kSym)) return b.shadow_reg(bank + 2 * n);
    double sum = 0;
    for (int i = 0; i < n; ++i) sum += b.shadow_reg(bank + 2 * i);
    return 2 * sum + b.shadow_reg(bank + 2 * n);
}

}  // namespace

FiltersWidget::FiltersWidget(QV_board_* board, QWidget* parent)
    : QWidget(parent), ui_(new Ui::FiltersWidget), board_(board) {
    ui_->setupUi(this);  // binds the slider and check box slots by name
    for (QLabel* l : {ui_->dcic2_label_, ui_->dcicn_label_, ui_->dfir1_label_, ui_->dfir2_label_,
                      ui_->gain_label_})
        l->setStyleSheet(kGreen);
    if (!board_) enable_controls(false);
}

void FiltersWidget::set_board(QV_board_* board) {
    board_ = board;
    enable_controls(board_ != nullptr);
}

void FiltersWidget::enable_controls(bool enabled) {
    for (QWidget* w : {static_cast<QWidget*>(ui_->dcic2_), static_cast<QWidget*>(ui_->dcicn_),
                       static_cast<QWidget*>(ui_->dfir1_), static_cast<QWidget*>(ui_->dfir2_),
                       static_cast<QWidget*>(ui_->gain_), static_cast<QWidget*>(ui_->phase_),
                       static_cast<QWidget*>(ui_->scl_)})
        w->setEnabled(enabled);
}

FiltersWidget::~FiltersWidget() = default;

void FiltersWidget::set_scale_field(int reg, int position) {
    // A read that failed must not be written back as the register's value.
    uint32_t v = 0;
    if (board_->read_reg(reg, &v) != 0) return;
    board_->write_reg(reg, static_cast<int32_t>(qv01::set_field(v, kScale, position)));
}

void FiltersWidget::on_dcic2__valueChanged(int position) {
    if (!board_) return;
    s_cic2_ = position;
    set_scale_field(kRegCic2, position);
    ui_->dcic2_value_->setText(QString::number(double(position), 'g', 6));
    update_kp();
}

void FiltersWidget::on_dcicn__valueChanged(int position) {
    if (!board_) return;
    s_cicn_ = position;
    set_scale_field(kRegCicn, position);
    ui_->dcicn_value_->setText(QString::number(double(position), 'g', 6));
    update_kp();
}

void FiltersWidget::on_dfir1__valueChanged(int position) {
    if (!board_) return;
    s_fir1_ = position;
    set_scale_field(kRegDfir1Scale, position);
    ui_->dfir1_value_->setText(QString::number(double(position), 'g', 6));
    update_kp();
}

void FiltersWidget::on_dfir2__valueChanged(int position) {
    if (!board_) return;
    s_fir2_ = position;
    set_scale_field(kRegDfir2Scale, position);
    ui_->dfir2_value_->setText(QString::number(double(position), 'g', 6));
    update_kp();
}

void FiltersWidget::on_scl__clicked(bool checked) {
    if (!board_) return;
    uint32_t v = 0;
    if (board_->read_reg(kRegCicn, &v) != 0) return;
    board_->write_reg(kRegCicn,
                      static_cast<int32_t>(qv01::set_field(v, qv01::cicn::kSclMx, checked)));
    scl_mx_ = checked;
    update_kp();
}

void FiltersWidget::on_gain__valueChanged(int) { apply_gain_phase(); }

void FiltersWidget::on_phase__valueChanged(int) { apply_gain_phase(); }

void FiltersWidget::apply_gain_phase() {
    if (!board_) return;
    const double g = ui_->gain_->value();
    const double phi = ui_->phase_->value() * M_PI / 100.0;
    board_->write_reg(kRegGainI, static_cast<int>(std::trunc(std::cos(phi) * g)));
    board_->write_reg(kRegGainQ, static_cast<int>(std::trunc(std::sin(phi) * g)));
    board_->write_reg(kRegControl, kControlTakeGain);
    K_gain_ = std::fabs(g / 16384.0);
    update_kp();
}

void FiltersWidget::_on_update() {
    if (!board_) return;
    // A slider that changes here runs its slot, which writes the same field
    // back; a read that failed stops here, before its value reaches a control.
    uint32_t v = 0;
    if (board_->read_reg(kRegCic2, &v) != 0) return;
    s_cic2_ = qv01::get_field(v, kScale);
    ui_->dcic2_->setValue(int(s_cic2_));
    if (board_->read_reg(kRegCicn, &v) != 0) return;
    s_cicn_ = qv01::get_field(v, kScale);
    ui_->dcicn_->setValue(int(s_cicn_));
    if (board_->read_reg(kRegCicn, &v) != 0) return;
    scl_mx_ = qv01::get_field(v, qv01::cicn::kSclMx);
    ui_->scl_->setChecked(scl_mx_);
    if (board_->read_reg(kRegDfir1Scale, &v) != 0) return;
    s_fir1_ = qv01::get_field(v, kScale);
    ui_->dfir1_->setValue(int(s_fir1_));
    if (board_->read_reg(kRegDfir2Scale, &v) != 0) return;
    s_fir2_ = qv01::get_field(v, kScale);
    ui_->dfir2_->setValue(int(s_fir2_));
    read_chain_terms();
    update_kp();
}

void FiltersWidget::read_chain_terms() {
    const int cic2 = board_->shadow_reg(kRegCic2);
    cic2_on_ = qv01::get_field(cic2, qv01::cic2::kMode);
    if (cic2_on_) {
        const double r = qv01::get_field(cic2, qv01::cic2::kRatio) + 1;
        G_cic2_ = 4 * r * r;
    }
    const int cicn = board_->shadow_reg(kRegCicn);
    const int mode = qv01::get_field(cicn, qv01::cicn::kMode);
    cicn_on_ = mode != 0;
    if (cicn_on_) {
        // R^(mode+3) in single precision by repeated squaring.
        float base = float(qv01::get_field(cicn, qv01::cicn::kRatio) + 1);
        float g = 1.0f;
        for (int e = mode + 3; e > 0; e >>= 1) {
            if (e & 1) g *= base;
            base *= base;
        }
        G_cicn_ = g;
    }
    G_fir1_ = dfir_gain(*board_, kRegDfir1Control, kDfir1Bank);
    G_fir2_ = dfir_gain(*board_, kRegDfir2Control, kDfir2Bank);
}

void FiltersWidget::update_kp() {
    const double a = cic2_on_ ? std::pow(2.0, s_cic2_ - 16) * G_cic2_ : 1.0;
    const double b = cicn_on_ ? std::pow(2.0, s_cicn_ - (scl_mx_ ? 24 : 16)) * G_cicn_ : 1.0;
    kp_ = 20.0 * std::log10(std::pow(2.0, s_fir2_ - 21) * G_fir2_ * std::pow(2.0, s_fir1_ - 21) *
                            G_fir1_ * b * a * K_gain_);
    emit kp_updated(kp_);
}

void FiltersWidget::_on_check_ovf() {
    if (!board_) return;
    uint32_t v = 0;
    if (board_->read_reg(kRegOverflow, &v) != 0) return;  // the colours stay as they were
    // A style sheet set again re-polishes the label even when it is the same:
    // only a flag that changed colour is touched.
    const uint32_t flags = v & 0x1F;
    if (flags == flags_shown_) return;
    QLabel* labels[] = {ui_->dcic2_label_, ui_->dcicn_label_, ui_->dfir1_label_, ui_->dfir2_label_,
                        ui_->gain_label_};
    for (int bit = 0; bit < 5; ++bit) {
        if (((flags ^ flags_shown_) >> bit) & 1)
            labels[bit]->setStyleSheet((flags >> bit) & 1 ? kRed : kGreen);
    }
    flags_shown_ = flags;
}

void FiltersWidget::update_image(unsigned char* bitmap) {
    const QImage image(bitmap, 128, 128, 512, QImage::Format_RGB32);
    ui_->image_->setPixmap(QPixmap::fromImage(image));
    // The 128 x 128 picture covers the label: the panel under it is not
    // painted again for each picture.
    ui_->image_->setAttribute(Qt::WA_OpaquePaintEvent);
    ui_->image_->show();
}
