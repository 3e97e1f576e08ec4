#include "rate_plans.h"

#include <cmath>

namespace qv01soapy {

const std::vector<RatePlan> kRatePlans = {
    {648, "iq_101k85.ini"}, {324, "iq_203k7.ini"}, {264, "iq_250k.ini"},
    {132, "iq_500k.ini"},   {64, "iq_1M031.ini"},
};

double plan_rate(const RatePlan& plan, double clock_hz) { return clock_hz / plan.decimation; }

int nearest_plan(double rate_hz, double clock_hz) {
    int best = kDefaultPlan;
    double best_distance = INFINITY;
    for (size_t i = 0; i < kRatePlans.size(); ++i) {
        // Compared as ratios: 10 % above 100 kHz is as near as 10 % above 1 MHz.
        const double distance = std::fabs(std::log(rate_hz / plan_rate(kRatePlans[i], clock_hz)));
        if (distance < best_distance) {
            best_distance = distance;
            best = static_cast<int>(i);
        }
    }
    return best;
}

}  // namespace qv01soapy
