#include "support/reference_merge.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <vector>

namespace vorlake::tessaro::test_support {

namespace {

struct candidate {
    float key = 0, radial = 0, cartesian = 0, height = 0;
    peak_status status{};
    point3f point{};
    bool second = false, valid = false, selected = false;
};

void merge_pixel(frame_buffer& f, std::uint32_t i, std::uint32_t n, const dual_depth_params& params) {
    const std::uint32_t echoes = f.max_depth_index, count = 2 * echoes;
    std::vector<candidate> c(count);
    std::uint32_t valid_count = 0, selected_count = 0;
    for (std::uint32_t k = 0; k < count; ++k) {
        const std::uint32_t e = k / 2, at = k % 2 == 0 ? i : n + i;
        const float d = f.radial_depth[e][at];
        c[k] = {d, d, f.cartesian_depth[e][at], f.peak_height[e][at], f.peak_status[e][at], f.point_cloud[e][at],
                k % 2 == 1, d > 0};
        c[k].selected = c[k].valid && (c[k].second ? d < params.select_near || d > params.select_far
                                                   : params.select_near < d && d < params.select_far);
        valid_count += c[k].valid;
        selected_count += c[k].selected;
    }
    // Selection sort: each place takes the first of the smallest keys still unplaced, by a swap.
    for (std::uint32_t p = 0; p + 1 < count; ++p)
        std::swap(c[p], *std::min_element(c.begin() + p, c.end(), [](auto& x, auto& y) { return x.key < y.key; }));
    for (auto& a : c) {
        for (auto& b : c) {
            if (&a == &b || !a.valid || !b.valid || a.second == b.second ||
                !(std::fabs(a.key - b.key) < params.merge_window))
                continue;
            --valid_count;
            selected_count -= a.selected && b.selected;
            candidate& gone = a.selected != b.selected ? (a.selected ? b : a) : (a.second ? b : a);
            gone = {.key = gone.key, .second = gone.second};
        }
    }
    std::uint32_t chosen = valid_count <= echoes ? valid_count : selected_count;
    auto add_from_the_top = [&](auto wanted) {
        for (std::uint32_t p = count; p-- > 0 && chosen < echoes;)
            if (wanted(c[p]))
                c[p].selected = true, ++chosen;
    };
    if (valid_count <= echoes) {
        for (auto& x : c)
            x.selected = x.valid;
        add_from_the_top([](const candidate& x) { return !x.valid && x.second; });
    } else if (selected_count < echoes) {
        add_from_the_top([](const candidate& x) { return x.valid && !x.selected && x.second; });
        add_from_the_top([](const candidate& x) { return x.valid && !x.selected && !x.second; });
    } else {
        std::uint32_t kept = 0;
        for (const auto& x : c)
            kept += x.selected && x.second;
        for (std::uint32_t p = count; p-- > 0;)
            if (c[p].selected && !c[p].second)
                c[p].selected = kept++ < echoes;
    }
    // Nearest first, then the empty results; a radial depth that is not a number counts as empty.
    std::uint32_t slot = 0;
    for (const bool found : {true, false}) {
        for (const auto& x : c) {
            if (!x.selected || (x.radial > 0) != found || slot == echoes)
                continue;
            f.radial_depth[slot][i] = x.radial;
            f.cartesian_depth[slot][i] = x.cartesian;
            f.peak_height[slot][i] = x.height;
            f.peak_status[slot][i] = x.status;
            f.point_cloud[slot++][i] = x.point;
        }
    }
}

}  // namespace

void reference_merge(frame_buffer& f, std::uint32_t n, const dual_depth_params& params) {
    for (std::uint32_t i = 0; i < n; ++i)
        merge_pixel(f, i, n, params);
    auto keep_first = [n](auto&... outputs) { (outputs.resize(n), ...); };
    for (std::uint32_t e = 0; e < f.max_depth_index; ++e)
        keep_first(f.point_cloud[e], f.cartesian_depth[e], f.radial_depth[e], f.peak_height[e], f.peak_status[e]);
}

}  // namespace vorlake::tessaro::test_support
