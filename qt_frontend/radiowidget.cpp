#include "radiowidget.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPaintEvent>
#include <QPainter>
#include <QPixmap>
#include <QProgressBar>
#include <QStyle>
#include <QStyleOptionProgressBar>
#include <algorithm>
#include <cmath>

#include "conf_agent.h"
#include "connectwidget.h"
#include "pulse_sound_output.h"
#include "qv01_regs.h"
#include "qv_board.h"
#include "sound_generator.h"
#include "ui_radiowidget.h"

namespace {

// Level offset of the spectrum: a full-scale complex tone under the 4096-point
// Blackman window peaks at (32767 * 1719.9)^2, about 154.9558 dB.
constexpr double kSpectrumFullScaleDb = 154.9558;
constexpr double kChipClockMhz = 66.0;
using qv01::kRegControl;
constexpr int kPollMs = 20;
const char* const kConfigPath = "../config/FM_radio.ini";
// The spectrum axis follows the AFC once the tuning moved this far (MHz).
constexpr double kAxisFollowMhz = 0.001;

const char* const kBoardLostText = "The board was disconnected.";
const char* const kBoardLostHint = "Attach it again and press Connect.";
const char* const kNoSoundCaption = "No sound output";

QString audio_error_text(QAudio::Error error) {
    switch (error) {
        case QAudio::OpenError:
            return "no sound server or device could be opened";
        case QAudio::IOError:
            return "writing to the sound device failed";
        case QAudio::FatalError:
            return "the connection to the sound server was lost";
        default:
            return "the sound output reported an error";
    }
}

// "101.2000 MHz, AFC -12.7 kHz" (with a real minus sign).
QString tuning_text(double tuned_hz, double nominal_mhz, bool afc) {
    QString text = QString::asprintf("%.4f MHz", tuned_hz / 1e6);
    if (afc) {
        // In tenths of a kHz, so that a correction that rounds to zero reads +0.0.
        const double khz = std::round((tuned_hz - nominal_mhz * 1e6) / 100.0) / 10.0;
        text += QString(", AFC %1%2 kHz")
                    .arg(khz < 0 ? QString(QChar(0x2212)) : QString("+"))
                    .arg(std::fabs(khz), 0, 'f', 1);
    }
    return text;
}

}  // namespace

RadioWidget::RadioWidget(QWidget* parent) : QWidget(parent), path_(radio_dsp::kQv01SignalPath) {
    board_ = board_instance();
    if (board_) {
        source_ = std::make_unique<radio_dsp::BoardSampleSource<QV_demo_board_>>(board_);
        path_.set_source(source_.get());
    }
    path_.set_register_writer(radio_dsp::board_register_writer(board_));
    path_.set_observer(this);

    ui_.reset(new Ui::RadioWidget);
    ui_->setupUi(this);  // binds the widget slots by name
    // The step and fill read-outs change with every processing run. At a
    // fixed size, wide enough for any value they show, a new value repaints
    // the label alone instead of laying out the panel again.
    for (QLabel* label : {ui_->step_, ui_->avail_}) {
        const int width = label->fontMetrics().horizontalAdvance(QStringLiteral("-0000000"));
        label->setFixedSize(width, label->sizeHint().height());
    }

    generator_ = std::make_unique<SoundGenerator>(&audio_);
    connect(generator_.get(), &SoundGenerator::param_updated, this, &RadioWidget::_on_param_updated,
            Qt::QueuedConnection);
    connect(generator_.get(), &SoundGenerator::next_block_requested, this,
            &RadioWidget::get_next_data);
    // Queued: the run starts after readData has returned, so the half just
    // handed out is never written while it is being copied.
    connect(this, &RadioWidget::get_next_data, this, &RadioWidget::produce_audio,
            Qt::QueuedConnection);

    pulse_output_ = std::make_unique<PulseSoundOutput>();
    connect(pulse_output_.get(), &PulseSoundOutput::lost, this, &RadioWidget::sound_server_lost);
    format_.setSampleRate(44100);
    format_.setChannelCount(2);
    format_.setSampleSize(16);
    format_.setCodec("audio/pcm");
    format_.setByteOrder(QAudioFormat::LittleEndian);
    format_.setSampleType(QAudioFormat::SignedInt);

    rf_spectrum_.assign(4096, 0.0);
    trace_width_ = ui_->signal_->width();
    QPixmap blank(1024, 128);
    blank.fill(Qt::black);
    ui_->signal_->setPixmap(blank);

    queue_poll_.setInterval(kPollMs);
    connect(&queue_poll_, &QTimer::timeout, this, &RadioWidget::poll_queue);
    watch_.setInterval(kWatchMs);
    connect(&watch_, &QTimer::timeout, this, &RadioWidget::watch);
    watch_.start();
}

