#include "unitvcl1.h"

#include <QCloseEvent>
#include <QCoreApplication>
#include <QMessageBox>
#include <QPainter>
#include <QTimer>
#include <cmath>

#include "conf_agent.h"
#include "logo.h"
#include "qv01_regs.h"

namespace {

const char* const kBoardNotFoundText =
    "The board is not found . Please,  check libusb driver installation, cable connection. The "
    "board should be displayed in the Device Manager as QV demo board";
const char* const kNotConnectedText = "Not connected. Press \"Connect\" first, please";
const char* const kNotConnectedCaption = "Board not connected";
const char* const kBoardLostText = "The board was disconnected.";
const char* const kUnderrunText =
    "Playback stopped: fewer demodulated samples were waiting than one sound buffer needs (the "
    "sample stream stalled or the computer was too busy). Press \"Radio\" to play again.";

const QColor kStageOk(0, 128, 0);
const QColor kStageFlagged(255, 0, 0);
const QColor kCanvasGrey(192, 192, 192);

// Chip registers of channel 0 driven by the form.
constexpr int kRegOverflow = qv01::reg_addr(0, qv01::kOffFlags);
constexpr int kRegCic2 = qv01::reg_addr(0, qv01::kOffCic2);
constexpr int kRegCicn = qv01::reg_addr(0, qv01::kOffCicn);
constexpr int kRegDfir1Scale = qv01::reg_addr(0, qv01::kOffDfir1Scl);
constexpr int kRegDfir2Scale = qv01::reg_addr(0, qv01::kOffDfir2Scl);
constexpr int kRegGainI = qv01::reg_addr(0, qv01::kOffGainI);
constexpr int kRegGainQ = qv01::reg_addr(0, qv01::kOffGainQ);
// The scale field of the track bars (bits 0-3 of the CIC2, CICN and DFIR
// scale registers alike) and the CICN's scl_mx bit of the check box.
constexpr qv01::Field kScale = qv01::dfir::kScale;
static_assert(qv01::field_mask(kScale) == qv01::field_mask(qv01::cic2::kScale) &&
              qv01::field_mask(kScale) == qv01::field_mask(qv01::cicn::kScale));
constexpr qv01::Field kSclMx = qv01::cicn::kSclMx;

// A label sized to its text, as an auto-size label is. Most processing runs
// show the same text again: the label is then left alone.
void set_caption(QLabel* label, const QString& text) {
    if (label->text() == text) return;
    label->setText(text);
    label->adjustSize();
}

// Only a colour that changes touches the label's palette (a new palette
// propagates and repaints, once per processing run for the flags).
void set_colour(QLabel* label, const QColor& c) {
    if (label->palette().color(QPalette::WindowText) == c) return;
    QPalette p = label->palette();
    p.setColor(QPalette::WindowText, c);
    label->setPalette(p);
}

// At least four upper-case hex digits, more when the value needs them.
QString hex_id(int32_t v) {
    return QString("%1").arg(static_cast<uint32_t>(v), 4, 16, QChar('0')).toUpper();
}

}  // namespace

PaintBox::PaintBox(QWidget* parent, const char* name, int x, int y, int w, int h)
    : QWidget(parent), canvas_(w, h, QImage::Format_RGB32) {
    setObjectName(name);
    setGeometry(x, y, w, h);
    canvas_.fill(palette().color(QPalette::Window));
}

void PaintBox::paintEvent(QPaintEvent*) {
    QPainter p(this);
    if (on_paint)
        on_paint(p);
    else
        p.drawImage(0, 0, canvas_);
}

QEvent::Type WaveDoneEvent::type() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
}

QEvent::Type WaveLostEvent::type() {
    static const auto t = static_cast<QEvent::Type>(QEvent::registerEventType());
    return t;
}

TForm1::TForm1(BoardLink link, QWidget* parent) : QWidget(parent), link_(std::move(link)) {
    build_controls();
    path_.set_observer(this);
    attach_board();

    // Two wave buffers of 4096 stereo frames, zero, kept for the form's life.
    wave_data1_.reset(new int16_t[classic::kWaveBufferBytes / 2]());
    wave_data2_.reset(new int16_t[classic::kWaveBufferBytes / 2]());
    wave1_.data = wave_data1_.get();
    wave2_.data = wave_data2_.get();
    wave1_.length = wave2_.length = classic::kWaveBufferBytes;
    (void)wave_.prepare(&wave1_);
    (void)wave_.prepare(&wave2_);
    // Shown once the event loop runs, over the form.
    if (open_wave() != 0) QTimer::singleShot(0, this, [this] { report_wave_failure(); });

    board_watch_.setInterval(kBoardWatchMs);
    connect(&board_watch_, &QTimer::timeout, this, &TForm1::watch_board);
    board_watch_.start();
}

void TForm1::watch_board() {
    if (!board_ || !board_->device_lost()) return;
    // Its stream thread has ended already, so the board goes at once; the
    // completion handler sees no board from here on.
    stop_audio();
    path_.set_source(nullptr);
    path_.set_register_writer(radio_dsp::RegisterWriter());
    board_.reset();
    attach_board();
    show_message("board_lost_box", kBoardLostText, kNotConnectedCaption);
}

int TForm1::open_wave() {
    // The audio thread only posts; the form handles the buffer on its own thread.
    wave_open_rc_ = wave_.open(
        [this](classic::WaveHeader* h) { QCoreApplication::postEvent(this, new WaveDoneEvent(h)); },
        [this] { QCoreApplication::postEvent(this, new WaveLostEvent); });
    return wave_open_rc_;
}

void TForm1::on_wave_lost() {
    // The buffers in flight will not come back: the chain has stopped. "Radio"
    // opens the output again.
    stop_audio();
    wave_.close();
    show_message("wave_out_failed_box",
                 "The sound output stopped (" + QString::fromStdString(wave_.error_text()) +
                     "). Press \"Radio\" to play again.",
                 "No sound output");
}

void TForm1::report_wave_failure() {
    show_message("wave_out_failed_box",
                 "The sound output could not be opened (" +
                     QString::fromStdString(wave_.error_text()) +
                     "). The radio cannot play until a sound output is available.",
                 "No sound output");
}

TForm1::~TForm1() { shutdown(); }

