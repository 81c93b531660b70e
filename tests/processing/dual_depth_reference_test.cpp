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

struct candidate {
    float key = 0, radial = 0, cartesian = 0, height = 0;
    peak_status status{};
    point3f point;
    bool second = false, valid = false, selected = false;
};

// Whole candidates are swapped and every ordered pair is visited, as the rules are written.
void reference_merge(frame_buffer& f, std::uint32_t n, const dual_depth_params& params) {
    const std::uint32_t echoes = f.max_depth_index;
    const std::uint32_t count = 2 * echoes;
    for (std::uint32_t i = 0; i < n; ++i) {
        std::vector<candidate> c(count);
        std::uint32_t valid_count = 0, selected_count = 0;
        for (std::uint32_t e = 0; e < echoes; ++e) {
            for (std::uint32_t s = 0; s < 2; ++s) {
                candidate& x = c[2 * e + s];
                const std::size_t index = s == 0 ? i : n + i;
                x.key = x.radial = f.radial_depth[e][index];
                x.cartesian = f.cartesian_depth[e][index];
                x.height = f.peak_height[e][index];
                x.status = f.peak_status[e][index];
                x.point = f.point_cloud[e][index];
                x.second = s == 1;
                x.valid = x.radial > 0;
                if (x.valid && s == 0)
                    x.selected = params.select_near < x.key && x.key < params.select_far;
                if (x.valid && s == 1)
                    x.selected = x.key < params.select_near || x.key > params.select_far;
                valid_count += x.valid;
                selected_count += x.selected;
            }
        }
        for (std::uint32_t p = 0; p + 1 < count; ++p) {
            std::uint32_t q = p;
            for (std::uint32_t r = p; r < count; ++r)
                if (c[r].key < c[q].key)
                    q = r;
            if (q != p)
                std::swap(c[p], c[q]);
        }
        auto drop = [](candidate& x) {
            const float key = x.key;
            const bool second = x.second;
            x = candidate{};
            x.key = key;
            x.second = second;
        };
        for (std::uint32_t a = 0; a < count; ++a) {
            for (std::uint32_t b = 0; b < count; ++b) {
                if (a == b || !c[a].valid || !c[b].valid || c[a].second == c[b].second ||
                    !(std::fabs(c[a].key - c[b].key) < params.merge_window))
                    continue;
                --valid_count;
                if (c[a].selected != c[b].selected) {
                    drop(c[a].selected ? c[b] : c[a]);
                } else {
                    if (c[a].selected)
                        --selected_count;
                    drop(c[a].second ? c[b] : c[a]);
                }
            }
        }
        std::uint32_t chosen = 0;
        if (valid_count == echoes) {
            for (auto& x : c)
                x.selected = x.valid;
        } else if (valid_count < echoes) {
            for (auto& x : c)
                chosen += (x.selected = x.valid);
            for (std::uint32_t p = count; p-- > 0 && chosen < echoes;)
                if (!c[p].valid && c[p].second)
                    c[p].selected = true, ++chosen;
        } else if (selected_count < echoes) {
            chosen = selected_count;
            for (std::uint32_t p = count; p-- > 0 && chosen < echoes;)
                if (c[p].valid && !c[p].selected && c[p].second)
                    c[p].selected = true, ++chosen;
            for (std::uint32_t p = count; p-- > 0 && chosen < echoes;)
                if (c[p].valid && !c[p].selected && !c[p].second)
                    c[p].selected = true, ++chosen;
        } else if (selected_count > echoes) {
            std::uint32_t kept = 0;
            for (auto& x : c)
                kept += x.selected && x.second;
            for (std::uint32_t p = count; p-- > 0;) {
                if (!c[p].selected || c[p].second)
                    continue;
                if (kept < echoes)
                    ++kept;
                else
                    c[p].selected = false;
            }
        }
        std::uint32_t slot = 0;
        for (int pass = 0; pass < 2; ++pass) {
            for (const auto& x : c) {
                if (!x.selected || (pass == 0) != (x.radial > 0))
                    continue;
                f.radial_depth[slot][i] = x.radial;
                f.cartesian_depth[slot][i] = x.cartesian;
                f.peak_height[slot][i] = x.height;
                f.peak_status[slot][i] = x.status;
                f.point_cloud[slot][i] = x.point;
                ++slot;
            }
        }
    }
    for (std::uint32_t e = 0; e < echoes; ++e) {
        f.radial_depth[e].resize(n);
        f.cartesian_depth[e].resize(n);
        f.peak_height[e].resize(n);
        f.peak_status[e].resize(n);
        f.point_cloud[e].resize(n);
    }
}

TEST(near_far_merge, agrees_with_the_rules_on_random_pixels) {
    constexpr std::uint32_t n = 576;
    const float awkward[] = {0, 0, 0, -3, 100, 150, 200, 200, 201, 249.5f, 250, 500, 520, 1990, 2000, 2010, 2049, 3000};
    for (std::uint8_t echoes = 1; echoes <= 3; ++echoes) {
        for (unsigned seed = 0; seed < 4; ++seed) {
            SCOPED_TRACE(testing::Message() << "echoes " << int{echoes} << " seed " << seed);
            std::mt19937 random(seed * 7 + echoes);
            const dual_depth_params params = seed % 2 == 0 ? dual_depth_params{} : dual_depth_params{250, 1500, 120};
            frame_buffer frame(camera_output_configuration{true, true, true, true, true, true, true, true},
                               echoes, 2 * n);
            float tag = 1;
            for (std::uint8_t e = 0; e < echoes; ++e) {
                for (std::size_t p = 0; p < 2 * n; ++p, ++tag) {
                    const bool pick = random() % 2 == 0;
                    frame.radial_depth[e][p] = pick ? awkward[random() % std::size(awkward)]
                                                    : static_cast<float>(random() % 16000) / 4;
                    frame.cartesian_depth[e][p] = tag;
                    frame.peak_height[e][p] = -tag;
                    frame.peak_status[e][p] = static_cast<peak_status>(random() % 256);
                    frame.point_cloud[e][p] = {tag, 2 * tag, 3 * tag};
                }
            }
            frame_buffer expected = frame;
            reference_merge(expected, n, params);
            dual_depth_selection selection(n, params);
            ASSERT_EQ(selection.merge(frame), 0);
            EXPECT_EQ(frame.radial_depth, expected.radial_depth);
            EXPECT_EQ(frame.cartesian_depth, expected.cartesian_depth);
            EXPECT_EQ(frame.peak_height, expected.peak_height);
            EXPECT_EQ(frame.peak_status, expected.peak_status);
            EXPECT_EQ(frame.point_cloud, expected.point_cloud);
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro
