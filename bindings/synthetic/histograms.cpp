// Histograms of the synthetic sensor: each zone's ambient floor with its peaks added, and photon
// noise.
#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::synthetic {

namespace {

// A zone's counts: `level` (whose square root is `root`) with its noise, rounded and clipped at 0
// (in that order, the same as the other way round). Counts stay far below 2^31 (16 saturated
// peaks at most), so the signed conversion, which vectorises, is exact.
void count_bins(const float* __restrict noise, const double* __restrict level,
                const double* __restrict root, std::uint32_t* __restrict counts) {
    for (std::size_t bin = 0; bin < bins; ++bin) {
        const double value = double(noise[bin]) * root[bin] + level[bin];
        const auto whole = static_cast<std::int32_t>(rounded(value));
        counts[bin] = static_cast<std::uint32_t>(std::max(whole, 0));
    }
}

void check_length(const py::array& array, py::ssize_t length, const char* name) {
    if (array.size() != length) {
        throw std::invalid_argument(std::string(name) + ": " + std::to_string(array.size()) +
                                    " values for " + std::to_string(length) + " peaks");
    }
}

}  // namespace

// Photon counts of every bin: the zone's ambient level plus its peaks (`gaussians`: exp of
// `seen_peaks`' exponents, times each peak's height), with Poisson noise in its normal
// approximation drawn zone after zone from each sub-frame's generator, rounded half to even and
// clipped at 0; then, from the same generator, the pdc counters of the sub-frame's zones.
// Peaks must come sorted by zone, a zone's in the order they add up.
void histograms(const py::list& generators, const input<double>& ambient,
                const input<std::int64_t>& zone, const input<double>& height,
                const input<std::int64_t>& bounds, const input<double>& gaussians,
                const input<double>& photons, py::array_t<std::uint32_t, py::array::c_style> out,
                py::array_t<std::uint32_t, py::array::c_style> pdc) {
    const auto states = bit_generators(generators);
    const std::size_t subs = states.size();
    if (ambient.size() != py::ssize_t(subs * zones) ||
        out.size() != py::ssize_t(subs * zones * bins) ||
        photons.size() != py::ssize_t(subs * zones * pdc_channels) ||
        pdc.size() != photons.size()) {
        throw std::invalid_argument(
            "ambient, out, photons and pdc: one value per zone, bin and channel of each sub-frame");
    }
    const auto count = zone.size();
    check_length(height, count, "height");
    check_length(bounds, 2 * count, "bounds");
    auto z = zone.unchecked<1>();
    auto h = height.unchecked<1>();
    const std::int64_t* span = bounds.data();
    const double* gaussian = gaussians.data();
    const double* gaussian_end = gaussian + gaussians.size();
    const double* level_of = ambient.data();
    std::uint32_t* counts = out.mutable_data();
    double level[bins], root[bins];
    float noise[bins];
    std::vector<float> pdc_noise(zones * pdc_channels);
    const double* photon_values = photons.data();
    std::uint32_t* pdc_values = pdc.mutable_data();
    py::ssize_t peak = 0;
    // numpy lets other threads run while it draws; so do these loops, which touch no Python
    // object (the caller holds the arrays, and its Generators are its own).
    py::gil_scoped_release unlocked;
    for (std::size_t sub = 0; sub < subs; ++sub) {
        for (std::size_t flat = sub * zones; flat < (sub + 1) * zones; ++flat) {
            std::fill(level, level + bins, level_of[flat]);
            // Bins no peak reaches share the floor's root.
            std::fill(root, root + bins, std::sqrt(level_of[flat]));
            std::int64_t reached_low = bins, reached_high = 0;
            if (peak < count && z(peak) < std::int64_t(flat)) {
                throw std::invalid_argument("peaks not sorted by zone");
            }
            for (; peak < count && z(peak) == std::int64_t(flat); ++peak) {
                const auto low = span[2 * peak], high = span[2 * peak + 1];
                if (low < 0 || high > std::int64_t(bins) ||
                    gaussian + std::max<std::int64_t>(0, high - low) > gaussian_end) {
                    throw std::invalid_argument("peak bounds outside the histogram");
                }
                for (auto bin = low; bin < high; ++bin) {
                    level[bin] += *gaussian++ * h(peak);
                }
                if (low < high) {
                    reached_low = std::min(reached_low, low);
                    reached_high = std::max(reached_high, high);
                }
            }
            for (auto bin = reached_low; bin < reached_high; ++bin) {
                root[bin] = std::sqrt(level[bin]);
            }
            random_standard_normal_fill_f(states[sub], bins, noise);
            count_bins(noise, level, root, counts + flat * bins);
        }
        // Then the pdc counters: 3 x the zone's signal on each quarter of its SPADs, plus the
        // ambient light of all its bins.
        random_standard_normal_fill_f(states[sub], npy_intp(pdc_noise.size()), pdc_noise.data());
        const double* lit = photon_values + sub * zones * pdc_channels;
        std::uint32_t* pdc_out = pdc_values + sub * zones * pdc_channels;
        for (std::size_t at = 0; at < zones * pdc_channels; ++at) {
            const double ambient_light =
                level_of[sub * zones + at / pdc_channels] * double(bins) / 4;
            const double expected = lit[at] + ambient_light;
            const double value = std::sqrt(expected) * double(pdc_noise[at]) + expected;
            const auto whole = static_cast<std::int64_t>(rounded(value));
            pdc_out[at] = static_cast<std::uint32_t>(std::max<std::int64_t>(whole, 0));
        }
    }
    if (peak != count) {
        throw std::invalid_argument("peaks not sorted by zone");
    }
}

}  // namespace vorlake::tessaro::synthetic