void RadioWidget::make_audio_output(const QAudioDeviceInfo& device) {
    // Deleted at once, not later, and heard no more: Qt's back end must not
    // deliver its state changes to a panel that dropped it.
    if (audio_output_) {
        audio_output_->disconnect(this);
        delete audio_output_;
    }
    device_ = device;
    audio_output_ = new QAudioOutput(device_, format_, this);
    connect(audio_output_, &QAudioOutput::stateChanged, this, &RadioWidget::audio_state_changed);
}

bool RadioWidget::start_audio_output(QString* why) {
    if (external_audio_) return true;
    // PulseAudio first: it delivers on its own thread, so this thread wakes
    // only for the pulls, and each start connects afresh, so a server that
    // went away plays again once it is back.
    if (pulse_output_->start(generator_.get(), "qv01_fm") == 0) return true;
    // No PulseAudio server: Qt's output on the default device (ALSA, say).
    *why = "no sound server or device could be opened (" + pulse_output_->error_text() + ")";
    const QAudioDeviceInfo device = QAudioDeviceInfo::defaultOutputDevice();
    if (device.isNull()) return false;
    if (!audio_output_ || device != device_ || audio_output_->error() != QAudio::NoError)
        make_audio_output(device);
    // A device that fails says so while starting; that is handled here.
    starting_audio_ = true;
    audio_output_->start(generator_.get());
    starting_audio_ = false;
    if (audio_output_->state() != QAudio::StoppedState || audio_output_->error() == QAudio::NoError)
        return true;
    *why = audio_error_text(audio_output_->error());
    return false;
}

void RadioWidget::stop_audio_output() {
    pulse_output_->stop();
    if (audio_output_) audio_output_->stop();
}

void RadioWidget::sound_server_lost() {
    if (!ui_->radio_->isChecked()) return;
    stop_with_message("sound_lost_message_", kNoSoundCaption,
                      "The sound output stopped: " + pulse_output_->error_text() +
                          ". The radio is switched off; press Radio to play again.");
}

void RadioWidget::audio_state_changed(QAudio::State state) {
    // Our own stop() ends without an error; a device that fails does not.
    if (starting_audio_) return;
    if (state != QAudio::StoppedState || audio_output_->error() == QAudio::NoError) return;
    if (!ui_->radio_->isChecked()) return;
    stop_with_message("sound_lost_message_", kNoSoundCaption,
                      "The sound output stopped: " + audio_error_text(audio_output_->error()) +
                          ". The radio is switched off; press Radio to play again.");
}

RadioWidget::~RadioWidget() {
    watch_.stop();
    queue_poll_.stop();
    stop_audio_output();
    // A processing run still queued from the last pull must not run on a
    // panel being torn down.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    // Deleted here, not among the children: Qt's PulseAudio back end runs
    // the event loop from its destructor, which would deliver events to this
    // panel after its members are gone.
    if (audio_output_) {
        audio_output_->disconnect(this);
        delete audio_output_;
        audio_output_ = nullptr;
    }
    pulse_output_.reset();
    if (generator_->isOpen()) generator_->close();
}

