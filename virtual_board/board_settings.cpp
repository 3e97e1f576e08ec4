#include "board_settings.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

namespace vboard {

namespace {

// A number of seconds: finite and >= 0, else `fallback`.
double seconds_or(const char* text, double fallback) {
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text || *end != '\0' || !std::isfinite(v) || v < 0.0) return fallback;
    return v;
}

}  // namespace

BoardSettings settings_from_environment() {
    BoardSettings s;
    if (const char* p = std::getenv("QV_VIRTUAL_PATTERN")) {
        if (std::strcmp(p, "counter") == 0) s.chip.pattern = Pattern::counter;
        if (std::strcmp(p, "tone") == 0) s.chip.pattern = Pattern::tone;
    }
    if (const char* p = std::getenv("QV_VIRTUAL_CLOCK_HZ")) {
        const double hz = std::strtod(p, nullptr);
        if (hz > 0.0 && std::isfinite(hz)) s.chip.clock_hz = hz;
    }
    if (const char* p = std::getenv("QV_VIRTUAL_PPM")) s.chip.ppm = std::strtod(p, nullptr);
    if (const char* p = std::getenv("QV_VIRTUAL_SCENE")) s.chip.scene_path = p;
    if (const char* p = std::getenv("QV_VIRTUAL_TRACE")) s.trace_path = p;
    if (const char* p = std::getenv("QV_VIRTUAL_UNPLUG_AFTER"))
        s.unplug_after_s = seconds_or(p, -1.0);
    if (const char* p = std::getenv("QV_VIRTUAL_REPLUG_AFTER"))
        s.replug_after_s = seconds_or(p, -1.0);
    if (const char* p = std::getenv("QV_VIRTUAL_DENY_OPEN")) s.deny_open = std::strcmp(p, "1") == 0;
    return s;
}

}  // namespace vboard
