#include "processing/dual_depth_select_nearfar.hpp"

#include <cerrno>
#include <cmath>
#include <iostream>
#include <utility>

namespace vorlake::tessaro {

namespace {

void write_line(const char* text) {
    std::cout << text << '\n' << std::flush;
}

}  // namespace

dual_depth_select_nearfar::dual_depth_select_nearfar(std::uint32_t pixel_count,
                                                     const dual_depth_params& params)
    : params(params), pixel_count(pixel_count) {}

// Every vector the merge reads or writes is checked before any pixel is touched, peak status
// included: a frame that was not prepared is refused, never read or written out of bounds.
bool dual_depth_select_nearfar::check_sizes(const frame_buffer& f) const {
    const std::size_t both = 2 * std::size_t{pixel_count};
    if (f.point_cloud.size() < echo_count || f.cartesian_depth.size() < echo_count ||
        f.radial_depth.size() < echo_count || f.peak_height.size() < echo_count ||
        f.peak_status.size() < echo_count) {
        write_line("dual depth: invalid number of echoes");
        return false;
    }
    for (std::uint32_t e = 0; e < echo_count; ++e) {
        const char* failure = nullptr;
        if (f.point_cloud[e].size() != both)
            failure = "dual depth: invalid size for point cloud";
        else if (f.cartesian_depth[e].size() != both)
            failure = "dual depth: invalid size for cartesian depth: ";
        else if (f.radial_depth[e].size() != both)
            failure = "dual depth: invalid size for radial depth: ";
        else if (f.peak_height[e].size() != both)
            failure = "dual depth: invalid size for peak_height";
        else if (e == 0 && f.peak_status[e].size() != both)
            failure = "dual depth: invalid size for peak_status";
        else if (e > 0 && f.radial_depth[e].size() != f.radial_depth[0].size())
            failure = "dual depth: non-uniform radial_depth";
        else if (e > 0 && f.point_cloud[e].size() != f.point_cloud[0].size())
            failure = "dual depth: non-uniform point_cloud";
        else if (e > 0 && f.peak_height[e].size() != f.peak_height[0].size())
            failure = "dual depth: non-uniform peak_height";
        else if (e > 0 && f.peak_status[e].size() != f.peak_status[0].size())
            failure = "dual depth: non-uniform peak_status";
        if (failure != nullptr) {
            write_line(failure);
            return false;
        }
    }
    return true;
}

int dual_depth_select_nearfar::process(frame_buffer& f) {
    echo_count = f.max_depth_index;
    if (echo_count > max_echoes) {
        write_line("dual depth: invalid number of echoes");
        return -EINVAL;
    }
    if (echo_count == 0)
        return 0;
    if (!check_sizes(f))
        return -EINVAL;

    std::array<echo_outputs, max_echoes> outputs{};
    for (std::uint32_t e = 0; e < echo_count; ++e)
        outputs[e] = {f.radial_depth[e].data(), f.cartesian_depth[e].data(), f.peak_height[e].data(),
                      f.peak_status[e].data(), f.point_cloud[e].data()};
    // The candidate loops are unrolled per echo count.
    switch (echo_count) {
        case 1: process_pixels<1>(outputs); break;
        case 2: process_pixels<2>(outputs); break;
        default: process_pixels<3>(outputs); break;
    }
    for (std::uint32_t e = 0; e < echo_count; ++e) {
        // Shrinking keeps the storage, so the growth of the next prepare_frame costs nothing.
        f.point_cloud[e].resize(pixel_count);
        f.cartesian_depth[e].resize(pixel_count);
        f.radial_depth[e].resize(pixel_count);
        f.peak_height[e].resize(pixel_count);
        f.peak_status[e].resize(pixel_count);
    }
    return 0;
}

// Per pixel there are 2E candidates, k = 2 * echo + sub-frame; their scratch lives in fixed
// arrays on the stack, where the compiler can keep it in registers. Candidates never move: the
// sort yields the order of their indices, exactly the order a selection sort over the whole
// candidates would leave, equal keys included.
template <std::uint32_t E>
void dual_depth_select_nearfar::process_pixels(const std::array<echo_outputs, max_echoes>& outputs) const {
    constexpr std::uint32_t C = 2 * E;
    const float near = params.select_near;
    const float far = params.select_far;
    const float window = params.merge_window;

    for (std::uint32_t i = 0; i < pixel_count; ++i) {
        float key[C];
        float radial[C];
        float cartesian[C];
        float height[C];
        peak_status status[C];
        point3f point[C];
        bool second[C];
        bool valid[C];
        bool selected[C];
        std::uint32_t valid_count = 0;
        std::uint32_t selected_count = 0;

        // Gather, and preselect by band: the first sub-frame is trusted inside the band, the
        // second outside it. Limits select neither.
#pragma GCC unroll 3
        for (std::uint32_t e = 0; e < E; ++e) {
            const echo_outputs& out = outputs[e];
            for (std::uint32_t s = 0; s < 2; ++s) {
                const std::uint32_t k = 2 * e + s;
                const std::size_t index = s == 0 ? i : std::size_t{pixel_count} + i;
                const float depth = out.radial[index];
                key[k] = depth;
                radial[k] = depth;
                cartesian[k] = out.cartesian[index];
                height[k] = out.height[index];
                status[k] = out.status[index];
                point[k] = out.point[index];
                second[k] = s == 1;
                valid[k] = depth > 0.0f;
                // Bitwise rather than short-circuit: the depths are not predictable.
                const bool in_band = (near < depth) & (depth < far);
                const bool beyond_band = (depth < near) | (depth > far);
                selected[k] = valid[k] & (s == 0 ? in_band : beyond_band);
                valid_count += valid[k];
                selected_count += selected[k];
            }
        }

        // Sort the positions by key. With all keys distinct the selection sort's result is
        // simply each candidate's rank, which is found without a chain of dependent swaps. Equal
        // (or unordered) keys are common, since every missing return has key 0, and there the
        // selection sort's own swaps decide the order, so it is run as such.
        std::uint32_t at[C];
        std::uint32_t rank[C] = {};
        bool tie = false;
#pragma GCC unroll 6
        for (std::uint32_t a = 0; a < C; ++a) {
#pragma GCC unroll 6
            for (std::uint32_t b = a + 1; b < C; ++b) {
                const bool below = key[b] < key[a];
                const bool above = key[a] < key[b];
                rank[a] += below;
                rank[b] += above;
                tie |= !(below | above);
            }
        }
        if (!tie) {
#pragma GCC unroll 6
            for (std::uint32_t k = 0; k < C; ++k)
                at[rank[k]] = k;
        } else {
            float sorted_key[C];
            for (std::uint32_t p = 0; p < C; ++p) {
                at[p] = p;
                sorted_key[p] = key[p];
            }
            for (std::uint32_t p = 0; p + 1 < C; ++p) {
                std::uint32_t q = p;
                float smallest = sorted_key[p];
                for (std::uint32_t r = p + 1; r < C; ++r) {
                    const bool smaller = sorted_key[r] < smallest;
                    q = smaller ? r : q;
                    smallest = smaller ? sorted_key[r] : smallest;
                }
                std::swap(at[p], at[q]);
                std::swap(sorted_key[p], sorted_key[q]);
            }
        }

        // Drop near-duplicates seen by both sub-frames. Every pair is met twice, but once a pair
        // has been looked at it can never qualify again (one of them is dropped, or nothing that
        // made it fail changes), so each unordered pair is looked at once, in the same order.
        auto drop = [&](std::uint32_t k) {
            valid[k] = false;
            selected[k] = false;
            radial[k] = 0.0f;
            cartesian[k] = 0.0f;
            height[k] = 0.0f;
            status[k] = peak_status{0};
            point[k] = point3f{};
        };
#pragma GCC unroll 6
        for (std::uint32_t pa = 0; pa < C; ++pa) {
#pragma GCC unroll 6
            for (std::uint32_t pb = pa + 1; pb < C; ++pb) {
                const std::uint32_t a = at[pa];
                const std::uint32_t b = at[pb];
                const bool duplicate = valid[a] & valid[b] & (second[a] != second[b]) &
                                       (std::fabs(key[a] - key[b]) < window);
                if (!duplicate)
                    continue;
                --valid_count;
                if (selected[a] != selected[b]) {
                    drop(selected[a] ? b : a);
                } else {
                    if (selected[a])
                        --selected_count;
                    drop(second[a] ? b : a);
                }
            }
        }

        // Choose exactly E candidates; scans run from the far end of the sorted order.
        if (valid_count == E) {
            for (std::uint32_t k = 0; k < C; ++k)
                selected[k] = valid[k];
        } else if (valid_count < E) {
            std::uint32_t chosen = 0;
            for (std::uint32_t k = 0; k < C; ++k) {
                selected[k] = valid[k];
                chosen += valid[k];
            }
            for (std::uint32_t p = C; p-- > 0 && chosen < E;) {
                const std::uint32_t k = at[p];
                if (!valid[k] && second[k]) {
                    selected[k] = true;
                    ++chosen;
                }
            }
        } else if (selected_count < E) {
            std::uint32_t chosen = selected_count;
            for (int pass_second = 1; pass_second >= 0; --pass_second) {
                for (std::uint32_t p = C; p-- > 0 && chosen < E;) {
                    const std::uint32_t k = at[p];
                    if (valid[k] && !selected[k] && second[k] == (pass_second == 1)) {
                        selected[k] = true;
                        ++chosen;
                    }
                }
            }
        } else if (selected_count > E) {
            std::uint32_t kept = 0;
            for (std::uint32_t k = 0; k < C; ++k)
                kept += selected[k] && second[k];
            for (std::uint32_t p = C; p-- > 0;) {
                const std::uint32_t k = at[p];
                if (!selected[k] || second[k])
                    continue;
                if (kept < E)
                    ++kept;
                else
                    selected[k] = false;
            }
        }

        // Write: nearest results first, then the empty ones, whichever echo they came from.
        std::uint32_t slot = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (std::uint32_t p = 0; p < C && slot < E; ++p) {
                const std::uint32_t k = at[p];
                if (!selected[k] || (pass == 0) != (radial[k] > 0.0f))
                    continue;
                const echo_outputs& out = outputs[slot];
                out.radial[i] = radial[k];
                out.cartesian[i] = cartesian[k];
                out.height[i] = height[k];
                out.status[i] = status[k];
                out.point[i] = point[k];
                ++slot;
            }
        }
    }
}

}  // namespace vorlake::tessaro
