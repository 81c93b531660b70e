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

constexpr std::uint32_t single_mode = 0x211C;
constexpr std::uint32_t dual_mode = 0x301C;

// What one answer of the source is.
int answer(std::uint8_t step, py::ssize_t offered, std::size_t packed) {
    const int parameter = step >> 3;
    switch (step & 7) {
    case 0: return static_cast<int>(packed);                      // the mode's frame
    case 1: return static_cast<int>(packed / 672 * 704);          // the padded frame
    case 2: return 0;                                             // no frame in time
    case 3: return -1 - parameter;                                // a failure code
    case 4: return static_cast<int>(offered) + 1 + parameter;     // more than offered
    case 5: return static_cast<int>(offered) - parameter;         // a little less
    case 6: return 1 + parameter * 4099;                          // any small size
    default: return static_cast<int>(packed) + parameter - 16;    // near the frame size
    }
}

// The scripted source, and what it saw.
struct script {
    camera* owner = nullptr;
    bool replaced = false;
    std::uint8_t steps[2] = {};
    const std::uint8_t* fill = nullptr;
    std::size_t fill_size = 0;
    std::size_t packed = 0;
    int calls = 0;
    py::ssize_t offered[2] = {};
    int answered[2] = {};

    int operator()(byte_array array, unsigned int) {
        const int call = calls++;
        require(call < 2, "the source is called at most twice per frame");
        offered[call] = array.size();
        const int n = answer(steps[call], array.size(), packed);
        answered[call] = n;
        // The stream that is reading goes away from the camera mid-read; the retry still comes.
        if ((steps[call] & 7) == 4 && steps[call] >> 3 >= 16) {
            add_to(*owner);
            replaced = true;
        }
        if (n > 0 && n <= array.size() && fill_size > 0) {
            std::uint8_t* out = array.mutable_data();
            for (int i = 0; i < n; ++i)
                out[i] = fill[i % fill_size];
        }
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
    fuzz_input in(data, size);
    const auto flags = in.take<std::uint8_t>();
    const bool dual = flags & 1;
    const auto outputs = outputs_from(in.take<std::uint8_t>());
    const std::size_t packed = dual ? 790272 : 395136;
    const std::size_t frames = std::min<std::size_t>(in.rest_size() / 2, 8);
    std::vector<std::array<std::uint8_t, 2>> steps(frames);
    for (auto& s : steps)
        s = {in.take<std::uint8_t>(), in.take<std::uint8_t>()};

    script source;
    source.fill = in.rest();
    source.fill_size = in.rest_size();
    source.packed = packed;
    const std::shared_ptr<camera> c = create_camera_offline("fuzz");
    source.add_to(*c);
    if (flags & 8)
        vorlake::tessaro::python::add_offline_stream(*c, stream_type::stream_ebd, {});
    if (c->open(dual ? dual_mode : single_mode) != 0 || c->configure_camera_echo(1 + ((flags >> 1) & 3) % 3) != 0 ||
        c->configure_camera_output(outputs) != 0 || c->start() != 0)
        std::abort();

    py::ssize_t delivered = 0;
    for (const auto& s : steps) {
        source.calls = 0;
        source.steps[0] = s[0];
        source.steps[1] = s[1];
        const std::size_t held = c->shared_frame()->raw_image.size();
        if (std::exchange(source.replaced, false))
            delivered = 0;
        const frame_buffer& frame = c->get_frame(10);
        const py::ssize_t expected = delivered > 0 ? delivered : held > 0 ? static_cast<py::ssize_t>(held) : 1000;
        require(source.offered[0] == expected,
                "the array is sized like the frame this stream last delivered, else like the buffer, else 1000");
        const int n = source.answered[source.calls - 1];
        const bool retried = source.calls == 2;
        if (retried)
            require(source.offered[1] == source.answered[0], "the second array has the size asked for");
        if (n > 0 && n <= source.offered[source.calls - 1])
            delivered = n;
        const bool valid = n == static_cast<int>(packed) || n == static_cast<int>(packed / 672 * 704);
        const bool taken = n > 0 && n <= source.offered[source.calls - 1];
        if (!taken || !valid) {
            require(frame.error != 0, "a refused frame leaves error non-zero");
            if (n < 0)
                require(frame.error == n, "a failure code reaches the frame unchanged");
            else if (n == 0)
                require(frame.error == -ETIME, "no frame in time is -ETIME");
            else if (!taken)
                require(retried && frame.error == -EOVERFLOW, "a second size too large is -EOVERFLOW");
        } else {
            require(frame.error == 0 && frame.raw_image.size() == packed, "a frame of the mode's size decodes");
        }
    }
    c->stop();
    c->close();
    return 0;
}
