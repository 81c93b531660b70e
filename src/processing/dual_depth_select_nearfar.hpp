// The near/far strategy: per pixel, keeps the echoes of the sub-frame whose range setting suits
// their distance and drops near-duplicates seen by both sub-frames.
#pragma once

#include <array>
#include <cstdint>

#include <vorlake/tessaro/types.hpp>

#include "processing/dual_depth_selection.hpp"

namespace vorlake::tessaro {

class dual_depth_select_nearfar final : public dual_depth_selection_impl {
public:
    static constexpr std::uint32_t max_echoes = 3;
    static constexpr std::uint32_t max_candidates = 2 * max_echoes;

    dual_depth_select_nearfar(std::uint32_t pixel_count, const dual_depth_params& params);

    // 0, or -EINVAL with a message when the frame does not hold both sub-frames.
    int process(frame_buffer& frame) override;

    dual_depth_params params;
    frame_buffer* frame = nullptr;
    std::uint32_t pixel_count = 0;
    std::uint32_t echo_count = 0;
    std::uint32_t valid_count = 0;
    std::uint32_t selected_count = 0;
    std::uint32_t candidate_count = 0;

    // Candidate k = 2 * echo + sub-frame, one slot per array.
    std::array<float, max_candidates> key{};
    std::array<float, max_candidates> radial{};
    std::array<float, max_candidates> cartesian{};
    std::array<float, max_candidates> height{};
    std::array<std::uint8_t, max_candidates> status{};
    std::array<point3f, max_candidates> point{};
    std::array<std::uint32_t, max_candidates> echo{};
    std::array<std::uint32_t, max_candidates> source{};
    std::array<bool, max_candidates> valid{};
    std::array<bool, max_candidates> selected{};

private:
    bool check_sizes(const frame_buffer& frame) const;
    template <std::uint32_t E>
    void process_pixel(std::uint32_t i);
    template <std::uint32_t E>
    void process_pixels();
    bool is_second(std::uint32_t k) const { return source[k] >= pixel_count; }
    void swap_candidates(std::uint32_t a, std::uint32_t b);
    void drop(std::uint32_t k);
};

}  // namespace vorlake::tessaro
