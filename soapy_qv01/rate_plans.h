// The sample rates the driver offers: one chip configuration each
// (config/iq_<rate>.ini, designed by tools/design_dfir.py), named by its rate
// at the 66 MHz chip clock. At another clock every rate scales with it.
#pragma once

#include <string>
#include <vector>

namespace qv01soapy {

struct RatePlan {
    int decimation;      // chip clock / output rate
    const char* config;  // configuration file in the configuration directory
};

// Ascending rate: 101.85 kHz, 203.7 kHz, 250 kHz, 500 kHz, 1.03125 MHz at 66 MHz.
extern const std::vector<RatePlan> kRatePlans;

// Index of the plan used when nothing else was asked for: 203.7 kHz, the
// rate of the FM receive chain.
constexpr int kDefaultPlan = 1;

// Each configuration's pass band is flat (within 0.5 dB, the CIC droop
// included) over this fraction of its rate, centred on 0 Hz; what folds into
// it is at least 60 dB down.
constexpr double kFlatFraction = 0.8;

// Output rate of `plan` at `clock_hz`.
double plan_rate(const RatePlan& plan, double clock_hz);

// Index of the plan whose rate lies nearest `rate_hz` at `clock_hz`.
int nearest_plan(double rate_hz, double clock_hz);

}  // namespace qv01soapy
