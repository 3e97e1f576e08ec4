// Connect panel: identifies the board (FX2 firmware identifier, chip device
// identifier), configures the bridge and drives the control lines nLoad and
// nMisk. GUI thread only.
#pragma once

#include <QString>
#include <QWidget>
#include <cstdint>
#include <memory>

class QV_demo_board_;

namespace Ui {
class ConnectWidget;
}

class ConnectWidget : public QWidget {
    Q_OBJECT
public:
    explicit ConnectWidget(QWidget* parent = nullptr);
    ~ConnectWidget() override;

    ConnectWidget(const ConnectWidget&) = delete;
    ConnectWidget& operator=(const ConnectWidget&) = delete;

signals:
    // The board was identified; the filters panel re-reads its settings.
    void connected();

public slots:
    // The connect sequence, run on every click. Without a board it says so
    // in a message box and sends nothing.
    void on_connect__clicked();
    void on_nload__toggled(bool checked);
    void on_nmisk__toggled(bool checked);

private:
    std::unique_ptr<Ui::ConnectWidget> ui_;
    QV_demo_board_* board_ = nullptr;  // not owned; null until the first Connect
};

// Label texts of the identifiers: the firmware identifier reads as a signed
// 32-bit number (0x-2 for the bit pattern of -2), the device identifier as an
// unsigned one (0xfffffffe).
QString firmware_id_text(int32_t value);
QString device_id_text(uint32_t value);

// The message shown when no board could be opened at start-up.
extern const char* const kNoBoardText;
extern const char* const kNoBoardCaption;

// Shows the no-board message without blocking the event loop.
void show_no_board_message(QWidget* parent);
