// Chip register access through the board's bridge, the chip register shadow,
// bus timing, the concrete evaluation-board class and how one is created.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "qv01_regs.h"
#include "uc_ibus.h"

// Threads: GUI thread only (the stream queue operations of UC_IBus_ excepted).
class QV_board_ : public UC_IBus_ {
  public:
    QV_board_(std::unique_ptr<qv::UsbPort> handle, const qv::LinkProfile& profile);

    // Chip select 0..7 for the following register accesses (bridge_write(1, 1, cs)).
    // Other values send nothing and return the invalid argument error. Returns
    // 0, or the error of the write (the chip select then stays as it was).
    int select_chip(int cs);

    // Chip register write: address phase, then the whole 32-bit value as data
    // phase. With a shadow, addresses 0..958 keep the value's low 16 bits;
    // other addresses are written but not recorded. Returns 0, or the error of
    // the phase that failed: a failed address phase sends no data phase (so
    // the value cannot land in the register latched before), and a failed
    // write leaves the shadow untouched.
    int write_reg(int address, int32_t value);
    // Chip register read: address phase, then a bridge read of the data
    // register into `*value` (register value in the low half). Returns 0, or
    // the error of the phase that failed with `*value` untouched.
    int read_reg(int address, uint32_t* value);
    // The same, returning the 32-bit value on success and the negative error
    // number on failure.
    int read_reg(int address);
    // Last value written to `address`, sign-extended from 16 bits, without USB
    // traffic; 0 for addresses outside 0..958 and without a shadow.
    int shadow_reg(int address) const;
    // Total decimation of channel 0 from the shadowed CIC2, CICN, DFIR1 and
    // DFIR2 ratios (1 while nothing was written).
    int decimation() const;

    // Bus cycle count for a chip access time of `t_ns` nanoseconds: command 14
    // with floor(t*1000/20833)+1 cycles, at least 1, at most 14. Returns 0 or
    // the error of the command.
    int set_bus_timing(int t_ns);
    // Third bridge register of the current chip select (bridge_write(0, 4*cs+2, value)).
    // Returns 0 or the error of the write.
    int set_bus_control(uint32_t value);

    // Reserved slots of the board interface; nothing in the system calls them.
    virtual int reserved_slot1();
    virtual int reserved_slot2();
    virtual int reserved_slot3();
    virtual int reserved_slot4();
    virtual int reserved_slot5() = 0;
    virtual int reserved_slot6() = 0;
    virtual int reserved_slot7();

    int chip_select() const { return chip_select_; }

  private:
    int chip_select_ = 0;
    const int cycle_time_ps_ = qv::kBusCyclePs;
    int16_t shadow_[qv01::kRegisterCount] = {};
};

// The board object created for the QV evaluation board.
class QV_demo_board_ : public QV_board_ {
  public:
    QV_demo_board_(std::unique_ptr<qv::UsbPort> handle,
                   const qv::LinkProfile& profile = qv::kLibusb1Profile);
    ~QV_demo_board_() override;

    int reserved_slot5() override;
    int reserved_slot6() override;
};

// Downloads the firmware at `hex_path` over `port` and builds the board on it.
// Returns no board when `port` is empty (no device matched: `*error` is left
// empty) or when the firmware could not be loaded: the file is missing or
// unreadable, or not a valid Intel HEX image (checked whole before any USB
// traffic), or the download failed. Then `*error`, when given, gets one or two
// sentences for the user naming the file (absolute path), the working
// directory for a file that could not be opened, the line and the reason for
// a bad image; the port is closed.
std::unique_ptr<QV_demo_board_> create_board_on(std::unique_ptr<qv::UsbPort> port,
                                                const char* hex_path,
                                                const qv::LinkProfile& profile,
                                                std::string* error = nullptr);

// qv01_fm over libusb-1.0: opens the first device with the vendor and product
// of `wanted`, loads "../fw/proto.hex" and builds the board. No board when no
// device matches (`*error` empty), when the device may not be opened
// (`*error` is qv::no_permission_message() for EACCES, see open_libusb1_port)
// or the firmware could not be loaded (`*error` says why, as for
// create_board_on).
std::unique_ptr<QV_demo_board_> create_board(const BoardDescriptor& wanted,
                                             std::string* error = nullptr);

// The process's one board: the first call tries create_board once for the
// FX2 (0x04B4/0x8613) and keeps the result, board or none; later calls return
// what is kept, which reopen_board_instance() may have replaced. GUI thread
// only. The kept board stays until the process exits or a reopen drops it.
QV_demo_board_* board_instance();

// Drops a board that is lost (device_lost()) or absent and tries create_board
// again; keeps a healthy board. GUI thread only. Returns the current board or
// null. A dropped board is destroyed here: pointers to it die with it.
QV_demo_board_* reopen_board_instance();

// Text of the last failed attempt of board_instance()/reopen_board_instance()
// (no permission to open the device, or the firmware); empty when no device
// matched or the last attempt succeeded. GUI thread only.
const std::string& board_instance_error();
