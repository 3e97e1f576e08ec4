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

    QV_demo_board_* board() const { return board_; }

  signals:
    // The board was identified; the filters panel re-reads its settings.
    void connected();
    // Connect opened another board than the panels hold (the old one was
    // lost, or none could be opened before); `board` may be null.
    void board_changed(QV_demo_board_* board);
    // A problem for the status line; an empty text clears it.
    void problem_reported(const QString& text);

  public slots:
    // The connect sequence, run on every click. Without a board it says so
    // in a message box and sends nothing.
    void on_connect__clicked();
    void on_nload__toggled(bool checked);
    void on_nmisk__toggled(bool checked);
    // The board went away: the line boxes wait for the next Connect, which
    // drives the lines of the replugged board high again.
    void board_lost();

  private:
    std::unique_ptr<Ui::ConnectWidget> ui_;
    QV_demo_board_* board_ = nullptr;  // not owned; null until the first Connect
};

// Label texts of the identifiers: the firmware identifier reads as a signed
// 32-bit number (0x-2 for the bit pattern of -2), the device identifier as an
// unsigned one (0xfffffffe).
QString firmware_id_text(int32_t value);
QString device_id_text(uint32_t value);

// The message shown when no board could be opened.
extern const char* const kNoBoardText;
extern const char* const kNoBoardCaption;

// Shows the no-board message without blocking the event loop.
void show_no_board_message(QWidget* parent);

// Shows a warning without blocking the event loop (the audio keeps playing);
// the box deletes itself when closed. `name` is its object name.
void show_warning(QWidget* parent, const char* name, const QString& caption, const QString& text);

// Why no board could be opened, for the user: the board link's reason (a
// firmware file that is missing or broken), else the no-board text.
QString no_board_reason();
