// The dual-depth merge alone, over arbitrary decoded values and parameters, against the literal
// rendering of its rules (the input's layout is described with the check).
#include "../tests/support/merge_check.hpp"
#include "fuzz_input.hpp"

using namespace vorlake::tessaro;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz::require(test_support::merge_agrees_with_rules({data, size}, dual_depth_selection::every_output),
                  "a merge agrees bit for bit with the rules; a refused one reports -EINVAL and changes nothing");
    return 0;
}
