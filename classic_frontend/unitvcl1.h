// Unit Unitvcl1: tunerdesk's one window, TForm1. It holds every control,
// owns the board while connected, runs the chip configuration and carries the
// classic signal path from the sample queue to the wave output.
//
// Threads: everything here runs on the GUI thread. The wave output's audio
// thread only posts WaveDoneEvent to the form; the board's stream thread only
// fills the sample queue.
#pragma once

#include <QCheckBox>
#include <QEvent>
#include <QImage>
#include <QLabel>
#include <QLine>
#include <QPushButton>
#include <QSlider>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "qv_board.h"
#include "signal_path.h"
#include "wave_out.h"

// A drawing area of fixed size. The handlers draw into its canvas (kept in
// an image, so a repaint shows what was last drawn); a paint handler, when
// set, draws instead of the canvas.
class PaintBox : public QWidget {
    Q_OBJECT
  public:
    PaintBox(QWidget* parent, const char* name, int x, int y, int w, int h);
    QImage& canvas() { return canvas_; }
    std::function<void(QPainter&)> on_paint;

  protected:
    void paintEvent(QPaintEvent*) override;

  private:
    QImage canvas_;
};

// Wave output's buffer-done notification, the form's message 957.
class WaveDoneEvent : public QEvent {
  public:
    static QEvent::Type type();
    explicit WaveDoneEvent(classic::WaveHeader* header) : QEvent(type()), header(header) {}
    classic::WaveHeader* header;
};

// The wave output lost its stream after it was open (sound server gone).
class WaveLostEvent : public QEvent {
  public:
    static QEvent::Type type();
    WaveLostEvent() : QEvent(type()) {}
};

// How the form reaches a board: create one (none when no board is attached;
// `error` then tells why when the reason is not simply a missing board) and
// run the connect sequence, which yields the FX2 firmware identifier and the
// chip's device identifier. The program passes the libusb-0.1 binding; tests
// may pass a board on the virtual board.
struct BoardLink {
    std::function<std::unique_ptr<QV_demo_board_>(std::string* error)> create;
    std::function<void(QV_demo_board_& board, int32_t* firmware_id, int32_t* device_id)> connect;
};

class TForm1 : public QWidget, private radio_dsp::SignalPathObserver {
    Q_OBJECT
  public:
    // Builds the controls, the signal path and the wave output (opened here;
    // a failure is shown in a message box once the form is up).
    explicit TForm1(BoardLink link, QWidget* parent = nullptr);
    ~TForm1() override;

    // Controls, named as the form declares them (also their object names).
    QPushButton *Button1, *Button7, *Button4;
    QPushButton *Button11, *Button10, *Button8, *Button6, *Button3;
    QLabel *Label1, *Label2, *Label7, *Label8, *Label4, *Label5, *Label6;
    QLabel *Label19, *Label20, *Label23;
    QLabel *Ldcic2, *Ldcicn, *Ldfir1, *Ldfir2, *Lgain;
    QSlider *TrackBar1, *TrackBar2, *TrackBar3;
    QSlider *TrackBar4, *TrackBar5, *TrackBar6, *TrackBar7;
    QCheckBox *CheckBox1, *CheckBox2, *CheckBox3;
    QLabel* Image1;
    PaintBox *PaintBox1, *PaintBox2, *PaintBox3;

    // Handlers.
    void Button1Click();  // Connect / disconnect
    void Button7Click();  // Radio: configure, reload the filter controls, start the audio
    void Button4Click();  // Stop
    void TrackBar1Change();
    void TrackBar2Change();
    void TrackBar3Change();
    void TrackBar4Change();
    void TrackBar5Change();
    void TrackBar6Change();
    void TrackBar7Change();
    void CheckBox1Click();
    void Button3Click();
    void Button6Click();
    void Button8Click();
    void Button10Click();
    void Button11Click();
    // Draws the constellation as the last processing run left it, or the
    // image's test pattern before the first run.
    void PaintBox1Paint(QPainter& canvas);

    // Sets TrackBar4..7 and CheckBox1 from the chip (nothing without a board);
    // the handlers they trigger write nothing meanwhile.
    void load_filter_controls();
    // Draws the gain/phase vector and writes GAIN I/Q (with a board, not updating).
    void apply_iq_gain();

    // Signal path (classic).
    void start_audio();  // submits both wave buffers, then playing
    void stop_audio();   // playing off; queued buffers play out and are dropped
    void on_wave_done(classic::WaveHeader* buffer);
    void draw_scope(const int16_t* frames);
    void show_overflow_flags();

    // Stops the audio and the sample stream, destroys the board and closes
    // the wave output. Runs when the window closes; idempotent.
    void shutdown();

    QV_demo_board_* board() const { return board_.get(); }
    bool playing() const { return playing_; }
    bool updating() const { return updating_; }
    double frequency() const { return path_.frequency_hz(); }
    radio_dsp::SignalPath& signal_path() { return path_; }
    classic::WaveOut& wave_out() { return wave_; }
    classic::WaveHeader& wave_buffer(int i) { return i == 0 ? wave1_ : wave2_; }
    // Result of opening the wave output at construction (0 when open).
    int wave_open_result() const { return wave_open_rc_; }

    // How often the form checks that its board is still there.
    static constexpr int kBoardWatchMs = 250;

  protected:
    bool event(QEvent* e) override;
    void closeEvent(QCloseEvent* e) override;

  private:
    // SignalPathObserver
    void rate_matched(int step, int avail, int change) override;
    void frequency_corrected(double freq_hz) override;
    void block_ready(int16_t* frames) override;
    void image_ready(const radio_dsp::ConstellationImage& image) override;
    void audio_trace(const int16_t* frames) override;
    void run_done() override;
    void underrun() override;

    void build_controls();
    void attach_board();  // points the signal path at board_ (or at nothing)
    void scale_field(int reg, int shift, int width, int value);
    void show_message(const char* name, const QString& text, const QString& caption);
    int open_wave();
    void report_wave_failure();
    void on_wave_lost();
    // Notices a board that went away: stops the chain, drops the board and
    // says so; Connect opens it again.
    void watch_board();
    // Sets the frequency track bar; the current preset tunes again.
    void select_preset(int position);

    BoardLink link_;
    std::unique_ptr<QV_demo_board_> board_;
    bool updating_ = false;
    bool playing_ = false;

    radio_dsp::SignalPath path_{radio_dsp::kClassicSignalPath};
    std::unique_ptr<radio_dsp::BoardSampleSource<QV_demo_board_>> source_;

    classic::WaveOut wave_;
    std::unique_ptr<int16_t[]> wave_data1_, wave_data2_;
    classic::WaveHeader wave1_, wave2_;
    int wave_open_rc_ = 0;
    QTimer board_watch_;
    QImage constellation_shown_;  // the constellation at the last processing run
    std::vector<QLine> scope_lines_ = std::vector<QLine>(512);  // the scope's segments
};
