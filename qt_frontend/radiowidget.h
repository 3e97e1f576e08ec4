// Radio panel: switches the receiver on and off, tunes it (slider and six
// presets), enables AFC, chooses what the constellation image shows, and
// owns the signal path from the sample queue to the audio output. It also
// keeps watch: a board that goes away or a sound output that dies switches
// the radio off with a message, and the status line tells the tuning and the
// stream's health. GUI thread only; the audio output pulls blocks through
// SoundGenerator on this thread.
#pragma once

#include <QAudio>
#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QColor>
#include <QElapsedTimer>
#include <QString>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "audio_double_buffer.h"
#include "signal_path.h"

class PulseSoundOutput;
class QAudioOutput;
class QV_demo_board_;
class SoundGenerator;

namespace Ui {
class RadioWidget;
}

class RadioWidget : public QWidget, private radio_dsp::SignalPathObserver {
    Q_OBJECT
  public:
    // Takes the board from the board singleton (may be none).
    explicit RadioWidget(QWidget* parent = nullptr);
    ~RadioWidget() override;

    RadioWidget(const RadioWidget&) = delete;
    RadioWidget& operator=(const RadioWidget&) = delete;

    QV_demo_board_* board() const { return board_; }
    radio_dsp::SignalPath& signal_path() { return path_; }
    // The sound output (Qt's own is made only when no PulseAudio server answers).
    PulseSoundOutput* pulse_output() const { return pulse_output_.get(); }
    SoundGenerator* sound_generator() const { return generator_.get(); }

    // True while switching on waits for the sample queue to fill.
    bool waiting_for_samples() const { return queue_poll_.isActive(); }

    // Writes the constellation test pattern and publishes it (image_updated).
    void publish_test_pattern();

    // Points the panel at another board (Connect opened a new one after the
    // old one was lost) or at none. The radio is switched off first without
    // touching the previous board, which may be gone already.
    void set_board(QV_demo_board_* board);

    // The caller pulls the audio blocks from sound_generator() itself (tests
    // standing in for the sound card): Radio does not start the audio output.
    void set_external_audio(bool on) { external_audio_ = on; }

    // Paints `colour` as the panel's background, so that what lies beneath
    // the panel need not be painted when a child changes; an invalid colour
    // leaves the panel transparent (the default). The caller passes the
    // colour the panel's surroundings show there.
    void set_backdrop(const QColor& colour);
    const QColor& backdrop() const { return backdrop_; }

    // The status line: tuning and stream health while the radio runs, then
    // the last problem reported (board lost, sound output gone, files).
    QString status_text();

    // How long switching on waits for 10000 queued frames before giving up.
    static constexpr int kQueueWaitMs = 5000;
    static constexpr int kFramesBeforeAudio = 10000;
    // The board and the sound output are checked this often; the status
    // line is refreshed every kStatusTicks checks (about once a second).
    static constexpr int kWatchMs = 250;
    static constexpr int kStatusTicks = 4;

  signals:
    void update_filters();
    void get_next_data();
    void check_ovf();
    void freq_updated(double freq, double span);
    void signal_updated(const double* data, int len, double scale);
    void image_updated(unsigned char* bitmap);
    // The status line changed (about once a second, and at once on a problem).
    void status_changed(const QString& text);
    // The board went away; the radio has been switched off.
    void board_lost();

  public slots:
    void on_frequency__valueChanged(int value);
    void on_radio1__clicked();
    void on_radio2__clicked();
    void on_radio3__clicked();
    void on_radio4__clicked();
    void on_radio5__clicked();
    void on_radio6__clicked();
    void on_radio__clicked(bool checked);
    void _on_param_updated(int step, int avail);
    void _on_kp_updated(double kp);
    // Shows `text` in the status line until the next problem; empty clears it.
    void report_problem(const QString& text);

  private slots:
    // One processing run: fills the half the audio output reads next.
    void produce_audio();
    // Polls the sample queue until enough frames wait to start the audio.
    void poll_queue();
    // Notices a lost board and refreshes the status line.
    void watch();
    void audio_state_changed(QAudio::State state);

  protected:
    void paintEvent(QPaintEvent* event) override;

  private:
    void set_frequency(double mhz);
    // Sets the slider to a preset; the current preset tunes again (dropping
    // the AFC's correction), as its value would not change the slider.
    void select_preset(int value);
    void switch_off();
    // Switches off and unchecks Radio, with a message and a status line.
    void stop_with_message(const char* name, const QString& caption, const QString& text,
                           const QString& informative = QString());
    // A message box that does not block the event loop, and the status line.
    void show_problem(const char* name, const QString& caption, const QString& text,
                      const QString& informative = QString());
    void handle_board_loss();
    // Starts the sound output: PulseAudio's, else Qt's on the default device.
    // False, with the reason in *why, when neither opens.
    bool start_audio_output(QString* why);
    void make_audio_output(const QAudioDeviceInfo& device);
    void stop_audio_output();
    void sound_server_lost();
    void emit_status() { emit status_changed(status_text()); }

    // SignalPathObserver: the processing run's outputs, wired to the widgets.
    void spectrum_ready(const double* power, int len) override;
    void rate_matched(int step, int avail, int change) override;
    void frequency_corrected(double freq_hz) override;
    void image_ready(const radio_dsp::ConstellationImage& image) override;
    void audio_trace(const int16_t* frames) override;
    void run_done() override;

    radio_dsp::SignalPath path_;
    radio_dsp::AudioDoubleBuffer audio_;
    double kp_ = 1.0;  // filter chain gain in dB, for the spectrum's reference
    std::vector<double>
        rf_spectrum_;  // the latest block's spectrum in RF order, for the spectrum panel
    bool spectrum_pending_ = false;    // rf_spectrum_ holds a spectrum not yet sent
    QV_demo_board_* board_ = nullptr;  // not owned
    std::unique_ptr<radio_dsp::SampleSource> source_;
    QAudioDeviceInfo device_;
    QAudioFormat format_;
    std::unique_ptr<Ui::RadioWidget> ui_;
    std::unique_ptr<SoundGenerator> generator_;  // no QObject parent; owned here
    std::unique_ptr<PulseSoundOutput> pulse_output_;
    QAudioOutput* audio_output_ = nullptr;  // child of the panel, made when first needed
    int trace_width_ = 0;
    QTimer queue_poll_;
    QElapsedTimer queue_wait_;

    double nominal_mhz_ = 100.0;  // the slider's tuning, before AFC corrections
    double axis_mhz_ = 100.0;     // centre last sent to the spectrum panel's axis
    bool external_audio_ = false;
    bool starting_audio_ = false;  // start_audio_output handles the failures itself
    bool loss_handled_ = false;    // the current board's loss was reported
    QString problem_;
    QTimer watch_;
    int watch_ticks_ = 0;
    // Counters when Radio was last switched on, for the status line.
    uint64_t dropped_bytes_at_start_ = 0;
    uint64_t underruns_at_start_ = 0;
    int last_avail_ = 0;  // the fill level the last run showed in avail_
    QColor backdrop_;     // painted as the background when valid
};
