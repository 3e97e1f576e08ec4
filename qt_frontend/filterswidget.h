// Filters panel: trims channel 0 of the receiver chip while the radio runs
// (scale fields of CIC2, CICN, DFIR1 and DFIR2, the CICN's extra scale bit,
// the I/Q gain stage as gain and phase), shows the chip's overflow flags as
// the colour of the stage names, shows the constellation image and reports
// the chain gain kp in dB. GUI thread only.
#pragma once

#include <QWidget>
#include <cstdint>
#include <memory>

class QV_board_;

namespace Ui {
class FiltersWidget;
}

class FiltersWidget : public QWidget {
    Q_OBJECT
  public:
    // `board` may be null (no board at start-up): the controls then stay
    // disabled and nothing is read or written.
    explicit FiltersWidget(QV_board_* board, QWidget* parent = nullptr);
    ~FiltersWidget() override;

    FiltersWidget(const FiltersWidget&) = delete;
    FiltersWidget& operator=(const FiltersWidget&) = delete;

    double kp() const { return kp_; }

    // Points the panel at another board (Connect opened a new one after the
    // old one was lost) or at none; the controls are enabled with a board.
    void set_board(QV_board_* board);

  signals:
    void kp_updated(double kp);

  public slots:
    // Loads the controls from the chip and recomputes kp.
    void _on_update();
    // Colours the stage names from the overflow flags (register 32).
    void _on_check_ovf();
    // Shows a 128 x 128 RGB32 image (512 bytes per row).
    void update_image(unsigned char* bitmap);

    void on_dcic2__valueChanged(int position);
    void on_dcicn__valueChanged(int position);
    void on_dfir1__valueChanged(int position);
    void on_dfir2__valueChanged(int position);
    void on_scl__clicked(bool checked);
    void on_gain__valueChanged(int position);
    void on_phase__valueChanged(int position);

  private:
    void enable_controls(bool enabled);
    void set_scale_field(int reg, int position);
    void apply_gain_phase();
    void read_chain_terms();
    void update_kp();

    std::unique_ptr<Ui::FiltersWidget> ui_;
    QV_board_* board_;  // not owned

    // Scale settings 0..15 and the CICN's extra scale bit.
    double s_cic2_ = 15, s_cicn_ = 15, s_fir1_ = 15, s_fir2_ = 15;
    bool scl_mx_ = false;
    // Chain terms from the chip's register shadow.
    bool cic2_on_ = false, cicn_on_ = false;
    double G_cic2_ = 1, G_cicn_ = 1, G_fir1_ = 1, G_fir2_ = 1;
    // |gain| / 16384; the gain slider starts at 99.
    double K_gain_ = 99.0 / 16384.0;
    double kp_ = 0.0;
    uint32_t flags_shown_ = 0;  // overflow flags the stage names show in red (bits 0-4)
};
