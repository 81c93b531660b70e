// Once the first frame has been through, decoding and merging a frame allocates nothing. The
// test program's allocation functions are replaced to count calls.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <memory>
#include <new>

#include <vorlake/tessaro/line_swap_table.hpp>

#include "processing/dual_depth_selection.hpp"
#include "processing/raw_data_processor.hpp"
#include "processing/raw_frame_decoder.hpp"
#include "support/raw_frame_encoder.hpp"

namespace {
std::atomic<std::size_t> allocations{0};
}  // namespace

// The replacements pair malloc with free; GCC cannot see that they belong together once a
// standard container's calls are inlined next to them.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"
#endif

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace vorlake::tessaro {
namespace {

TEST(steady_state, frames_after_the_first_allocate_nothing) {
    for (const bool dual : {false, true}) {
        SCOPED_TRACE(dual ? "dual depth" : "single depth");
        // Only radial depth on: the merge has to grow the other per-echo outputs itself.
        camera_output_configuration config;
        config.enable_radial_depth = true;
        config.enable_histogram = true;
        frame_buffer frame(config, 3, dual ? 1152 : 576);
        std::unique_ptr<raw_data_processor> plan;
        build_processor(plan, {672, static_cast<std::uint8_t>(dual ? 24 : 12), 48, 1, 3}, config, frame);
        const line_swap_table table = make_line_swap_table(dual);
        std::vector<std::uint8_t> swap_buffer;
        dual_depth_selection selection(576, dual_depth_params{});
        const auto padded = test_support::encode_raw_frame(test_support::random_frame_values(9, dual, 3), dual, true);
        frame.raw_image.reserve(padded.size());

        auto one_frame = [&] {
            frame.raw_image.assign(padded.begin(), padded.end());
            if (dual)
                selection.prepare_frame(frame);
            int r = process_raw_data({frame, dual, table, swap_buffer, *plan});
            if (r == 0 && dual)
                r = selection.merge(frame);
            return r;
        };
        ASSERT_EQ(one_frame(), 0);
        const std::size_t before = allocations.load();
        ASSERT_EQ(one_frame(), 0);
        ASSERT_EQ(one_frame(), 0);
        EXPECT_EQ(allocations.load(), before);
    }
}

}  // namespace
}  // namespace vorlake::tessaro