void RadioWidget::set_backdrop(const QColor& colour) {
    backdrop_ = colour;
    setAttribute(Qt::WA_OpaquePaintEvent, backdrop_.isValid());
    update();
}

void RadioWidget::paintEvent(QPaintEvent* event) {
    if (backdrop_.isValid()) QPainter(this).fillRect(event->rect(), backdrop_);
}

void RadioWidget::publish_test_pattern() {
    path_.image().fill_test_pattern();
    emit image_updated(path_.image().data());
}

void RadioWidget::on_frequency__valueChanged(int value) { set_frequency(value / 10.0); }

void RadioWidget::on_radio1__clicked() { select_preset(1009); }
void RadioWidget::on_radio2__clicked() { select_preset(1012); }
void RadioWidget::on_radio3__clicked() { select_preset(1035); }
void RadioWidget::on_radio4__clicked() { select_preset(1037); }
void RadioWidget::on_radio5__clicked() { select_preset(1057); }
void RadioWidget::on_radio6__clicked() { select_preset(1062); }

void RadioWidget::select_preset(int value) {
    if (ui_->frequency_->value() == value)
        set_frequency(value / 10.0);
    else
        ui_->frequency_->setValue(value);  // valueChanged tunes
}

void RadioWidget::set_frequency(double mhz) {
    ui_->text_frequency_->setText(QString::number(mhz, 'g', 6) + " MHz");
    nominal_mhz_ = mhz;
    path_.set_frequency(mhz * 1e6);  // writes the NCO word when a board is present
    if (board_) {
        axis_mhz_ = mhz;
        emit freq_updated(mhz, kChipClockMhz / board_->decimation());
    }
}

void RadioWidget::frequency_corrected(double freq_hz) {
    // The spectrum's axis reads the frequency actually tuned.
    const double mhz = freq_hz / 1e6;
    if (!board_ || std::fabs(mhz - axis_mhz_) < kAxisFollowMhz) return;
    axis_mhz_ = mhz;
    emit freq_updated(mhz, kChipClockMhz / board_->decimation());
}

void RadioWidget::on_radio__clicked(bool checked) {
    if (!checked) {
        switch_off();
        emit_status();
        return;
    }
    if (!board_) {
        // The start sequence and the signal path need the board.
        ui_->radio_->setChecked(false);
        show_no_board_message(this);
        return;
    }
    if (board_->device_lost()) {
        handle_board_loss();
        return;
    }
    report_problem(QString());
    trace_width_ = ui_->signal_->width();
    ConfigureReport report;
    if (configure_chip(
            board_, kConfigPath, [this] { emit update_filters(); }, &report) < 0) {
        // Nothing was sent to the chip: a receiver started on an unread
        // configuration would only play silence.
        ui_->radio_->setChecked(false);
        show_problem("config_error_message_", "Configuration",
                     QString::fromStdString(report.error) + " The radio stays off.");
        return;
    }
    const QString summary = QString::fromStdString(report.summary());
    if (!summary.isEmpty()) {
        show_warning(this, "config_warning_message_", "Configuration", summary);
        report_problem(summary);
    }
    generator_->open(QIODevice::ReadOnly);
    // The receiver plays what the slider shows.
    set_frequency(ui_->frequency_->value() / 10.0);
    dropped_bytes_at_start_ = board_->dropped_bytes();
    underruns_at_start_ = path_.underruns();
    // The audio starts once 10000 frames are queued; the wait runs from the
    // event loop so the window stays responsive.
    queue_wait_.start();
    queue_poll_.start();
    poll_queue();
    emit_status();
}

