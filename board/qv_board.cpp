#include "qv_board.h"

#include <algorithm>

#include "firmware.h"

using namespace qv;

QV_board_::QV_board_(std::unique_ptr<UsbPort> handle, const LinkProfile& profile)
    : UC_IBus_(std::move(handle), profile) {}

int QV_board_::select_chip(int cs) {
    if (int rc = lost_check()) return rc;
    if (cs < 0 || cs >= kChipSelects) return profile().err_invalid;
    if (int rc = bridge_write(kSpaceChipSelect, kAddrChipSelect, static_cast<uint32_t>(cs)))
        return rc;
    chip_select_ = cs;
    return 0;
}

int QV_board_::write_reg(int address, int32_t value) {
    if (int rc = lost_check()) return rc;
    const uint8_t base = static_cast<uint8_t>(4 * chip_select_);
    if (int rc = bridge_write(kSpaceChipBus, base, static_cast<uint32_t>(address))) return rc;
    if (int rc = bridge_write(kSpaceChipBus, base + 1, static_cast<uint32_t>(value))) return rc;
    if (profile().keep_chip_shadow && address >= 0 && address < qv01::kRegisterCount)
        shadow_[address] = static_cast<int16_t>(value & 0xFFFF);
    return 0;
}

int QV_board_::read_reg(int address, uint32_t* value) {
    if (int rc = lost_check()) return rc;
    const uint8_t base = static_cast<uint8_t>(4 * chip_select_);
    if (int rc = bridge_write(kSpaceChipBus, base, static_cast<uint32_t>(address))) return rc;
    return bridge_read(kSpaceChipBus, base + 1, value);
}

int QV_board_::read_reg(int address) {
    uint32_t value = 0;
    if (int rc = read_reg(address, &value)) return rc;
    return static_cast<int>(value);
}

int QV_board_::shadow_reg(int address) const {
    if (address < 0 || address >= qv01::kRegisterCount) return 0;
    return shadow_[address];
}

int QV_board_::decimation() const {
    // Each ratio field holds the stage's ratio - 1.
    auto ratio = [this](int offset, qv01::Field field) {
        return qv01::get_field(shadow_reg(qv01::reg_addr(0, offset)), field) + 1;
    };
    const int cic2 = ratio(qv01::kOffCic2, qv01::cic2::kRatio);
    const int cicn = ratio(qv01::kOffCicn, qv01::cicn::kRatio);
    const int dfir2 = ratio(qv01::kOffDfir2Ctl, qv01::dfir::kRatio);
    const int dfir1 = ratio(qv01::kOffDfir1Ctl, qv01::dfir::kRatio);
    return cic2 * cicn * dfir2 * dfir1;
}

int QV_board_::set_bus_timing(int t_ns) {
    if (int rc = lost_check()) return rc;
    const int64_t q = std::max<int64_t>(0, int64_t{t_ns} * 1000 / cycle_time_ps_);
    const int cycles = static_cast<int>(std::min<int64_t>(q, kBusCyclesMax - 1)) + 1;
    const uint8_t msg[kLenBusTiming] = {kCmdBusTiming, static_cast<uint8_t>(cycles), 0, 0};
    return send(msg, sizeof msg);
}

int QV_board_::set_bus_control(uint32_t value) {
    return bridge_write(kSpaceChipBus, static_cast<uint8_t>(4 * chip_select_ + 2), value);
}

int QV_board_::reserved_slot1() { return profile().err_not_implemented; }
int QV_board_::reserved_slot2() { return profile().err_not_implemented; }
int QV_board_::reserved_slot3() { return profile().err_not_implemented; }
int QV_board_::reserved_slot4() { return profile().err_not_implemented; }
int QV_board_::reserved_slot7() { return profile().err_not_implemented; }

QV_demo_board_::QV_demo_board_(std::unique_ptr<UsbPort> handle, const LinkProfile& profile)
    : QV_board_(std::move(handle), profile) {}

QV_demo_board_::~QV_demo_board_() = default;

int QV_demo_board_::reserved_slot5() { return profile().err_not_implemented; }
int QV_demo_board_::reserved_slot6() { return profile().err_not_implemented; }

std::unique_ptr<QV_demo_board_> create_board_on(std::unique_ptr<UsbPort> port, const char* hex_path,
                                                const LinkProfile& profile, std::string* error) {
    if (error) error->clear();
    if (!port) return nullptr;
    if (load_firmware(hex_path, *port, error) != 0) {
        port->close();
        return nullptr;
    }
    return std::make_unique<QV_demo_board_>(std::move(port), profile);
}
