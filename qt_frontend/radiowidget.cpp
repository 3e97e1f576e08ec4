#include "radiowidget.h"

#include <QAudioOutput>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

#include "conf_agent.h"
#include "connectwidget.h"
#include "qv_board.h"
#include "sound_generator.h"
#include "ui_radiowidget.h"

namespace {

// Level offset of the spectrum: a full-scale complex tone under the 4096-point
// Blackman window peaks at (32767 * 1719.9)^2, about 154.9558 dB.
constexpr double kSpectrumFullScaleDb = 154.9558;
constexpr double kChipClockMhz = 66.0;
constexpr int kRegControl = 5;
constexpr int kPollMs = 20;
const char* const kConfigPath = "../config/FM_radio.ini";

}  // namespace

RadioWidget::RadioWidget(QWidget* parent)
    : QWidget(parent), path_(radio_dsp::kQv01SignalPath) {
    board_ = board_instance();
    if (board_) {
        source_ = std::make_unique<radio_dsp::BoardSampleSource<QV_demo_board_>>(board_);
        path_.set_source(source_.get());
    }
    path_.set_register_writer(radio_dsp::board_register_writer(board_));
    path_.set_observer(this);
    device_ = QAudioDeviceInfo::defaultOutputDevice();

    ui_.reset(new Ui::RadioWidget);
    ui_->setupUi(this);  // binds the widget slots by name

    generator_ = std::make_unique<SoundGenerator>(&audio_);
    connect(generator_.get(), &SoundGenerator::param_updated, this,
            &RadioWidget::_on_param_updated, Qt::QueuedConnection);
    connect(generator_.get(), &SoundGenerator::next_block_requested, this,
            &RadioWidget::get_next_data);
    // Queued: the run starts after readData has returned, so the half just
    // handed out is never written while it is being copied.
    connect(this, &RadioWidget::get_next_data, this, &RadioWidget::produce_audio,
            Qt::QueuedConnection);

    format_.setSampleRate(44100);
    format_.setChannelCount(2);
    format_.setSampleSize(16);
    format_.setCodec("audio/pcm");
    format_.setByteOrder(QAudioFormat::LittleEndian);
    format_.setSampleType(QAudioFormat::SignedInt);
    audio_output_ = new QAudioOutput(device_, format_, this);

    rf_spectrum_.assign(4096, 0.0);
    trace_width_ = ui_->signal_->width();
    QPixmap blank(1024, 128);
    blank.fill(Qt::black);
    ui_->signal_->setPixmap(blank);

    queue_poll_.setInterval(kPollMs);
    connect(&queue_poll_, &QTimer::timeout, this, &RadioWidget::poll_queue);
}

RadioWidget::~RadioWidget() {
    queue_poll_.stop();
    audio_output_->stop();
    // A processing run still queued from the last pull must not run on a
    // panel being torn down.
    QCoreApplication::removePostedEvents(this, QEvent::MetaCall);
    // Deleted here, not among the children: the PulseAudio back end runs the
    // event loop from its destructor, which would deliver events to this
    // panel after its members are gone.
    delete audio_output_;
    audio_output_ = nullptr;
    if (generator_->isOpen()) generator_->close();
}

void RadioWidget::publish_test_pattern() {
    path_.image().fill_test_pattern();
    emit image_updated(path_.image().data());
}

void RadioWidget::on_frequency__valueChanged(int value) { set_frequency(value / 10.0); }

void RadioWidget::on_radio1__clicked() { ui_->frequency_->setValue(1009); }
void RadioWidget::on_radio2__clicked() { ui_->frequency_->setValue(1012); }
void RadioWidget::on_radio3__clicked() { ui_->frequency_->setValue(1035); }
void RadioWidget::on_radio4__clicked() { ui_->frequency_->setValue(1037); }
void RadioWidget::on_radio5__clicked() { ui_->frequency_->setValue(1057); }
void RadioWidget::on_radio6__clicked() { ui_->frequency_->setValue(1062); }

void RadioWidget::set_frequency(double mhz) {
    ui_->text_frequency_->setText(QString::number(mhz, 'g', 6) + " MHz");
    path_.set_frequency(mhz * 1e6);  // writes the NCO word when a board is present
    if (board_) emit freq_updated(mhz, kChipClockMhz / board_->decimation());
}

void RadioWidget::on_radio__clicked(bool checked) {
    if (!checked) {
        switch_off();
        return;
    }
    if (!board_) {
        // The start sequence and the signal path need the board.
        ui_->radio_->setChecked(false);
        show_no_board_message(this);
        return;
    }
    trace_width_ = ui_->signal_->width();
    configure_chip(board_, kConfigPath, [this] { emit update_filters(); });
    generator_->open(QIODevice::ReadOnly);
    set_frequency(100.0);
    // The audio starts once 10000 frames are queued; the wait runs from the
    // event loop so the window stays responsive.
    queue_wait_.start();
    queue_poll_.start();
    poll_queue();
}

void RadioWidget::poll_queue() {
    if (!ui_->radio_->isChecked()) {
        queue_poll_.stop();
        return;
    }
    const int queued = board_->samples_available();
    if (queued >= kFramesBeforeAudio) {
        queue_poll_.stop();
        audio_output_->start(generator_.get());
        return;
    }
    if (queue_wait_.elapsed() >= kQueueWaitMs) {
        queue_poll_.stop();
        ui_->radio_->setChecked(false);
        switch_off();
        auto* box = new QMessageBox(
            QMessageBox::Warning, "Radio",
            QString("The board delivered no sample stream: %1 frames queued after %2 s. "
                    "The radio is switched off.")
                .arg(queued)
                .arg(kQueueWaitMs / 1000),
            QMessageBox::Ok, this);
        box->setObjectName("no_stream_message_");
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
    }
}

void RadioWidget::switch_off() {
    queue_poll_.stop();
    audio_output_->stop();
    if (generator_->isOpen()) generator_->close();
    if (!board_) return;
    board_->write_reg(kRegControl, 0);
    board_->stream_control(0, 0);
}

void RadioWidget::produce_audio() {
    // readData has already flipped the selector: that half is played next.
    path_.produce_audio(audio_.half_data(audio_.selector), ui_->delta_->isChecked(),
                        ui_->afc_->isChecked());
}

void RadioWidget::_on_param_updated(int step, int avail) {
    ui_->step_->setText(QString::number(step));
    ui_->avail_->setText(QString::number(avail));
    ui_->buf_filled_->setValue(avail);
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

void RadioWidget::rate_matched(int step, int avail, int) { _on_param_updated(step, avail); }

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
    QPixmap pixmap(width, 128);
    pixmap.fill(Qt::black);
    QPainterPath trace(QPointF(0, y(frames[2 * f])));
    for (int x = 0; x < width && 2 * f + x < kValues; ++x) trace.lineTo(x, y(frames[2 * f + x]));
    QPainter painter(&pixmap);
    painter.setPen(Qt::green);
    painter.drawPath(trace);
    painter.end();
    ui_->signal_->setPixmap(pixmap);
}

void RadioWidget::run_done() { emit check_ovf(); }
