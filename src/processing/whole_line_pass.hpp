// Every wired channel of a run of lines decoded by one routine that knows the line layout,
// rather than by one virtual decoder per channel: the histogram, pdc and noise of four lines at a
// time, then each echo group over the same lines while they are still in the first-level cache,
// its small channels of four lines turned into vector registers together. The decoders' checks
// are made once per frame instead of once per run.
#pragma once

#include <cstddef>
#include <cstdint>

#include <vorlake/tessaro/types.hpp>

#include "processing/value_decoders.hpp"

namespace vorlake::tessaro {

struct raw_data_processor;

// Where each wired channel of a line is read and written, taken from the plan's decoders once per
// frame. An output that is not wired is null.
struct whole_line_pass {
    // One echo group of a line: radial depth, the point's x, y and z, peak height and peak status
    // are six consecutive words from `offset` on, as the sensor lays them out.
    struct echo_fields {
        std::uint32_t offset = 0;
        detail::fixed_point_rule radial, x, y, z, height;
        float* radial_depth = nullptr;
        point3f* point = nullptr;
        float* cartesian = nullptr;  // derived from the point's z here, else null
        float* peak_height = nullptr;
        peak_status* status = nullptr;
    };

    std::uint32_t line_size = 0;
    std::uint32_t histogram_offset = 0;
    histogram_bins_t* histogram = nullptr;
    std::uint32_t pdc_offset = 0;
    pdc_counts_t* pdc = nullptr;
    std::uint32_t noise_offset = 0;
    detail::fixed_point_rule noise_rule;
    float* noise = nullptr;
    static constexpr std::size_t most_echoes = 3;
    echo_fields echoes[most_echoes];
    std::uint32_t echo_count = 0;  // groups 0 .. echo_count - 1 may have wired outputs
    // Every element cartesian depth is derived from is written by the pass itself.
    bool derives_cartesian_depth = false;

    // `count` lines from `line` on, as image pixels first_index on; count is a multiple of 4
    // (lines_at_once). Never refuses: prepare checked that every run of the frame fits every
    // output.
    static constexpr std::uint32_t lines_at_once = 4;
    void decode(const std::uint8_t* line, std::uint32_t first_index, std::uint32_t count) const;
};

// Fills `pass` for the plan's decoders and the current sizes of their outputs. False when a call
// of some decoder could be refused, or a decoder is not one the pass knows how to run or not
// where the sensor puts its channel: the frame then goes decoder by decoder, which reports the
// same refusal the line walk always did.
bool prepare_whole_line_pass(const raw_data_processor& plan, whole_line_pass& pass);

}  // namespace vorlake::tessaro