void TForm1::build_controls() {
    setWindowTitle("Quorvane FM demo");
    resize(722, 484);
    move(452, 143);
    QFont f("MS Sans Serif");
    f.setPointSize(8);
    f.setStyleHint(QFont::SansSerif);
    setFont(f);

    auto button = [this](const char* name, const char* caption, int x, int y, int w, int h) {
        auto* b = new QPushButton(caption, this);
        b->setObjectName(name);
        b->setGeometry(x, y, w, h);
        return b;
    };
    auto label = [this](const char* name, const char* caption, int x, int y) {
        auto* l = new QLabel(this);
        l->setObjectName(name);
        l->move(x, y);
        l->setText(caption);
        l->adjustSize();  // empty captions too
        return l;
    };
    auto stage = [&](const char* name, const char* caption, int x, int y) {
        QLabel* l = label(name, caption, x, y);
        QFont bold = l->font();
        bold.setBold(true);
        l->setFont(bold);
        set_colour(l, kStageOk);
        l->adjustSize();
        return l;
    };
    auto slider = [this](const char* name, Qt::Orientation o, int x, int y, int w, int h, int lo,
                         int hi, int pos) {
        auto* s = new QSlider(o, this);
        s->setObjectName(name);
        s->setGeometry(x, y, w, h);
        s->setRange(lo, hi);
        s->setValue(pos);
        s->setTickPosition(QSlider::NoTicks);
        if (o == Qt::Vertical) {
            // Minimum at the top; the down key moves towards the maximum.
            s->setInvertedAppearance(true);
            s->setInvertedControls(true);
        }
        return s;
    };
    auto check = [this](const char* name, const char* caption, int x, int y, int w, int h) {
        auto* c = new QCheckBox(caption, this);
        c->setObjectName(name);
        c->setGeometry(x, y, w, h);
        return c;
    };

    Button1 = button("Button1", "Connect", 16, 32, 65, 25);
    Button7 = button("Button7", "Radio", 104, 32, 65, 25);
    Button4 = button("Button4", "Stop", 184, 32, 41, 25);
    Label1 = label("Label1", "HW ID:", 26, 90);
    Label2 = label("Label2", "", 80, 90);
    Label7 = label("Label7", "QV DEVID:", 24, 104);
    Label8 = label("Label8", "", 80, 104);
    Button11 = button("Button11", "100.9", 24, 144, 75, 25);
    Button10 = button("Button10", "101.2", 24, 168, 75, 25);
    Button8 = button("Button8", "103.7", 24, 192, 75, 25);
    Button6 = button("Button6", "105.7", 24, 216, 75, 25);
    Button3 = button("Button3", "106.2", 24, 240, 75, 25);
    Label4 = label("Label4", "Freq: ", 154, 271);
    Label5 = label("Label5", "100 Hz", 199, 271);
    TrackBar1 = slider("TrackBar1", Qt::Horizontal, 82, 294, 447, 28, 0, 1000, 100);
    CheckBox2 = check("CheckBox2", "AFC", 24, 304, 49, 17);
    Ldcic2 = stage("Ldcic2", "DCIC2", 152, 88);
    Ldcicn = stage("Ldcicn", "DCICN", 200, 88);
    Ldfir1 = stage("Ldfir1", "DFIR1", 248, 88);
    Ldfir2 = stage("Ldfir2", "DFIR2", 296, 88);
    TrackBar4 = slider("TrackBar4", Qt::Vertical, 152, 112, 25, 113, 0, 15, 15);
    TrackBar5 = slider("TrackBar5", Qt::Vertical, 200, 112, 25, 113, 0, 15, 15);
    TrackBar6 = slider("TrackBar6", Qt::Vertical, 248, 112, 25, 113, 0, 15, 15);
    TrackBar7 = slider("TrackBar7", Qt::Vertical, 296, 112, 25, 113, 0, 15, 15);
    for (QSlider* s : {TrackBar4, TrackBar5, TrackBar6, TrackBar7}) {
        s->setTickPosition(QSlider::TicksRight);
        s->setTickInterval(1);
    }
    CheckBox1 = check("CheckBox1", "Scl MX", 200, 224, 57, 25);
    Lgain = stage("Lgain", "Gain", 352, 40);
    TrackBar3 = slider("TrackBar3", Qt::Vertical, 353, 63, 40, 202, -32767, 32767, 99);
    Image1 = new QLabel(this);
    Image1->setObjectName("Image1");
    Image1->setGeometry(427, 10, kLogoWidth, kLogoHeight);
    Image1->setPixmap(draw_logo());
    PaintBox3 = new PaintBox(this, "PaintBox3", 424, 72, 128, 128);
    Label6 = label("Label6", "Phase", 486, 214);
    TrackBar2 = slider("TrackBar2", Qt::Horizontal, 415, 230, 179, 28, -100, 100, 0);
    Label19 = label("Label19", "SR ratio:", 568, 120);
    Label20 = label("Label20", "Label20", 616, 120);
    Label23 = label("Label23", "Label23", 616, 136);
    CheckBox3 = check("CheckBox3", "Delta", 616, 264, 49, 17);
    PaintBox2 = new PaintBox(this, "PaintBox2", 24, 352, 512, 70);
    PaintBox1 = new PaintBox(this, "PaintBox1", 560, 296, 128, 128);
    PaintBox1->on_paint = [this](QPainter& p) { PaintBox1Paint(p); };

    QWidget* order[] = {Button1,   Button4,   TrackBar1, TrackBar2, TrackBar3, Button7,
                        TrackBar4, TrackBar5, TrackBar6, TrackBar7, CheckBox1, CheckBox2,
                        CheckBox3, Button3,   Button6,   Button8,   Button10,  Button11};
    for (size_t i = 1; i < sizeof order / sizeof order[0]; ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);

    // Handlers, bound after the initial positions so that these do not run
    // them. A track bar's handler runs on every position change, including
    // the program's own.
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);
    connect(Button7, &QPushButton::clicked, this, &TForm1::Button7Click);
    connect(Button4, &QPushButton::clicked, this, &TForm1::Button4Click);
    connect(Button3, &QPushButton::clicked, this, &TForm1::Button3Click);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);
    connect(Button8, &QPushButton::clicked, this, &TForm1::Button8Click);
    connect(Button10, &QPushButton::clicked, this, &TForm1::Button10Click);
    connect(Button11, &QPushButton::clicked, this, &TForm1::Button11Click);
    connect(TrackBar1, &QSlider::valueChanged, this, &TForm1::TrackBar1Change);
    connect(TrackBar2, &QSlider::valueChanged, this, &TForm1::TrackBar2Change);
    connect(TrackBar3, &QSlider::valueChanged, this, &TForm1::TrackBar3Change);
    connect(TrackBar4, &QSlider::valueChanged, this, &TForm1::TrackBar4Change);
    connect(TrackBar5, &QSlider::valueChanged, this, &TForm1::TrackBar5Change);
    connect(TrackBar6, &QSlider::valueChanged, this, &TForm1::TrackBar6Change);
    connect(TrackBar7, &QSlider::valueChanged, this, &TForm1::TrackBar7Change);
    // A click handler also runs when the program sets the check state.
    connect(CheckBox1, &QCheckBox::toggled, this, &TForm1::CheckBox1Click);
}

