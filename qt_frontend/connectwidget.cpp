#include "connectwidget.h"

#include <QCheckBox>
#include <QMessageBox>
#include <QSignalBlocker>

#include "qv_board.h"
#include "ui_connectwidget.h"

const char* const kNoBoardText =
    "The board is not found. Please, check the libusb installation and the cable connection. "
    "The board should be listed on the USB bus as QV demo board (04b4:8613). "
    "Press Connect again once the board is attached.";
const char* const kNoBoardCaption = "Board not connected";

void show_warning(QWidget* parent, const char* name, const QString& caption, const QString& text) {
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
    box->setObjectName(name);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();  // window-modal, but does not block the audio or the event loop
}

void show_no_board_message(QWidget* parent) {
    const std::string& why = board_instance_error();
    if (why.empty())
        show_warning(parent, "no_board_message_", kNoBoardCaption, kNoBoardText);
    else
        show_warning(parent, "firmware_message_", kNoBoardCaption, QString::fromStdString(why));
}

QString no_board_reason() {
    const std::string& why = board_instance_error();
    return why.empty() ? QString("No board found (04b4:8613).") : QString::fromStdString(why);
}

QString firmware_id_text(int32_t value) {
    // QString::number prints negative numbers in base 16 as 64-bit two's
    // complement; the label shows a sign and the magnitude instead.
    const qint64 v = value;
    return v < 0 ? "0x-" + QString::number(-v, 16) : "0x" + QString::number(v, 16);
}

QString device_id_text(uint32_t value) { return "0x" + QString::number(value, 16); }

ConnectWidget::ConnectWidget(QWidget* parent) : QWidget(parent), ui_(new Ui::ConnectWidget) {
    ui_->setupUi(this);  // binds the three slots by name
    ui_->nmisk_->setChecked(false);
    // The line boxes drive the board; until Connect has found one they would
    // only fall out of step with the lines, so they wait for it.
    ui_->nload_->setEnabled(false);
    ui_->nmisk_->setEnabled(false);
}

ConnectWidget::~ConnectWidget() = default;

void ConnectWidget::on_connect__clicked() {
    // A board that went away, or none at start-up: try the bus again.
    QV_demo_board_* board = board_instance();
    if (!board || board->device_lost()) board = reopen_board_instance();
    if (board != board_) {
        board_ = board;
        emit board_changed(board_);
    }
    if (!board_) {
        show_no_board_message(this);
        emit problem_reported(no_board_reason());
        return;
    }
    board_->send_cmd2(10);
    board_->send_cmd15(0, 2);
    BoardDescriptor d;
    d.vendor = 0x04B4;
    d.product = 0x8613;
    board_->get_board_descriptor(d);
    board_->send_cmd1(0, 0, 2, 13);
    board_->bridge_write(2, 1, 0x4000);
    board_->select_chip(0);
    board_->set_bus_timing(10);

    ui_->fw_id_->setText(firmware_id_text(board_->bridge_read(2, 0)));
    ui_->qv_devid_->setText(device_id_text(static_cast<uint32_t>(board_->read_reg(1))));

    ui_->nload_->setEnabled(true);
    ui_->nmisk_->setEnabled(true);
    ui_->nload_->setChecked(true);  // a change emits toggled(true) and drives the line high
    ui_->nmisk_->setChecked(true);
    emit problem_reported(QString());
    emit connected();
}

void ConnectWidget::board_lost() {
    // The lines of a replugged board are low; unchecking quietly makes the
    // next Connect drive them high again.
    for (QCheckBox* box : {ui_->nload_, ui_->nmisk_}) {
        const QSignalBlocker quiet(box);
        box->setChecked(false);
        box->setEnabled(false);
    }
}

void ConnectWidget::on_nload__toggled(bool checked) {
    if (board_) board_->set_lines(checked ? 1 : 0, 2);
}

void ConnectWidget::on_nmisk__toggled(bool checked) {
    if (board_) board_->set_lines(checked ? 1 : 0, 1);
}
