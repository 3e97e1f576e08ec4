// tunerdesk: the classic FM demo program of the QV01 evaluation board. Takes
// no options of its own (the arguments go to Qt). Reads "proto.hex" and
// "FM_radio.ini" from the working directory.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <string>

#include "classic_board.h"
#include "unitvcl1.h"

int main(int argc, char* argv[]) {
    // Progress lines and check reports reach a log file as they happen.
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    QApplication app(argc, argv);
    QApplication::setApplicationName("tunerdesk");
    BoardLink link;
    link.create = [](std::string* error) { return create_classic_board(error); };
    link.connect = [](QV_demo_board_& board, int32_t* firmware_id, int32_t* device_id) {
        const ClassicIds ids = classic_connect(board);
        *firmware_id = ids.firmware_id;
        *device_id = ids.device_id;
    };
    // Anything thrown by a library on the way up is shown, then the program ends.
    try {
        TForm1 form(link);
        form.show();
        return app.exec();
    } catch (const std::exception& e) {
        QMessageBox::critical(nullptr, "tunerdesk", e.what());
    } catch (...) {
        QMessageBox::critical(nullptr, "tunerdesk", "Unknown error");
    }
    return 1;
}