void TForm1::attach_board() {
    if (board_) {
        source_ = std::make_unique<radio_dsp::BoardSampleSource<QV_demo_board_>>(board_.get());
        path_.set_source(source_.get());
    } else {
        path_.set_source(nullptr);
        source_.reset();
    }
    path_.set_register_writer(radio_dsp::board_register_writer(board_.get()));
}

void TForm1::show_message(const char* name, const QString& text, const QString& caption) {
    // Not modal to the event loop: the wave output's notifications keep coming.
    auto* box = new QMessageBox(QMessageBox::Warning, caption, text, QMessageBox::Ok, this);
    box->setObjectName(name);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->open();
}

void TForm1::Button1Click() {
    if (board_) {
        // The completion handler reads the board on every buffer: stop the
        // chain before the board goes away. The labels keep their text.
        stop_audio();
        path_.set_source(nullptr);
        path_.set_register_writer(radio_dsp::RegisterWriter());
        board_.reset();
        attach_board();
        return;
    }
    std::string error;
    board_ = link_.create ? link_.create(&error) : nullptr;
    if (!board_) {
        if (error.empty())
            show_message("board_not_found_box", kBoardNotFoundText, kNotConnectedCaption);
        else
            show_message("firmware_box", QString::fromStdString(error), kNotConnectedCaption);
        return;
    }
    int32_t firmware_id = 0;
    int32_t device_id = 0;
    if (link_.connect) link_.connect(*board_, &firmware_id, &device_id);
    attach_board();
    set_caption(Label2, hex_id(firmware_id));
    set_caption(Label8, hex_id(device_id));
}

void TForm1::Button7Click() {
    if (!board_ || updating_) {
        show_message("not_connected_box", kNotConnectedText, kNotConnectedCaption);
        return;
    }
    ConfigureReport report;
    if (configure_chip_classic(board_.get(), "FM_radio.ini", &report) < 0) {
        show_message("config_error_box",
                     QString::fromStdString(report.error) + " The radio stays off.",
                     "Configuration");
        return;
    }
    if (!report.summary().empty())
        show_message("config_warning_box", QString::fromStdString(report.summary()),
                     "Configuration");
    load_filter_controls();
    // The receiver plays what the track bar shows, not the file's tuning.
    TrackBar1Change();
    start_audio();
}

void TForm1::Button4Click() {
    if (!board_ || updating_) return;
    board_->write_reg(qv01::kRegControl, qv01::kCmdStop);
    board_->stream_control(0, 0);
    stop_audio();
}

void TForm1::TrackBar1Change() {
    const double f = (TrackBar1->value() * 0.01 + 100) * 1000000;
    set_caption(Label5, QString::number(f, 'g', 15) + " Hz");
    path_.set_frequency(f);  // writes the NCO word when a board is present
}

void TForm1::TrackBar2Change() { apply_iq_gain(); }
void TForm1::TrackBar3Change() { apply_iq_gain(); }

