// What the camera tests share: an offline camera wired to scripted streams, and output checks.
#pragma once

#include <vorlake/tessaro/camera.hpp>

#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"
#include "support/test_stream.hpp"

namespace vorlake::tessaro::test_support {

inline constexpr std::uint32_t dual_mode = 0x301C;
inline constexpr std::uint32_t single_mode = 0x311C;
using call_list = std::vector<std::string>;

// An offline camera and the handles of the streams it owns.
struct camera_rig {
    std::shared_ptr<camera> cam = create_camera_offline("offline0");
    std::shared_ptr<test_stream_state> image, ebd;

    explicit camera_rig(bool with_image = true, bool with_ebd = false) {
        if (with_image)
            cam->add_stream(stream_type::stream_image, make_test_stream(image));
        if (with_ebd)
            cam->add_stream(stream_type::stream_ebd, make_test_stream(ebd));
    }

    void open(std::uint32_t mode) { ASSERT_EQ(cam->open(mode), 0); }
    // Opens in mode with every output and the given echo count, and starts.
    void stream(std::uint32_t mode, std::uint32_t echoes = 1) {
        open(mode);
        EXPECT_EQ(cam->configure_camera_output({true, true, true, true, true, true, true, true}), 0);
        EXPECT_EQ(cam->configure_camera_echo(echoes), 0);
        ASSERT_EQ(cam->start(), 0);
    }
    frame_buffer& get_frame(const std::string& line = "", unsigned int timeout_ms = 10) {
        return printing(line, [&]() -> frame_buffer& { return cam->get_frame(timeout_ms); });
    }
};

}  // namespace vorlake::tessaro::test_support
