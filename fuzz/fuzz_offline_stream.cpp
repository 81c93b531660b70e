// The offline stream's size protocol, driven through an offline camera by a scripted C++ source:
// every frame is one step of the script, which says what size the source answers, whether it
// writes, and what it answers when it is asked again.
//
// Input: a flags byte (bit 0 dual-depth, bits 1-2 echo count, bit 3 an embedded-data stream
// without a callable), the output set byte, then two bytes per frame: the first answer and the
// second answer, each an action (low 3 bits) and a parameter (high 5 bits). A source that asks
// for more than it was offered with a parameter of 16 or more first replaces its own stream. The
// remaining bytes fill what the source writes.
#include <cerrno>

#include <pybind11/embed.h>

#include <vorlake/tessaro/camera.hpp>

#include "fuzz_input.hpp"
#include "offline_stream.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;
namespace py = pybind11;

// The interpreter and numpy keep what they allocated until the process ends.
extern "C" const char* __lsan_default_suppressions() { return "leak:libpython3\nleak:_multiarray_umath\n"; }

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    // One interpreter for the whole run, with numpy from the project's environment.
    static py::scoped_interpreter interpreter;
    py::module_::import("sys").attr("path").attr("append")(TESSARO_FUZZ_SITE_PACKAGES);
    py::module_::import("numpy");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzz_input in{data, size};
    const auto flags = in.take<std::uint8_t>();
    const bool dual = flags & 1;
    const auto outputs = outputs_from(in.take<std::uint8_t>());
    // Two answers per frame, then what the source writes.
    const std::size_t frames = std::min<std::size_t>(in.size / 2, 8);
    const std::uint8_t* step = in.data;
    const fuzz_input fill{in.data + 2 * frames, in.size - 2 * frames};

    const std::shared_ptr<camera> c = create_camera_offline("fuzz");
    // The scripted source; it records what it was last offered and what it answered.
    const int packed = dual ? 790272 : 395136, padded = packed / 672 * 704;
    int calls = 0, n = 0;
    py::ssize_t offered = 0;
    python::frame_source source = [&](py::array_t<std::uint8_t, py::array::c_style> array, unsigned int) {
        require(calls < 2, "the source is called at most twice per frame");
        const auto size = static_cast<int>(offered = array.size());
        const int parameter = step[calls] >> 3;
        // The mode's frame, the padded one, none in time, a failure code, more than offered, a
        // little less, any small size, near the frame size.
        const int answers[] = {packed, padded, 0, -1 - parameter, size + 1 + parameter,
                               size - parameter, 1 + parameter * 4099, packed + parameter - 16};
        const int action = step[calls++] & 7;
        n = answers[action];
        // The stream that is reading goes away from the camera mid-read; the retry still comes.
        if (action == 4 && parameter >= 16)
            python::add_offline_stream(*c, stream_type::stream_image, source);
        std::uint8_t* out = n <= size && fill.size > 0 ? array.mutable_data() : nullptr;
        for (int i = 0; out && i < n; ++i)
            out[i] = fill.data[i % fill.size];
        return n;
    };
    python::add_offline_stream(*c, stream_type::stream_image, source);
    if (flags & 8)
        python::add_offline_stream(*c, stream_type::stream_ebd, {});
    // A dual-depth mode or a single-depth one, both at the full frame size.
    if (c->open(dual ? 0x301C : 0x211C) != 0 || c->configure_camera_echo(1 + ((flags >> 1) & 3) % 3) != 0 ||
        c->configure_camera_output(outputs) != 0 || c->start() != 0)
        std::abort();

    for (std::size_t f = 0; f < frames; ++f, step += 2) {
        calls = 0;
        const frame_buffer& frame = c->get_frame(10);
        const bool taken = n > 0 && n <= offered;
        require(taken && (n == packed || n == padded)
                    ? frame.error == 0 && frame.raw_image.size() == std::size_t(packed)
                    : frame.error != 0 && (n >= 0 || frame.error == n) && (n != 0 || frame.error == -ETIME) &&
                          (n <= 0 || taken || (calls == 2 && frame.error == -EOVERFLOW)),
                "a frame of the mode's size decodes; a refused one says why: the source's failure code unchanged, "
                "-ETIME for no frame in time, -EOVERFLOW for a second size too large");
    }
    // Dropping the camera stops and closes it.
    return 0;
}
