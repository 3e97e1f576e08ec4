// qv01_fm: FM radio on the QV01 evaluation board. Takes no options of its
// own; the arguments go to Qt. Paths are relative to the working directory:
// "../fw/proto.hex", "../config/FM_radio.ini", and the dump "config.c".
#include <QApplication>

#include "mainwindow.h"

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QApplication::setOrganizationName("R&D center Vantrel");
    QApplication::setOrganizationDomain("vantrel.example");
    QApplication::setApplicationName("qv01_fm");
    auto* window = new MainWindow;
    window->show();
    const int result = app.exec();
    delete window;
    return result;
}