void TForm1::apply_iq_gain() {
    const double theta = TrackBar2->value() * M_PI * 0.01;
    const int gain = TrackBar3->value();
    const int i = static_cast<int>(std::cos(theta) * gain);  // truncation toward zero
    const int q = static_cast<int>(std::sin(theta) * gain);
    {
        QPainter p(&PaintBox3->canvas());
        p.fillRect(0, 0, 128, 128, kCanvasGrey);
        p.setPen(Qt::black);
        p.drawLine(64, 64, 64 + i / 512, 64 + q / 512);
    }
    PaintBox3->update();
    if (!board_ || updating_) return;
    board_->write_reg(kRegGainI, i & 0xFFFF);
    board_->write_reg(kRegGainQ, q & 0xFFFF);
    board_->write_reg(qv01::kRegControl, qv01::kCmdGainUpdate);
}

void TForm1::scale_field(int reg, int shift, int width, int value) {
    if (!board_ || updating_) return;
    const int mask = ((1 << width) - 1) << shift;
    // A read that failed must not be written back as the register's value.
    uint32_t read = 0;
    if (board_->read_reg(reg, &read) != 0) return;
    const int v = (static_cast<int>(read & 0xFFFF) & ~mask) | ((value << shift) & mask);
    board_->write_reg(reg, v);
}

void TForm1::TrackBar4Change() {
    scale_field(kRegCic2, kScale.shift, kScale.width, 15 - TrackBar4->value());
}
void TForm1::TrackBar5Change() {
    scale_field(kRegCicn, kScale.shift, kScale.width, 15 - TrackBar5->value());
}
void TForm1::TrackBar6Change() {
    scale_field(kRegDfir1Scale, kScale.shift, kScale.width, 15 - TrackBar6->value());
}
void TForm1::TrackBar7Change() {
    scale_field(kRegDfir2Scale, kScale.shift, kScale.width, 15 - TrackBar7->value());
}
void TForm1::CheckBox1Click() {
    scale_field(kRegCicn, kSclMx.shift, kSclMx.width, CheckBox1->isChecked() ? 1 : 0);
}

void TForm1::Button11Click() { select_preset(90); }   // 100.9 MHz
void TForm1::Button10Click() { select_preset(120); }  // 101.2 MHz
void TForm1::Button8Click() { select_preset(370); }   // 103.7 MHz
void TForm1::Button6Click() { select_preset(570); }   // 105.7 MHz
void TForm1::Button3Click() { select_preset(620); }   // 106.2 MHz

void TForm1::select_preset(int position) {
    if (TrackBar1->value() == position)
        TrackBar1Change();  // drops the AFC's correction
    else
        TrackBar1->setValue(position);
}

void TForm1::load_filter_controls() {
    if (!board_) return;
    // A read that failed leaves its control as it was.
    auto field = [this](int reg, qv01::Field f, int* out) {
        uint32_t v = 0;
        if (board_->read_reg(reg, &v) != 0) return false;
        *out = qv01::get_field(v, f);
        return true;
    };
    updating_ = true;
    int v = 0;
    if (field(kRegCic2, kScale, &v)) TrackBar4->setValue(15 - v);
    if (field(kRegCicn, kScale, &v)) TrackBar5->setValue(15 - v);
    if (field(kRegCicn, kSclMx, &v)) CheckBox1->setChecked(v);
    if (field(kRegDfir1Scale, kScale, &v)) TrackBar6->setValue(15 - v);
    if (field(kRegDfir2Scale, kScale, &v)) TrackBar7->setValue(15 - v);
    updating_ = false;
}

void TForm1::start_audio() {
    if (!wave_.is_open()) {
        // The sound server may have come up since start-up.
        if (open_wave() != 0) {
            report_wave_failure();
            return;
        }
    }
    // A buffer still queued from before a Stop stays queued (write refuses
    // it) and comes back through on_wave_done as usual.
    (void)wave_.write(&wave1_);
    (void)wave_.write(&wave2_);
    playing_ = true;
}

void TForm1::stop_audio() { playing_ = false; }

bool TForm1::event(QEvent* e) {
    if (e->type() == WaveDoneEvent::type()) {
        on_wave_done(static_cast<WaveDoneEvent*>(e)->header);
        return true;
    }
    if (e->type() == WaveLostEvent::type()) {
        on_wave_lost();
        return true;
    }
    return QWidget::event(e);
}

