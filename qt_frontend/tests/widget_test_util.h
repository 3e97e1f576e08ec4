// Helpers of the widget tests of both programs (qv01_fm's panels, tunerdesk's
// form), on Qt's offscreen platform with the virtual board linked in.
#pragma once

#include <QDir>
#include <QMessageBox>
#include <QString>
#include <QTest>
#include <QWidget>

#include "qv_board.h"
#include "vboard_control.h"

namespace qvtest {

// The child `name` of `root`; the test program stops when there is none.
template <typename T>
T* child(QWidget* root, const char* name) {
    T* w = root->findChild<T*>(name);
    if (!w) qFatal("no widget %s", name);
    return w;
}

// Waits for the message box `name` under `root`, closes it and returns its
// text (and its caption in `*title`, when given); a text in parentheses says
// what went wrong instead.
inline QString take_message(QWidget* root, const char* name, QString* title = nullptr,
                            int timeout_ms = 15000) {
    QMessageBox* box = nullptr;
    if (!QTest::qWaitFor([&] { return (box = root->findChild<QMessageBox*>(name)) != nullptr; },
                         timeout_ms))
        return QString("(no message box %1)").arg(name);
    const QString text = box->text();
    if (title) *title = box->windowTitle();
    box->close();
    if (!QTest::qWaitFor([&] { return root->findChild<QMessageBox*>(name) == nullptr; },
                         timeout_ms))
        return QString("(message box %1 stayed open)").arg(name);
    return text;
}

// Runs the enclosed statements in another working directory.
class WorkingDirectory {
  public:
    explicit WorkingDirectory(const QString& path) : saved_(QDir::currentPath()) {
        if (!QDir::setCurrent(path)) qFatal("cannot enter %s", qPrintable(path));
    }
    ~WorkingDirectory() { QDir::setCurrent(saved_); }
    WorkingDirectory(const WorkingDirectory&) = delete;
    WorkingDirectory& operator=(const WorkingDirectory&) = delete;

  private:
    QString saved_;
};

// Runs channel 0 of the chip model for a moment with only DFIR2 clipping, and
// stops it again: both CICs bypassed (still decimating, by 128 and 64), each
// DFIR cut to its centre tap, DFIR1 x 1 (64 at scale 15), DFIR2 x 512 (32767
// at scale 15), gain x 1. The overflow flags (register 32) stay set until
// read. False when the chip produced no frames within the time-out.
inline bool run_with_dfir2_clipping(QV_demo_board_* b) {
    b->write_reg(36, 127 << 8);
    b->write_reg(37, 63 << 8);
    b->write_reg(38, 0x4000);
    b->write_reg(64, 64);
    b->write_reg(39, 15);
    b->write_reg(40, 0x4000);
    b->write_reg(128, 32767);
    b->write_reg(41, 15);
    b->write_reg(42, 16384);
    b->write_reg(43, 0);
    const uint64_t produced = vboard::stats().frames_produced;
    b->write_reg(5, 0x8001);
    b->stream_control(1, 0);
    const bool ran =
        QTest::qWaitFor([&] { return vboard::stats().frames_produced > produced + 100; }, 15000);
    b->write_reg(5, 0x8000);
    b->stream_control(0, 0);
    return ran;
}

}  // namespace qvtest