void RadioWidget::poll_queue() {
    if (!ui_->radio_->isChecked()) {
        queue_poll_.stop();
        return;
    }
    if (board_->device_lost()) {
        handle_board_loss();
        return;
    }
    const int queued = board_->samples_available();
    if (queued >= kFramesBeforeAudio) {
        queue_poll_.stop();
        QString why;
        if (!start_audio_output(&why))
            stop_with_message("no_sound_message_", kNoSoundCaption,
                              "The sound output could not be opened: " + why +
                                  ". The radio is switched off; press Radio to try again once a "
                                  "sound output is available.");
        emit_status();
        return;
    }
    if (queue_wait_.elapsed() >= kQueueWaitMs) {
        stop_with_message(
            "no_stream_message_", "Radio",
            QString("The board delivered no sample stream: %1 frames queued after %2 s. "
                    "The radio is switched off.")
                .arg(queued)
                .arg(kQueueWaitMs / 1000));
    }
}

void RadioWidget::switch_off() {
    queue_poll_.stop();
    stop_audio_output();
    if (generator_->isOpen()) generator_->close();
    if (!board_) return;
    board_->write_reg(kRegControl, 0);
    board_->stream_control(0, 0);
}

void RadioWidget::stop_with_message(const char* name, const QString& caption, const QString& text,
                                    const QString& informative) {
    ui_->radio_->setChecked(false);
    switch_off();
    show_problem(name, caption, text, informative);
}

void RadioWidget::show_problem(const char* name, const QString& caption, const QString& text,
                               const QString& informative) {
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, this);
    box->setObjectName(name);
    box->setInformativeText(informative);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();  // does not block the event loop
    report_problem(text);
}

void RadioWidget::handle_board_loss() {
    loss_handled_ = true;
    // The lost board sends nothing more: switching off only stops the audio.
    stop_with_message("board_lost_message_", "Board not connected", kBoardLostText, kBoardLostHint);
    emit board_lost();
}

void RadioWidget::set_board(QV_demo_board_* board) {
    if (board == board_) return;
    // The previous board may be destroyed already: switch off without it.
    board_ = nullptr;
    ui_->radio_->setChecked(false);
    switch_off();
    board_ = board;
    loss_handled_ = false;
    source_.reset();
    if (board_) source_ = std::make_unique<radio_dsp::BoardSampleSource<QV_demo_board_>>(board_);
    path_.set_source(source_.get());
    path_.set_register_writer(radio_dsp::board_register_writer(board_));
    emit_status();
}

void RadioWidget::report_problem(const QString& text) {
    problem_ = text;
    emit_status();
}

void RadioWidget::watch() {
    if (board_ && board_->device_lost() && !loss_handled_) handle_board_loss();
    if (++watch_ticks_ % kStatusTicks == 0) emit_status();
}

QString RadioWidget::status_text() {
    QStringList parts;
    if (!board_) {
        parts << "No board";
    } else if (!ui_->radio_->isChecked()) {
        parts << "Radio off";
    } else if (queue_poll_.isActive()) {
        parts << "Waiting for the sample stream";
    } else {
        const int transfer = board_->profile().stream_read_bytes;
        const uint64_t dropped = board_->dropped_bytes() - dropped_bytes_at_start_;
        parts << tuning_text(path_.frequency_hz(), nominal_mhz_, ui_->afc_->isChecked())
              << QString("ring drops %1").arg((dropped + transfer - 1) / transfer)
              << QString::asprintf("rate %+.0f ppm", path_.step_deviation_ppm())
              << QString("fill %1").arg(last_avail_)
              << QString("underruns %1").arg(path_.underruns() - underruns_at_start_);
    }
    if (!problem_.isEmpty()) parts << problem_;
    return parts.join("  |  ");
}

void RadioWidget::produce_audio() {
    // readData has already flipped the selector: that half is played next.
    int16_t* half = audio_.half_data(audio_.selector);
    if (board_ && board_->device_lost()) {
        // Nothing new will come: play silence, never the ring's stale content.
        std::fill(half, half + 2 * radio_dsp::AudioDoubleBuffer::kHalfFrames, int16_t{0});
        if (!loss_handled_) handle_board_loss();
        return;
    }
    path_.produce_audio(half, ui_->delta_->isChecked(), ui_->afc_->isChecked());
}

