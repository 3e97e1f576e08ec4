// tunerdesk: the classic FM demo program of the QV01 evaluation board. Takes
// no options of its own (but --help and --version); Qt's options go to Qt.
// Reads "proto.hex" and "FM_radio.ini" from the working directory.
#include <QApplication>
#include <QMessageBox>
#include <cstdio>
#include <exception>
#include <string>

#include "classic_board.h"
#include "program_info.h"
#include "unitvcl1.h"

namespace {

const char* const kUsage = "usage: tunerdesk [QT_OPTION...]\n";
const char* const kHelp =
    "The classic FM demo program of the QV01 evaluation board: Connect opens the\n"
    "board (an FX2 without firmware, 04b4:8613) through libusb-0.1 and downloads\n"
    "proto.hex from the working directory; Radio configures the chip from\n"
    "FM_radio.ini there (a 40 MHz chip clock) and plays. tunerdesk-run prepares a\n"
    "working directory and starts the program in it; tunerdesk-run --virtual runs\n"
    "it on the virtual board.\n"
    "\n"
    "  --help      this text\n"
    "  --version   the version\n"
    "Qt's own options (-platform NAME, -style NAME, -reverse, ...) go to Qt.\n";

}  // namespace

int main(int argc, char* argv[]) {
    const int rc = qv::check_qt_program_arguments(argc, argv, "tunerdesk", kUsage, kHelp);
    if (rc >= 0) return rc;
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
