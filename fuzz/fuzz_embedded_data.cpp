// The embedded-data decoder over arbitrary bytes and geometries.
//
// Input: a geometry byte (bit 0: 24 blocks instead of 12; bit 1: a line size from the next two
// bytes instead of 672), then the frame; bytes beyond its length read as zero up to the size
// the geometry needs when the input asks for a full frame (bit 2).
#include <cerrno>
#include <cstring>

#include "fuzz_input.hpp"
#include "processing/embedded_data.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;

namespace {

bool same_info(const sensor_info& a, const sensor_info& b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in(data, size);
    const auto geometry = in.take<std::uint8_t>();
    const auto line_size = in.take<std::uint16_t>();
    embedded_data_decoder decoder;
    decoder.block_count = geometry & 1 ? 24 : 12;
    if (geometry & 2)
        decoder.line_size = line_size;
    std::vector<std::uint8_t> bytes(in.rest(), in.rest() + in.rest_size());
    if (geometry & 4)
        bytes.resize(std::max<std::size_t>(bytes.size(), std::size_t{decoder.block_count} * decoder.line_size));

    // Marked fields, so that a refusal that writes anything shows.
    frame_buffer frame;
    frame.frame_id = 0xA5A5A5A5;
    frame.timestamp = 0x5A5A5A5A;
    sensor_info info;
    info.temperature = -1.5f;
    info.depth_num = 77;
    const frame_buffer frame_before = frame;
    const sensor_info info_before = info;
    decoder.frame = &frame;
    decoder.info = &info;

    const int code = decode_embedded_data(decoder, bytes);
    require(code == 0 || code == -EINVAL, "the decoder reports 0 or -EINVAL");
    if (code != 0) {
        require(same_outputs(frame, frame_before) && same_info(info, info_before), "a refused frame writes nothing");
        return 0;
    }
    require(bytes.size() >= std::size_t{decoder.block_count} * decoder.line_size, "a short frame is refused");

    frame_buffer frame_again = frame_before;
    sensor_info info_again = info_before;
    decoder.frame = &frame_again;
    decoder.info = &info_again;
    require(decode_embedded_data(decoder, bytes) == 0 && same_outputs(frame, frame_again) && same_info(info, info_again),
            "decoding the same bytes twice gives the same outputs");
    return 0;
}