void RadioWidget::_on_param_updated(int step, int avail) {
    ui_->step_->setText(QString::number(step));
    ui_->avail_->setText(QString::number(avail));
    QProgressBar* bar = ui_->buf_filled_;
    const int shown = bar->value();
    if (shown == avail) return;
    // QProgressBar::setValue repaints at once; with updates held, the new
    // value is painted with the window's next coalesced repaint instead.
    bar->setAttribute(Qt::WA_UpdatesDisabled, true);
    bar->setValue(avail);
    bar->setAttribute(Qt::WA_UpdatesDisabled, false);
    // The Fusion style paints a horizontal bar the same on either side of
    // the strip between the old and the new end of its chunk (within a few
    // pixels): only that strip is painted again. Other styles repaint it all.
    if (bar->style()->objectName() != QLatin1String("fusion") ||
        bar->orientation() != Qt::Horizontal || bar->invertedAppearance()) {
        bar->update();
        return;
    }
    QStyleOptionProgressBar option;
    option.initFrom(bar);
    const QRect contents =
        bar->style()->subElementRect(QStyle::SE_ProgressBarContents, &option, bar);
    const double range = std::max(1, bar->maximum() - bar->minimum());
    auto end_x = [&](int value) {
        return contents.left() +
               static_cast<int>((value - bar->minimum()) * contents.width() / range);
    };
    constexpr int kStripMargin = 8;  // pixels beyond each end: rounded corners and outlines
    const int a = std::min(end_x(shown), end_x(avail)) - kStripMargin;
    const int b = std::max(end_x(shown), end_x(avail)) + kStripMargin;
    bar->update(QRect(a, 0, b - a + 1, bar->height()));
}

void RadioWidget::_on_kp_updated(double kp) { kp_ = kp; }

void RadioWidget::spectrum_ready(const double* power, int len) {
    // The chip's channel presents the band spectrally inverted (its local
    // oscillator shifts the spectrum up by the tuning word; the AFC relies on
    // it): a station above the tuning sits at a negative baseband frequency.
    // Mirror the spectrum about zero so the panel's axis reads RF frequency
    // from left to right: RF offset +k bins is baseband bin -k.
    if (static_cast<int>(rf_spectrum_.size()) != len) rf_spectrum_.assign(len, 0.0);
    for (int j = 0; j < len; ++j) rf_spectrum_[j] = power[(len - j) % len];
    emit signal_updated(rf_spectrum_.data(), len, kp_ + kSpectrumFullScaleDb);
}

void RadioWidget::rate_matched(int step, int avail, int) {
    last_avail_ = avail;
    _on_param_updated(step, avail);
}

void RadioWidget::image_ready(const radio_dsp::ConstellationImage& image) {
    emit image_updated(const_cast<unsigned char*>(image.data()));
}

void RadioWidget::audio_trace(const int16_t* frames) {
    // 8192 interleaved values; a rising zero crossing of the left channel
    // between frames 50 and 255 anchors the trace, each frame takes two pixels.
    constexpr int kValues = 2 * radio_dsp::AudioDoubleBuffer::kHalfFrames;
    int f = 50;
    while (f <= 255 && !(frames[2 * f] < 0 && frames[2 * (f + 1)] > 0)) ++f;
    auto y = [](int v) { return v / 512 + 64; };
    const int width = std::max(trace_width_, 1);
    QPolygon& points = ui_->signal_->trace();
    points.clear();
    points << QPoint(0, y(frames[2 * f]));
    for (int x = 0; x < width && 2 * f + x < kValues; ++x)
        points << QPoint(x, y(frames[2 * f + x]));
    ui_->signal_->show_trace(QSize(width, 128));
}

void RadioWidget::run_done() { emit check_ovf(); }
