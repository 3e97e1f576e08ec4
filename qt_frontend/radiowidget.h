// Radio panel: switches the receiver on and off, tunes it (slider and six
// presets), enables AFC, chooses what the constellation image shows, and
// owns the signal path from the sample queue to the audio output. GUI
// thread only; the audio output pulls blocks through SoundGenerator.
#pragma once

#include <QAudioDeviceInfo>
#include <QAudioFormat>
#include <QElapsedTimer>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "audio_double_buffer.h"
#include "signal_path.h"

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
    QAudioOutput* audio_output() const { return audio_output_; }
    SoundGenerator* sound_generator() const { return generator_.get(); }

    // True while switching on waits for the sample queue to fill.
    bool waiting_for_samples() const { return queue_poll_.isActive(); }

    // Writes the constellation test pattern and publishes it (image_updated).
    void publish_test_pattern();

    // How long switching on waits for 10000 queued frames before giving up.
    static constexpr int kQueueWaitMs = 5000;
    static constexpr int kFramesBeforeAudio = 10000;

signals:
    void update_filters();
    void get_next_data();
    void check_ovf();
    void freq_updated(double freq, double span);
    void signal_updated(const double* data, int len, double scale);
    void image_updated(unsigned char* bitmap);

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

private slots:
    // One processing run: fills the half the audio output reads next.
    void produce_audio();
    // Polls the sample queue until enough frames wait to start the audio.
    void poll_queue();

private:
    void set_frequency(double mhz);
    void switch_off();

    // SignalPathObserver: the processing run's outputs, wired to the widgets.
    void spectrum_ready(const double* power, int len) override;
    void rate_matched(int step, int avail, int change) override;
    void image_ready(const radio_dsp::ConstellationImage& image) override;
    void audio_trace(const int16_t* frames) override;
    void run_done() override;

    radio_dsp::SignalPath path_;
    radio_dsp::AudioDoubleBuffer audio_;
    double kp_ = 1.0;  // filter chain gain in dB, for the spectrum's reference
    std::vector<double> rf_spectrum_;  // the block's spectrum in RF order, sent to the spectrum panel
    QV_demo_board_* board_ = nullptr;  // not owned
    std::unique_ptr<radio_dsp::SampleSource> source_;
    QAudioDeviceInfo device_;
    QAudioFormat format_;
    std::unique_ptr<Ui::RadioWidget> ui_;
    std::unique_ptr<SoundGenerator> generator_;  // no QObject parent; owned here
    QAudioOutput* audio_output_ = nullptr;       // child of the panel
    int trace_width_ = 0;
    QTimer queue_poll_;
    QElapsedTimer queue_wait_;
};
