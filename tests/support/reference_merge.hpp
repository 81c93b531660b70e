// The near/far merge written out literally, for comparing the optimised one against: whole
// candidates are gathered, selection-sorted with swaps and visited pair by pair, exactly as the
// rules read, with no shortcut.
#pragma once

#include <cstdint>

#include <vorlake/tessaro/types.hpp>

namespace vorlake::tessaro::test_support {

// Merges the two sub-frames of every per-echo output of `frame` (2n points each) into n points.
// Expects a frame that the merge would accept.
void reference_merge(frame_buffer& frame, std::uint32_t n, const dual_depth_params& params);

}  // namespace vorlake::tessaro::test_support
