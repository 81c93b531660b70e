// The echoes each zone of the synthetic sensor reports: its three strongest peaks, nearest first,
// with depth noise, on the sensor's quarter-unit grid.
#include "kernels.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::synthetic {

namespace {

// The peak status codes the model writes. The library gives them no meaning; these are guesses.
constexpr std::uint8_t status_none = 0, status_valid = 1, status_weak = 2, status_saturated = 3;

float quarters(double value) {
    return static_cast<float>(rounded(value * 4) / 4);
}

void check_size(const py::array& array, std::size_t size, const char* name) {
    if (array.size() != py::ssize_t(size)) {
        throw std::invalid_argument(std::string(name) + ": " + std::to_string(array.size()) +
                                    " values, not " + std::to_string(size));
    }
}

// The indices of the three highest of `height`, the first of equal ones first (as a stable sort
// by descending height).
std::array<std::size_t, echoes> strongest(const double* height) {
    std::array<std::size_t, echoes> top{};
    std::size_t found = 0;
    for (std::size_t target = 0; target < targets; ++target) {
        std::size_t at = found;
        while (at > 0 && height[top[at - 1]] < height[target]) {
            --at;
        }
        if (at < echoes) {
            for (std::size_t move = std::min(found, echoes - 1); move > at; --move) {
                top[move] = top[move - 1];
            }
            top[at] = target;
            found = std::min(found + 1, echoes);
        }
    }
    return top;
}

}  // namespace

// Per sub-frame, echo slot and zone: radial depth, points (with `rays`, a unit ray per zone),
// peak height and status; and per sub-frame and zone the noise level of its `ambient` floor.
// Returns are the `seen` groups of each zone's hits; their depth noise is
// drawn from each sub-frame's generator, a zone's three after the other's.
py::tuple reported_echoes(const py::list& generators, const input<bool>& seen,
                          const input<double>& height, const input<double>& measured,
                          const input<double>& distance, const input<double>& ambient,
                          const std::vector<double>& bin_mm, double saturation, double sigmas,
                          const input<double>& rays) {
    const auto states = bit_generators(generators);
    const std::size_t subs = states.size();
    check_size(seen, subs * zones * targets, "seen");
    check_size(height, subs * zones * targets, "height");
    check_size(measured, subs * zones * targets, "measured");
    check_size(distance, zones * targets, "distance");
    check_size(ambient, subs * zones, "ambient");
    check_size(rays, zones * 3, "rays");
    if (bin_mm.size() != subs) {
        throw std::invalid_argument("bin_mm: one value per sub-frame");
    }
    const auto shape =
        std::vector<py::ssize_t>{py::ssize_t(subs), py::ssize_t(echoes), py::ssize_t(zones)};
    py::array_t<float> radial(shape), peak(shape);
    py::array_t<float> points(
        {py::ssize_t(subs), py::ssize_t(echoes), py::ssize_t(zones), py::ssize_t{3}});
    py::array_t<std::uint8_t> status(shape);
    py::array_t<float> noise_level({py::ssize_t(subs), py::ssize_t(zones)});
    const bool* is_seen = seen.data();
    const double *heights = height.data(), *strengths = measured.data(), *ranges = distance.data();
    const double *floor = ambient.data(), *ray = rays.data();
    float *radial_out = radial.mutable_data(), *peak_out = peak.mutable_data();
    float* points_out = points.mutable_data();
    std::uint8_t* status_out = status.mutable_data();
    float* noise_level_out = noise_level.mutable_data();
    std::vector<double> noise(zones * echoes);
    for (std::size_t sub = 0; sub < subs; ++sub) {
        random_standard_normal_fill(states[sub], npy_intp(noise.size()), noise.data());
        for (std::size_t zone = 0; zone < zones; ++zone) {
            const std::size_t first = (sub * zones + zone) * targets;
            // Under twice the detection threshold a return is weak.
            const double noise_floor = std::sqrt(floor[sub * zones + zone]);
            const double weak = 2 * (sigmas * noise_floor);
            noise_level_out[sub * zones + zone] = quarters(noise_floor);
            const auto top = strongest(heights + first);
            std::array<double, echoes> nearness{};
            std::array<std::size_t, echoes> order{};
            for (std::size_t k = 0; k < echoes; ++k) {
                nearness[k] = is_seen[first + top[k]] ? ranges[zone * targets + top[k]]
                                                      : std::numeric_limits<double>::infinity();
                order[k] = k;
            }
            std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
                return nearness[a] < nearness[b];
            });
            for (std::size_t slot = 0; slot < echoes; ++slot) {
                const std::size_t target = top[order[slot]];
                const bool reported = is_seen[first + target];
                const std::size_t out = (sub * echoes + slot) * zones + zone;
                const double clipped = std::min(std::max(noise[zone * echoes + slot], -3.0), 3.0);
                const double depth_noise = clipped * 0.05 * bin_mm[sub];
                radial_out[out] = reported ? quarters(ranges[zone * targets + target] + depth_noise)
                                           : quarters(0.0);
                const double value = reported ? heights[first + target] : 0.0;
                const double strength = reported ? strengths[first + target] : 0.0;
                // The first of none, saturated and weak that holds, else valid.
                std::uint8_t code = status_valid;
                if (strength < weak) code = status_weak;
                if (strength >= saturation) code = status_saturated;
                if (value == 0) code = status_none;
                status_out[out] = code;
                peak_out[out] = quarters(value);
                for (std::size_t axis = 0; axis < 3; ++axis) {
                    points_out[out * 3 + axis] =
                        quarters(double(radial_out[out]) * ray[zone * 3 + axis]);
                }
            }
        }
    }
    return py::make_tuple(radial, points, peak, status, noise_level);
}

}  // namespace vorlake::tessaro::synthetic
