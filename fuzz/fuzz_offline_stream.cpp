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
#include <memory>
#include <utility>

#include <pybind11/embed.h>

#include <vorlake/tessaro/camera.hpp>

#include "fuzz_input.hpp"
#include "offline_stream.hpp"

using namespace vorlake::tessaro;
using namespace vorlake::tessaro::fuzz;
namespace py = pybind11;

namespace {

using byte_array = py::array_t<std::uint8_t, py::array::c_style>;

// The scripted source, and what it saw.
struct script {
    camera* owner = nullptr;
    bool replaced = false;
    std::array<std::uint8_t, 2> steps{};
    fuzz_input fill{nullptr, 0};
    int packed = 0;
    int calls = 0;
    py::ssize_t offered[2] = {};
    int answered[2] = {};

    int operator()(byte_array array, unsigned int) {
        const int call = calls++;
        require(call < 2, "the source is called at most twice per frame");
        const std::uint8_t step = steps[call];
        const auto size = static_cast<int>(offered[call] = array.size());
        const int parameter = step >> 3;
        // The mode's frame, the padded one, none in time, a failure code, more than offered, a
        // little less, any small size, near the frame size.
        const int answers[] = {packed, packed / 672 * 704, 0, -1 - parameter, size + 1 + parameter,
                               size - parameter, 1 + parameter * 4099, packed + parameter - 16};
        const int n = answered[call] = answers[step & 7];
        // The stream that is reading goes away from the camera mid-read; the retry still comes.
        if ((step & 7) == 4 && parameter >= 16) {
            add_to(*owner);
            replaced = true;
        }
        std::uint8_t* out = n <= size && fill.size > 0 ? array.mutable_data() : nullptr;
        for (int i = 0; out && i < n; ++i)
            out[i] = fill.data[i % fill.size];
        return n;
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
    const int packed = dual ? 790272 : 395136;
    std::vector<std::array<std::uint8_t, 2>> steps(std::min<std::size_t>(in.size / 2, 8));
    for (auto& s : steps)
        s = {in.take<std::uint8_t>(), in.take<std::uint8_t>()};

    script source{.fill = in, .packed = packed};
    const std::shared_ptr<camera> c = create_camera_offline("fuzz");
    source.add_to(*c);
    if (flags & 8)
        vorlake::tessaro::python::add_offline_stream(*c, stream_type::stream_ebd, {});
    // A dual-depth mode or a single-depth one, both at the full frame size.
    if (c->open(dual ? 0x301C : 0x211C) != 0 || c->configure_camera_echo(1 + ((flags >> 1) & 3) % 3) != 0 ||
        c->configure_camera_output(outputs) != 0 || c->start() != 0)
        std::abort();

    py::ssize_t delivered = 0;
    for (const auto& s : steps) {
        source.calls = 0;
        source.steps = s;
        const std::size_t held = c->shared_frame()->raw_image.size();
        if (std::exchange(source.replaced, false))
            delivered = 0;
        const frame_buffer& frame = c->get_frame(10);
        const py::ssize_t expected = delivered > 0 ? delivered : held > 0 ? static_cast<py::ssize_t>(held) : 1000;
        require(source.offered[0] == expected,
                "the array is sized like the frame this stream last delivered, else like the buffer, else 1000");
        const bool retried = source.calls == 2;
        require(!retried || source.offered[1] == source.answered[0], "the second array has the size asked for");
        const int n = source.answered[source.calls - 1];
        const bool taken = n > 0 && n <= source.offered[source.calls - 1];
        if (taken)
            delivered = n;
        if (taken && (n == packed || n == packed / 672 * 704))
            require(frame.error == 0 && frame.raw_image.size() == std::size_t(packed), "a frame of the mode's size decodes");
        else
            require(frame.error != 0 && (n >= 0 || frame.error == n) && (n != 0 || frame.error == -ETIME) &&
                        (n <= 0 || taken || (retried && frame.error == -EOVERFLOW)),
                    "a refused frame says why: the source's failure code unchanged, -ETIME for no frame in time, "
                    "-EOVERFLOW for a second size too large");
    }
    c->stop();
    c->close();
    return 0;
}
