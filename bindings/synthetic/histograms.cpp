// Histograms of the synthetic sensor: each zone's ambient floor with its peaks added, and photon
// noise.
#include "kernels.hpp"

#include <algorithm>
#include <cmath>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::synthetic {

namespace {

// A zone's counts: `level` with its noise, rounded and clipped at 0 (in that order, the same as
// the other way round). Counts stay far below 2^31 (16 saturated peaks at most), so the signed
// conversion, which vectorises, is exact.
void count_bins(const float* __restrict noise, const double* __restrict level,
                std::uint32_t* __restrict counts) {
    for (std::size_t bin = 0; bin < bins; ++bin) {
        const double value = double(noise[bin]) * std::sqrt(level[bin]) + level[bin];
        counts[bin] = static_cast<std::uint32_t>(std::max(static_cast<std::int32_t>(rounded(value)), 0));
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
// `seen_peaks`, times each peak's height), with Poisson noise in its normal approximation
// drawn zone after zone from each sub-frame's generator, clipped at 0 and rounded half to even.
// Peaks must come sorted by zone, a zone's in the order they add up.
void histograms(const py::list& generators, const input<double>& ambient,
                const input<std::int64_t>& zone, const input<double>& height,
                const input<std::int64_t>& bounds, const input<double>& gaussians,
                py::array_t<std::uint32_t, py::array::c_style> out) {
    const auto subs = generators.size();
    if (ambient.size() != py::ssize_t(subs * zones) || out.size() != py::ssize_t(subs * zones * bins)) {
        throw std::invalid_argument("ambient and out: one value per zone, and per bin, of each sub-frame");
    }
    const auto count = zone.size();
    check_length(height, count, "height");
    check_length(bounds, 2 * count, "bounds");
    const auto states = bit_generators(generators);
    auto z = zone.unchecked<1>();
    auto h = height.unchecked<1>();
    const std::int64_t* span = bounds.data();
    const double* gaussian = gaussians.data();
    const double* gaussian_end = gaussian + gaussians.size();
    const double* level_of = ambient.data();
    std::uint32_t* counts = out.mutable_data();
    double level[bins];
    float noise[bins];
    py::ssize_t peak = 0;
    for (std::size_t flat = 0; flat < subs * zones; ++flat) {
        std::fill(level, level + bins, level_of[flat]);
        if (peak < count && z(peak) < std::int64_t(flat)) {
            throw std::invalid_argument("peaks not sorted by zone");
        }
        for (; peak < count && z(peak) == std::int64_t(flat); ++peak) {
            const auto low = span[2 * peak], high = span[2 * peak + 1];
            if (low < 0 || high > std::int64_t(bins) || gaussian + std::max<std::int64_t>(0, high - low) > gaussian_end) {
                throw std::invalid_argument("peak bounds outside the histogram");
            }
            for (auto bin = low; bin < high; ++bin) {
                level[bin] += *gaussian++ * h(peak);
            }
        }
        random_standard_normal_fill_f(states[flat / zones], bins, noise);
        count_bins(noise, level, counts + flat * bins);
    }
    if (peak != count) {
        throw std::invalid_argument("peaks not sorted by zone");
    }
}

bitgen_t* bit_generator(const py::handle& generator) {
    py::object capsule = generator.attr("bit_generator").attr("capsule");
    auto* state = static_cast<bitgen_t*>(PyCapsule_GetPointer(capsule.ptr(), "BitGenerator"));
    if (state == nullptr) {
        throw py::error_already_set();
    }
    return state;
}

std::vector<bitgen_t*> bit_generators(const py::list& generators) {
    std::vector<bitgen_t*> states;
    for (const auto& generator : generators) {
        states.push_back(bit_generator(generator));
    }
    return states;
}

}  // namespace vorlake::tessaro::synthetic
