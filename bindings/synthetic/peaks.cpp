// The peaks of the synthetic sensor: which groups of hits each sub-frame sees above its noise, and
// the Gaussians they add to the histograms. The one transcendental, exp, is left to the caller's
// numpy between this and the histograms, since numpy's exp may differ from the C library's on
// some CPUs.
#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::synthetic {

namespace {

constexpr double peak_reach = 12.0;  // widths from its centre beyond which a peak adds nothing

void check_size(const py::array& array, std::size_t size, const char* name) {
    if (array.size() != py::ssize_t(size)) {
        throw std::invalid_argument(std::string(name) + ": " + std::to_string(array.size()) +
                                    " values, not " + std::to_string(size));
    }
}

}  // namespace

// Per sub-frame, zone and group of hits (`signal`, `distance`, `spread`: per zone and group): the
// measured signal, with 2 % noise drawn from the sub-frame's generator; whether it is seen (inside
// the sub-frame's range and `sigmas` noise levels above its ambient floor); its peak height,
// saturated at `saturation`. Then the seen peaks, sub-frame, zone and group in order: zone
// (sub-frame * 576 + zone), height, the bins each reaches as (low, high) and the exponents of its
// Gaussian there, peak after peak (a sub-frame whose `whole` is set over every bin).
py::tuple seen_peaks(const py::list& generators, const input<double>& signal,
                     const input<double>& distance, const input<double>& spread,
                     const input<double>& ambient, const std::vector<double>& min_mm,
                     const std::vector<double>& max_mm, const std::vector<double>& bin_mm,
                     const std::vector<bool>& whole, double saturation, double sigmas) {
    const auto states = bit_generators(generators);
    const std::size_t subs = states.size(), per_sub = zones * targets;
    check_size(signal, per_sub, "signal");
    check_size(distance, per_sub, "distance");
    check_size(spread, per_sub, "spread");
    check_size(ambient, subs * zones, "ambient");
    if (min_mm.size() != subs || max_mm.size() != subs || bin_mm.size() != subs ||
        whole.size() != subs) {
        throw std::invalid_argument("min_mm, max_mm, bin_mm and whole: one value per sub-frame");
    }
    const auto shape =
        std::vector<py::ssize_t>{py::ssize_t(subs), py::ssize_t(zones), py::ssize_t(targets)};
    py::array_t<double> measured(shape), height(shape);
    py::array_t<bool> seen(shape);
    double *measured_out = measured.mutable_data(), *height_out = height.mutable_data();
    bool* seen_out = seen.mutable_data();
    const double *signals = signal.data(), *ranges = distance.data(), *spreads = spread.data();
    std::vector<std::int64_t> peak_zone, bounds;
    std::vector<double> peak_height, exponents;
    exponents.reserve(subs * zones * 64);  // a few peaks of a few dozen bins in each zone
    for (std::size_t sub = 0; sub < subs; ++sub) {
        double* draws = measured_out + sub * per_sub;
        random_standard_normal_fill(states[sub], npy_intp(per_sub), draws);
        const double step = bin_mm[sub], width_floor = 0.6 * step;
        for (std::size_t zone = 0; zone < zones; ++zone) {
            const double threshold = sigmas * std::sqrt(ambient.data()[sub * zones + zone]);
            for (std::size_t target = 0; target < targets; ++target) {
                const std::size_t at = zone * targets + target, out = sub * per_sub + at;
                const double value = signals[at] * (1 + 0.02 * draws[at]);
                measured_out[out] = value;
                const bool is_seen = ranges[at] >= min_mm[sub] && ranges[at] <= max_mm[sub] &&
                                     value >= threshold;
                seen_out[out] = is_seen;
                height_out[out] = is_seen ? std::min(value, saturation) : 0.0;
                if (!is_seen) {
                    continue;
                }
                const double width = std::max(width_floor, spreads[at] / 2);
                const double reach = whole[sub] ? double(bins) : peak_reach * width / step + 1;
                const double centre = ranges[at] / step - 0.5;
                const auto low = static_cast<std::int64_t>(
                    std::clamp(std::floor(centre - reach), 0.0, double(bins)));
                const auto high = static_cast<std::int64_t>(
                    std::clamp(std::ceil(centre + reach) + 1, 0.0, double(bins)));
                peak_zone.push_back(std::int64_t(sub * zones + zone));
                peak_height.push_back(height_out[out]);
                bounds.insert(bounds.end(), {low, high});
                for (auto bin = low; bin < high; ++bin) {
                    double exponent = (double(bin) + 0.5) * step - ranges[at];
                    exponent /= width;
                    exponent = exponent * exponent;
                    exponents.push_back(exponent * -0.5);
                }
            }
        }
    }
    const auto count = py::ssize_t(peak_zone.size());
    return py::make_tuple(measured, seen, height,
                          py::array_t<std::int64_t>(count, peak_zone.data()),
                          py::array_t<double>(count, peak_height.data()),
                          py::array_t<std::int64_t>({count, py::ssize_t{2}}, bounds.data()),
                          py::array_t<double>(py::ssize_t(exponents.size()), exponents.data()));
}

}  // namespace vorlake::tessaro::synthetic
