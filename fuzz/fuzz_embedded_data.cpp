// The embedded-data decoder over arbitrary bytes and geometries.
//
// Input: a geometry byte (bit 0: 24 blocks instead of 12; bit 1: a line size from the next two
// bytes instead of 672), then the frame; bytes beyond its length read as zero up to the size
// the geometry needs when the input asks for a full frame (bit 2).
#include <algorithm>
#include <cerrno>

#include "fuzz_input.hpp"
#include "processing/embedded_data.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in{data, size};
    const auto geometry = in.take<std::uint8_t>();
    const auto line_size = in.take<std::uint16_t>();
    const std::uint32_t blocks = geometry & 1 ? 24 : 12, line = geometry & 2 ? line_size : 672;
    std::vector<std::uint8_t> bytes(in.data, in.data + in.size);
    if (geometry & 4)
        bytes.resize(std::max<std::size_t>(bytes.size(), std::size_t{blocks} * line));

    // A refusal that writes anything shows against records as they are made.
    frame_buffer frame, fresh;
    sensor_info info, fresh_info;
    const int code = decode_embedded_data({&frame, &info, blocks, line}, bytes);
    require(code == 0 ? bytes.size() >= std::size_t{blocks} * line
                      : code == -EINVAL && same_outputs(frame, fresh) && !std::memcmp(&info, &fresh_info, sizeof info),
            "a short frame is refused with -EINVAL, and a refused one writes nothing");
    return 0;
}
