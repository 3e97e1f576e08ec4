// vboard_control.h: the test and tool API, forwarded to the process's board.
#include "vboard_control.h"
#include "virtual_board.h"

namespace vboard {

void reset() { VirtualBoard::instance().reset(); }
void unplug() { VirtualBoard::instance().unplug(); }
void set_pattern(Pattern p) { VirtualBoard::instance().set_pattern(p); }
Pattern pattern() { return VirtualBoard::instance().pattern(); }
void set_clock_hz(double clock_hz) { VirtualBoard::instance().set_clock_hz(clock_hz); }
int set_trace_file(const std::string& path) {
    return VirtualBoard::instance().set_trace_file(path);
}
Stats stats() { return VirtualBoard::instance().stats(); }
uint16_t chip_register(int addr) { return VirtualBoard::instance().chip_register(addr); }
void stall_next_command() { VirtualBoard::instance().stall_next_command(); }
void stall_next_reply() { VirtualBoard::instance().stall_next_reply(); }
void short_next_reply(size_t bytes) { VirtualBoard::instance().short_next_reply(bytes); }
void delay_next_reply(unsigned ms) { VirtualBoard::instance().delay_next_reply(ms); }
void cut_next_stream_read(size_t bytes) { VirtualBoard::instance().cut_next_stream_read(bytes); }
void deny_open(bool deny) { VirtualBoard::instance().deny_open(deny); }

}  // namespace vboard
