// qv01_fm: FM radio on the QV01 evaluation board. Takes no options of its
// own; the arguments go to Qt. Paths are relative to the working directory:
// "../fw/proto.hex", "../config/FM_radio.ini", and the dump "config.c".
#include <QApplication>
#include <QFont>
#include <cstdio>

#include "mainwindow.h"

int main(int argc, char* argv[]) {
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