void TForm1::on_wave_done(classic::WaveHeader* buffer) {
    if (!playing_ || buffer == nullptr) return;
    // Stop and Radio in quick succession: a buffer dropped while stopped was
    // written again by start_audio before its old notification got here.
    // It is playing; its own notification comes later.
    if (wave_.is_queued(buffer)) return;
    (void)path_.on_wave_done(buffer->data, CheckBox3->isChecked(), CheckBox2->isChecked());
}

void TForm1::rate_matched(int step, int, int) {
    set_caption(Label20, QString::asprintf("%.4f", step / 256.0));
    set_caption(Label23, QString::number(step));
}

void TForm1::frequency_corrected(double freq_hz) {
    set_caption(Label5, QString::asprintf("%.0f Hz", freq_hz));
}

void TForm1::block_ready(int16_t* frames) {
    if (frames == wave1_.data)
        (void)wave_.write(&wave1_);
    else if (frames == wave2_.data)
        (void)wave_.write(&wave2_);
}

void TForm1::audio_trace(const int16_t* frames) { draw_scope(frames); }

void TForm1::image_ready(const radio_dsp::ConstellationImage& img) {
    // The picture as it is now, before the image fades, painted with the
    // window's next repaint (an immediate repaint per block costs more).
    const QImage view(img.data(), img.kSize, img.kSize, img.bytes_per_row(), QImage::Format_BGR888);
    constellation_shown_ = view.convertToFormat(QImage::Format_RGB32);
    PaintBox1->update();
}

void TForm1::run_done() { show_overflow_flags(); }

void TForm1::underrun() {
    stop_audio();
    show_message("underrun_box", kUnderrunText, "Radio");
}

void TForm1::draw_scope(const int16_t* frames) {
    auto left = [frames](int k) { return frames[2 * k]; };
    int k = 50;
    while (k <= 255 && !(left(k) < 0 && left(k + 1) > 0)) ++k;
    if (k > 255) k = 256;
    // The path from (0, 35) through one point per pixel column: its 512
    // segments in one call, each drawn as a line of its own (a polyline
    // would set other pixels at some corners).
    QPoint prev(0, 35);
    for (int x = 0; x < 512; ++x) {
        const QPoint next(x, left(k - 50 + x) / 1024 + 35);
        scope_lines_[x] = QLine(prev, next);
        prev = next;
    }
    QPainter p(&PaintBox2->canvas());
    p.fillRect(0, 0, 512, 70, kCanvasGrey);
    p.setPen(Qt::black);
    p.drawLines(scope_lines_.data(), static_cast<int>(scope_lines_.size()));
    p.end();
    PaintBox2->update();
}

void TForm1::show_overflow_flags() {
    if (!board_) return;
    uint32_t v = 0;
    if (board_->read_reg(kRegOverflow, &v) != 0) return;  // the colours stay as they were
    QLabel* stages[] = {Ldcic2, Ldcicn, Ldfir1, Ldfir2, Lgain};
    for (int bit = 0; bit < 5; ++bit)
        set_colour(stages[bit], (v >> bit) & 1 ? kStageFlagged : kStageOk);
}

void TForm1::PaintBox1Paint(QPainter& canvas) {
    if (!constellation_shown_.isNull()) {
        canvas.drawImage(0, 0, constellation_shown_);
        return;
    }
    // Before the first processing run: the image's test pattern.
    const radio_dsp::ConstellationImage& img = path_.image();
    const QImage view(img.data(), img.kSize, img.kSize, img.bytes_per_row(), QImage::Format_BGR888);
    canvas.drawImage(0, 0, view);
}

void TForm1::shutdown() {
    board_watch_.stop();
    stop_audio();
    if (board_) {
        board_->write_reg(qv01::kRegControl, qv01::kCmdStop);
        board_->stream_control(0, 0);
        path_.set_source(nullptr);
        path_.set_register_writer(radio_dsp::RegisterWriter());
        board_.reset();
        attach_board();
    }
    wave_.close();
}

void TForm1::closeEvent(QCloseEvent* e) {
    shutdown();
    e->accept();
}
