// The merge against a literal, unoptimised rendering of the near/far rules, on many random
// pixels with plenty of ties, band limits and near-duplicates.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <utility>
#include <vector>

#include "processing/dual_depth_selection.hpp"

namespace vorlake::tessaro {
namespace {

// The rules as written: whole candidates are swapped and every ordered pair is visited.
void reference_merge(frame_buffer& f, std::uint32_t n, const dual_depth_params& params) {
    // The other values travel with the radial depth alike; the peak height stands for them.
    struct candidate {
        float key = 0, radial = 0, height = 0;
        bool second = false, valid = false, selected = false;
    };
    const std::uint32_t echoes = f.max_depth_index, count = 2 * echoes;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::vector<candidate> c(count);
        std::uint32_t valid_count = 0, selected_count = 0;
        for (std::uint32_t k = 0; k < count; ++k) {
            const std::uint32_t e = k / 2, at = k % 2 == 0 ? i : n + i;
            const float d = f.radial_depth[e][at];
            c[k] = {d, d, f.peak_height[e][at], k % 2 == 1, d > 0};
            c[k].selected = c[k].valid && (c[k].second ? d < params.select_near || d > params.select_far
                                                       : params.select_near < d && d < params.select_far);
            valid_count += c[k].valid;
            selected_count += c[k].selected;
        }
        for (std::uint32_t p = 0; p + 1 < count; ++p) {
            std::uint32_t q = p;
            for (std::uint32_t r = p; r < count; ++r)
                q = c[r].key < c[q].key ? r : q;
            if (q != p)
                std::swap(c[p], c[q]);
        }
        for (auto& a : c) {
            for (auto& b : c) {
                if (&a == &b || !a.valid || !b.valid || a.second == b.second ||
                    !(std::fabs(a.key - b.key) < params.merge_window))
                    continue;
                --valid_count;
                selected_count -= a.selected && b.selected;
                candidate& gone = a.selected != b.selected ? (a.selected ? b : a) : (a.second ? b : a);
                gone = {gone.key, 0, 0, gone.second};
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
        std::uint32_t slot = 0;
        for (const bool found : {true, false}) {
            for (const auto& x : c) {
                if (!x.selected || (x.radial > 0) != found)
                    continue;
                f.radial_depth[slot][i] = x.radial;
                f.peak_height[slot++][i] = x.height;
            }
        }
    }
    for (std::uint32_t e = 0; e < echoes; ++e) {
        f.radial_depth[e].resize(n);
        f.peak_height[e].resize(n);
    }
}

TEST(near_far_merge, agrees_with_the_rules_on_random_pixels) {
    constexpr std::uint32_t n = 576;
    const float awkward[] = {0, 0, 0, -3, 100, 150, 200, 200, 201, 249.5f, 250, 500, 520, 1990, 2000, 2010, 2049, 3000};
    for (std::uint8_t echoes = 1; echoes <= 3; ++echoes) {
        for (unsigned seed = 0; seed < 4; ++seed) {
            std::mt19937 random(seed * 7 + echoes);
            const dual_depth_params params = seed % 2 == 0 ? dual_depth_params{} : dual_depth_params{250, 1500, 120};
            frame_buffer frame({true, true, true, true, true, true, true, true}, echoes, 2 * n);
            float tag = 1;
            for (std::uint8_t e = 0; e < echoes; ++e) {
                for (std::size_t p = 0; p < 2 * n; ++p, ++tag) {
                    frame.radial_depth[e][p] = random() % 2 == 0 ? awkward[random() % std::size(awkward)]
                                                                 : static_cast<float>(random() % 16000) / 4;
                    frame.peak_height[e][p] = tag;
                }
            }
            frame_buffer expected = frame;
            reference_merge(expected, n, params);
            dual_depth_selection selection(n, params);
            ASSERT_EQ(selection.merge(frame), 0);
            EXPECT_EQ(frame.radial_depth, expected.radial_depth) << int{echoes} << " echoes, seed " << seed;
            EXPECT_EQ(frame.peak_height, expected.peak_height);
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro
