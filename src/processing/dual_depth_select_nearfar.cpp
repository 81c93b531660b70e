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
    frame = &f;
    echo_count = f.max_depth_index;
    if (echo_count > max_echoes) {
        write_line("dual depth: invalid number of echoes");
        return -EINVAL;
    }
    if (echo_count == 0)
        return 0;
    if (!check_sizes(f))
        return -EINVAL;

    candidate_count = 2 * echo_count;
    // The candidate loops are unrolled per echo count.
    switch (echo_count) {
        case 1: process_pixels<1>(); break;
        case 2: process_pixels<2>(); break;
        default: process_pixels<3>(); break;
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

template <std::uint32_t E>
void dual_depth_select_nearfar::process_pixels() {
    for (std::uint32_t i = 0; i < pixel_count; ++i)
        process_pixel<E>(i);
}

void dual_depth_select_nearfar::swap_candidates(std::uint32_t a, std::uint32_t b) {
    std::swap(key[a], key[b]);
    std::swap(radial[a], radial[b]);
    std::swap(cartesian[a], cartesian[b]);
    std::swap(height[a], height[b]);
    std::swap(status[a], status[b]);
    std::swap(point[a], point[b]);
    std::swap(echo[a], echo[b]);
    std::swap(source[a], source[b]);
    std::swap(valid[a], valid[b]);
    std::swap(selected[a], selected[b]);
}

// A dropped candidate keeps its key (and so its place in the order) but reports nothing.
void dual_depth_select_nearfar::drop(std::uint32_t k) {
    valid[k] = false;
    selected[k] = false;
    radial[k] = 0.0f;
    cartesian[k] = 0.0f;
    height[k] = 0.0f;
    status[k] = 0;
    point[k] = point3f{};
}

template <std::uint32_t E>
void dual_depth_select_nearfar::process_pixel(std::uint32_t i) {
    constexpr std::uint32_t C = 2 * E;
    frame_buffer& f = *frame;
    const float near = params.select_near;
    const float far = params.select_far;

    // Gather, and preselect by band: the first sub-frame is trusted inside the band, the second
    // outside it.
    valid_count = 0;
    selected_count = 0;
    for (std::uint32_t e = 0; e < E; ++e) {
        for (std::uint32_t s = 0; s < 2; ++s) {
            const std::uint32_t k = 2 * e + s;
            const std::uint32_t index = s == 0 ? i : pixel_count + i;
            const float depth = f.radial_depth[e][index];
            key[k] = depth;
            radial[k] = depth;
            cartesian[k] = f.cartesian_depth[e][index];
            height[k] = f.peak_height[e][index];
            status[k] = static_cast<std::uint8_t>(f.peak_status[e][index]);
            point[k] = f.point_cloud[e][index];
            echo[k] = e;
            source[k] = index;
            valid[k] = depth > 0.0f;
            const bool in_band = near < depth && depth < far;
            const bool beyond_band = depth < near || depth > far;
            selected[k] = valid[k] && (s == 0 ? in_band : beyond_band);
            valid_count += valid[k];
            selected_count += selected[k];
        }
    }

    // Selection sort by key; not stable, equal keys may swap.
    for (std::uint32_t p = 0; p + 1 < C; ++p) {
        std::uint32_t q = p;
        for (std::uint32_t r = p + 1; r < C; ++r)
            if (key[r] < key[q])
                q = r;
        if (q != p)
            swap_candidates(p, q);
    }

    // Drop near-duplicates seen by both sub-frames.
    for (std::uint32_t a = 0; a < C; ++a) {
        for (std::uint32_t b = 0; b < C; ++b) {
            if (b == a || !valid[a] || !valid[b] || is_second(a) == is_second(b) ||
                !(std::fabs(key[a] - key[b]) < params.merge_window))
                continue;
            --valid_count;
            if (selected[a] != selected[b]) {
                drop(selected[a] ? b : a);
            } else {
                if (selected[a])
                    --selected_count;
                drop(is_second(a) ? b : a);
            }
        }
    }

    // Choose exactly E candidates.
    if (valid_count == E) {
        for (std::uint32_t k = 0; k < C; ++k)
            selected[k] = valid[k];
    } else if (valid_count < E) {
        std::uint32_t chosen = 0;
        for (std::uint32_t k = 0; k < C; ++k) {
            selected[k] = valid[k];
            chosen += valid[k];
        }
        for (std::uint32_t k = C; k-- > 0 && chosen < E;) {
            if (!valid[k] && !selected[k] && is_second(k)) {
                selected[k] = true;
                ++chosen;
            }
        }
    } else if (selected_count < E) {
        std::uint32_t chosen = selected_count;
        for (std::uint32_t k = C; k-- > 0 && chosen < E;) {
            if (valid[k] && !selected[k] && is_second(k)) {
                selected[k] = true;
                ++chosen;
            }
        }
        for (std::uint32_t k = C; k-- > 0 && chosen < E;) {
            if (valid[k] && !selected[k] && !is_second(k)) {
                selected[k] = true;
                ++chosen;
            }
        }
    } else if (selected_count > E) {
        std::uint32_t kept = 0;
        for (std::uint32_t k = 0; k < C; ++k)
            kept += selected[k] && is_second(k);
        for (std::uint32_t k = C; k-- > 0;) {
            if (!selected[k] || is_second(k))
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
        for (std::uint32_t k = 0; k < C && slot < E; ++k) {
            if (!selected[k] || (pass == 0) != (radial[k] > 0.0f))
                continue;
            f.radial_depth[slot][i] = radial[k];
            f.cartesian_depth[slot][i] = cartesian[k];
            f.peak_height[slot][i] = height[k];
            f.peak_status[slot][i] = static_cast<peak_status>(status[k]);
            f.point_cloud[slot][i] = point[k];
            ++slot;
        }
    }
}

}  // namespace vorlake::tessaro
