// qv01_fm: FM radio on the QV01 evaluation board. Takes no options of its
// own (but --help and --version); Qt's options go to Qt. Paths are relative
// to the working directory: "../fw/proto.hex", "../config/FM_radio.ini", and
// the dump "config.c".
#include <QApplication>
#include <QFont>
#include <cstdio>

#include "mainwindow.h"
#include "program_info.h"

namespace {

const char* const kUsage = "usage: qv01_fm [QT_OPTION...]\n";
const char* const kHelp =
    "FM radio on the QV01 evaluation board: the board (an FX2 without firmware,\n"
    "04b4:8613) is opened at start-up with the firmware ../fw/proto.hex; Connect,\n"
    "Radio and a preset play a station. The configuration ../config/FM_radio.ini\n"
    "is read when Radio is switched on, and the register dump config.c is written\n"
    "into the working directory. qv01-fm prepares a working directory and starts\n"
    "the program in it; qv01-fm --virtual runs it on the virtual board.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "Qt's own options (-platform NAME, -style NAME, -reverse, ...) go to Qt.\n";

}  // namespace

int main(int argc, char* argv[]) {
    const int rc = qv::check_qt_program_arguments(argc, argv, "qv01_fm", kUsage, kHelp);
    if (rc >= 0) return rc;
    // Progress lines and check reports reach a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QApplication::setOrganizationName("R&D center Vantrel");
    QApplication::setOrganizationDomain("vantrel.example");
    QApplication::setApplicationName("qv01_fm");
    // The panels' fixed geometry was laid out for an 8-point dialog font;
    // Linux desktops default to 9 or 10 points, which would cut captions.
    QFont font = QApplication::font();
    font.setPointSize(8);
    QApplication::setFont(font);
    auto* window = new MainWindow;
    window->show();
    const int result = app.exec();
    delete window;
    return result;
}
