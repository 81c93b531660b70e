// The offline stream's size protocol, driven through an offline camera by a scripted C++ source:
// every frame is one step of the script, which says what size the source answers, whether it
// writes, and what it answers when it is asked again.
//
// Input: a flags byte (bit 0 dual-depth, bits 1-2 echo count, bit 3 an embedded-data stream
// without a callable), the output set byte, then two bytes per frame: the first answer and the
// second answer, each an action (low 3 bits) and a parameter (high 5 bits). A source that asks
// for more than it was offered with a parameter of 16 or more first replaces its own stream. The
// remaining bytes fill what the source writes.
#include <array>
#include <cerrno>
#include <cstdlib>

#include <pybind11/embed.h>

#include <vorlake/tessaro/camera.hpp>

#include "fuzz_input.hpp"
#include "offline_stream.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;
namespace py = pybind11;

namespace {

using byte_array = py::array_t<std::uint8_t, py::array::c_style>;

// The scripted source, and what it last answered.
struct script {
    camera* owner = nullptr;
    std::array<std::uint8_t, 2> steps{};
    fuzz_input fill{nullptr, 0};
    int packed = 0, calls = 0, answer = 0;
    py::ssize_t offered = 0;

    int operator()(byte_array array, unsigned int) {
        require(calls < 2, "the source is called at most twice per frame");
        const std::uint8_t step = steps[calls++];
        const auto size = static_cast<int>(offered = array.size());
        const int parameter = step >> 3;
        // The mode's frame, the padded one, none in time, a failure code, more than offered, a
        // little less, any small size, near the frame size.
        const int answers[] = {packed, packed / 672 * 704, 0, -1 - parameter, size + 1 + parameter,
                               size - parameter, 1 + parameter * 4099, packed + parameter - 16};
        answer = answers[step & 7];
        // The stream that is reading goes away from the camera mid-read; the retry still comes.
        if ((step & 7) == 4 && parameter >= 16)
            add_to(*owner);
        std::uint8_t* out = answer <= size && fill.size > 0 ? array.mutable_data() : nullptr;
        for (int i = 0; out && i < answer; ++i)
            out[i] = fill.data[i % fill.size];
        return answer;
    }

    void add_to(camera& c) {
        owner = &c;
        vorlake::tessaro::python::add_offline_stream(
            c, stream_type::stream_image, [this](byte_array a, unsigned int t) { return (*this)(std::move(a), t); });
    }
};

}  // namespace

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
    std::vector<std::array<std::uint8_t, 2>> steps(std::min<std::size_t>(in.size / 2, 8));
    for (auto& s : steps)
        s = {in.take<std::uint8_t>(), in.take<std::uint8_t>()};

    script source{.fill = in, .packed = dual ? 790272 : 395136};
    const std::shared_ptr<camera> c = create_camera_offline("fuzz");
    source.add_to(*c);
    if (flags & 8)
        vorlake::tessaro::python::add_offline_stream(*c, stream_type::stream_ebd, {});
    // A dual-depth mode or a single-depth one, both at the full frame size.
    if (c->open(dual ? 0x301C : 0x211C) != 0 || c->configure_camera_echo(1 + ((flags >> 1) & 3) % 3) != 0 ||
        c->configure_camera_output(outputs) != 0 || c->start() != 0)
        std::abort();

    for (const auto& s : steps) {
        source.calls = 0;
        source.steps = s;
        const frame_buffer& frame = c->get_frame(10);
        const int n = source.answer, packed = source.packed;
        const bool taken = n > 0 && n <= source.offered;
        if (taken && (n == packed || n == packed / 672 * 704))
            require(frame.error == 0 && frame.raw_image.size() == std::size_t(packed), "a frame of the mode's size decodes");
        else
            require(frame.error != 0 && (n >= 0 || frame.error == n) && (n != 0 || frame.error == -ETIME) &&
                        (n <= 0 || taken || (source.calls == 2 && frame.error == -EOVERFLOW)),
                    "a refused frame says why: the source's failure code unchanged, -ETIME for no frame in time, "
                    "-EOVERFLOW for a second size too large");
    }
    c->stop();
    c->close();
    return 0;
}
