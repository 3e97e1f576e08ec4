#include "band_scan.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <thread>

#include "receiver.h"

namespace qvradio {
namespace {

constexpr double kPi = 3.14159265358979323846;
constexpr int kN = radio_dsp::kBlockFrames;  // spectrum points, one per block
// The receiver's pass band (the channel filter is flat to 80 kHz) and the
// windows around a carrier.
constexpr double kChannelHz = 95e3;
constexpr double kNearHz = 50e3;   // where a broadcast carrier's power lies
constexpr double kLevelHz = 80e3;  // what its level sums (full deviation too)
constexpr double kSideHz = 30e3;   // the halves compared for balance
// Detection.
constexpr double kMinSnrDb = 15.0;
constexpr double kMinCentred = 0.5;
constexpr double kMaxBalanceDb = 6.0;
constexpr double kSlackHz = 10e3;
// Broadcast stations lie at least 100 kHz apart: two carriers nearer than
// this are one, or one and the skirt of a station beside the channel.
constexpr double kSameHz = 90e3;
// Blocks dropped after a retune (what was on its way: the board's FIFO, the
// transfer in flight) and blocks measured.
constexpr int kSettleBlocks = 2;
constexpr int kMeasureBlocks = 3;
constexpr double kBlockTimeoutS = 2.0;

}  // namespace

ChannelProbe::ChannelProbe(double input_rate_hz)
    : rate_hz_(input_rate_hz),
      pilot_(input_rate_hz),
      spectrum_input_(new std::complex<double>[kN]),
      power_sum_(kN, 0.0) {
    spectrum_.row_length = kN;
    spectrum_.rows = 1;
    spectrum_.N = kN;
    spectrum_.segments = 1;
    spectrum_.window = radio_dsp::blackman_window;
    for (int n = 0; n < kN; ++n) window_power_ += std::pow(radio_dsp::blackman_window(n, kN), 2);
}

void ChannelProbe::reset() {
    std::fill(power_sum_.begin(), power_sum_.end(), 0.0);
    mpx_sum_ = 0;
    blocks_ = 0;
    pilot_.reset();
}

void ChannelProbe::add_block(const int16_t* iq) {
    // Blocks fill the ring in whole blocks from 0, so each is contiguous.
    const uint16_t first = ring_.write_index;
    discriminator_.demodulate_block(iq, ring_, nullptr, false, spectrum_input_.get());
    const float* mpx = ring_.window(first);
    for (int k = 0; k < kN; ++k) mpx_sum_ += mpx[k];
    pilot_.process(mpx, kN, nullptr);
    if (spectrum_.compute(spectrum_input_.get()) == 0) {
        const double* p = spectrum_.result();
        for (int k = 0; k < kN; ++k) power_sum_[k] += p[k];
    }
    ++blocks_;
}

ScanStep ChannelProbe::result(double tuned_hz) {
    ScanStep s;
    s.tuned_hz = tuned_hz;
    if (blocks_ == 0) return s;
    // Power per bin, full scale 32767^2; bin k at (k - N/2) fs / N.
    const double bin_hz = rate_hz_ / kN;
    const double scale = 1.0 / (blocks_ * kN * window_power_);
    auto freq = [&](int k) { return (k - kN / 2) * bin_hz; };
    // The mean phase step is the strongest carrier's baseband frequency,
    // which the inverted channel puts at minus its offset.
    const double baseband = mpx_sum_ / (blocks_ * kN) * rate_hz_ / (2 * kPi);
    s.offset_hz = -baseband;

    std::vector<double> channel;
    for (int k = 0; k < kN; ++k)
        if (std::fabs(freq(k)) <= kChannelHz) channel.push_back(power_sum_[k] * scale);
    // The noise floor: the fifth quietest of the channel's bins. A carrier
    // covers at most two thirds of them; an average of a few spectra has its
    // 20th percentile at some two thirds of its mean.
    std::nth_element(channel.begin(), channel.begin() + channel.size() / 5, channel.end());
    const double noise = channel[channel.size() / 5] * 1.5;
    double all = 0, near = 0, level = 0, above = 0, below = 0;
    int near_bins = 0, level_bins = 0;
    for (int k = 0; k < kN; ++k) {
        const double f = freq(k), p = power_sum_[k] * scale;
        if (std::fabs(f) > kChannelHz) continue;
        all += p - noise;
        if (std::fabs(f - baseband) <= kNearHz) near += p, ++near_bins;
        if (std::fabs(f - baseband) <= kLevelHz) level += p, ++level_bins;
        if (f > baseband && f - baseband <= kSideHz) above += p;
        if (f < baseband && baseband - f <= kSideHz) below += p;
    }
    s.balance_db = 10 * std::log10(std::max(above, 1e-30) / std::max(below, 1e-30));
    const double near_noise = noise * std::max(near_bins, 1);
    s.snr_db = 10 * std::log10(std::max(near - near_noise, 1e-30) / near_noise);
    s.centred = all > 0 ? std::clamp((near - near_noise) / all, 0.0, 1.0) : 0.0;
    const double carrier = level - noise * level_bins;
    s.level_dbfs = carrier > 0 ? 10 * std::log10(carrier / (32767.0 * 32767.0)) : -200.0;
    s.pilot = pilot_.locked();
    return s;
}

std::vector<Carrier> find_carriers(const std::vector<ScanStep>& steps, double step_hz) {
    std::vector<Carrier> found;
    for (const ScanStep& s : steps) {
        if (s.snr_db < kMinSnrDb || s.centred < kMinCentred) continue;
        if (std::fabs(s.balance_db) > kMaxBalanceDb) continue;
        if (std::fabs(s.offset_hz) > step_hz / 2 + kSlackHz) continue;
        Carrier c;
        c.frequency_hz = s.tuned_hz + s.offset_hz;
        c.level_dbfs = s.level_dbfs;
        c.offset_hz = s.offset_hz;
        c.stereo = s.pilot;
        found.push_back(c);
    }
    std::sort(found.begin(), found.end(),
              [](const Carrier& a, const Carrier& b) { return a.frequency_hz < b.frequency_hz; });
    std::vector<Carrier> merged;
    for (const Carrier& c : found) {
        if (!merged.empty() && c.frequency_hz - merged.back().frequency_hz < kSameHz) {
            if (std::fabs(c.offset_hz) < std::fabs(merged.back().offset_hz)) merged.back() = c;
            continue;
        }
        merged.push_back(c);
    }
    return merged;
}

std::vector<double> folds_within(double from_hz, double to_hz, double clock_hz) {
    std::vector<double> folds;
    const double half = clock_hz / 2;
    for (double f = std::ceil(from_hz / half) * half; f <= to_hz; f += half) folds.push_back(f);
    return folds;
}

int scan_band(Receiver& receiver, double from_hz, double to_hz, double step_hz,
              std::vector<ScanStep>* steps, const std::function<void(double)>& progress,
              const std::function<bool()>& stop, std::string* error) {
    QV_demo_board_& board = *receiver.board();
    ChannelProbe probe(receiver.input_rate_hz());
    std::vector<int16_t> block(2 * kN);
    auto read_block = [&]() {
        const auto end =
            std::chrono::steady_clock::now() + std::chrono::duration<double>(kBlockTimeoutS);
        while (board.samples_available() < kN) {
            if (board.device_lost()) {
                *error = Receiver::kBoardGone;
                return qv::kErrDeviceLost;
            }
            if (std::chrono::steady_clock::now() >= end) {
                *error = "The board's sample stream stopped.";
                return -ETIMEDOUT;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return board.read_stream(0, radio_dsp::kBlockBytes, block.data());
    };
    const int count = static_cast<int>(std::floor((to_hz - from_hz) / step_hz + 1e-9)) + 1;
    for (int i = 0; i < count && !stop(); ++i) {
        const double f = from_hz + i * step_hz;
        if (progress) progress(f);
        receiver.tune(f);
        // Everything queued now left the chip before the new tuning.
        while (board.samples_available() >= kN)
            if (int rc = read_block(); rc < 0) return rc;
        for (int b = 0; b < kSettleBlocks; ++b)
            if (int rc = read_block(); rc < 0) return rc;
        probe.reset();
        for (int b = 0; b < kMeasureBlocks; ++b) {
            if (int rc = read_block(); rc < 0) return rc;
            probe.add_block(block.data());
        }
        steps->push_back(probe.result(f));
    }
    return 0;
}

}  // namespace qvradio
