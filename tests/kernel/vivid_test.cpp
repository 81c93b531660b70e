// The device code against the real kernel's V4L2 and media-controller core, on the vivid
// instance the VM loads: what the real videobuf2 queue, media core, control core and sysfs answer.
// The tests' own view of vivid is taken with plain system calls rather than the library's device
// code, so that the code under test is checked against the kernel and not against itself.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/videodev2.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <tuple>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_manager.hpp>
#include <vorlake/tessaro/camera_pipeline.hpp>
#include <vorlake/tessaro/unique_fd.hpp>

#include "camera/media_device_discovery.hpp"
#include "capture/v4l2_stream.hpp"
#include "pipeline/sensor_mode_control.hpp"
#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"
#include "vivid_nodes.hpp"

namespace vorlake::tessaro {
namespace {

namespace ts = test_support;

using namespace vivid;

constexpr unsigned frame_timeout_ms = 2000;

// The steady clock is CLOCK_MONOTONIC, which vivid stamps its buffers from.
std::uint64_t monotonic_ns() {
    return std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
}

// The capture stream on its own, on the metadata capture node (the video node's stream is read
// through the camera below): the real videobuf2 queue decides how many buffers there are and when
// a buffer comes back.
TEST(vivid_stream, streams_restarts_and_outlives_refused_requeues) {
    // The webcam input feeds the node, a frame every 200 ms or so.
    const device controls(capture_node);
    int webcam = 0;
    ASSERT_EQ(controls.call(VIDIOC_S_INPUT, &webcam), 0);
    v4l2_stream stream(V4L2_BUF_TYPE_META_CAPTURE, metadata_node, "vivid");
    std::vector<std::uint8_t> frame;

    ASSERT_EQ(stream.open(), 0);
    EXPECT_EQ(stream.granted_buffers(), 4u);

    // More frames than buffers send each one round the queue. In the first round vivid refuses
    // every frame's requeue on request: the frame still comes, with the error, and its buffer goes
    // back at the next read, so the queue never dries up. Stop ends the stream and hands every
    // buffer back, so the second start must queue them all again; a queue that is not streaming
    // is an error to poll and to the dequeue, no waiting it out.
    for (const bool refusing : {true, false}) {
        ASSERT_EQ(stream.start(), 0);
        int timeouts = 0;
        for (int i = 0; i < 6; ++i) {
            ASSERT_TRUE(!refusing || set_control(controls, "Inject VIDIOC_QBUF Error", 1) == 0);
            frame.clear();
            ASSERT_EQ(stream.read_frame(frame, frame_timeout_ms), refusing ? -EINVAL : 0) << i;
            EXPECT_FALSE(frame.empty());
            // The next frame is a frame period away: a zero timeout polls once, without waiting.
            timeouts += stream.read_frame(frame, 0) == -ETIME;
        }
        EXPECT_GE(timeouts, 1);
        stream.stop();
        EXPECT_EQ(stream.read_frame(frame, 0), -EINVAL);
    }
}

// vivid is no Jetson pipeline: this one only gives the base class's media-controller operations
// and, for the sensor mode, the video capture node, whose controls stand in for the sensor's.
struct probe_pipeline : camera_pipeline {
    probe_pipeline() : camera_pipeline(media_node) {}
    int get_stream_device_nodes(std::string&, std::string&) override { return -ENODEV; }
    int get_sensor_device_node(std::string& node) override { node = capture_node; return 0; }
    int configure(const pipeline_configuration&) override { return -ENODEV; }
    std::size_t entity_count() const { return entities.size(); }
};

// Raw frames through the real kernel and back: vivid loops its HDMI output into its HDMI input
// byte for byte when both carry the same timings and format, so encoded sensor frames shown on
// the output node come out of the capture node that a camera reads. With a 704-byte stride on
// both ends the capture buffers carry the padded frame a Jetson video node delivers after its
// preferred stride was set; dual-depth frames have twice the lines. vivid stamps its buffers from
// CLOCK_MONOTONIC and numbers them; the camera hands both on with every frame.
struct loop_case { const char* name; std::uint32_t mode; bool dual, padded; };

class vivid_loopback : public ::testing::TestWithParam<loop_case> {};

TEST_P(vivid_loopback, a_camera_reads_raw_frames_looped_through_the_kernel_with_their_timing) {
    const loop_case& test = GetParam();
    const std::uint32_t stride = test.padded ? 704 : frame_width,
                        height = test.dual ? 2 * frame_height : frame_height;
    const device capture(capture_node), output(output_node);
    ASSERT_EQ(prepare_hdmi_loop(capture, output, height), 0);
    // The library sets a packed format itself (a wrong request would break the loop); the stride
    // of a padded one is the video node's own business.
    ASSERT_EQ(test.padded ? set_grey_format(capture_node, height, stride)
                          : probe_pipeline().set_video_format(capture_node, frame_width, height, V4L2_PIX_FMT_GREY), 0);
    const ts::frame_values sent = ts::random_frame_values(7, test.dual, 1);
    const std::vector<std::uint8_t> shown = ts::encode_raw_frame(sent, test.dual, test.padded);
    ASSERT_EQ(show_frame(output, shown, height, stride), 0);

    auto cam = create_camera_offline("vivid loop");
    cam->add_stream(stream_type::stream_image,
                    std::make_unique<v4l2_stream>(V4L2_BUF_TYPE_VIDEO_CAPTURE, capture_node, "vivid"));
    ASSERT_EQ(cam->open(test.mode), 0);
    // The loop starts with the next frame the capture side produces after the output buffer
    // arrived; a few generated frames may come first, then the shown one keeps coming. The camera
    // compacts a padded frame, so its raw image is always the packed frame; its decoding is
    // checked elsewhere. The second start must queue the buffers again, and no frame may come
    // from before it.
    const std::vector<std::uint8_t> packed = ts::encode_raw_frame(sent, test.dual, false);
    for (int start = 0; start < 2; ++start) {
        std::uint64_t earliest = monotonic_ns();
        std::uint32_t sequence = 0;
        ASSERT_EQ(cam->start(), 0);
        for (int attempt = 0, looped = 0; looped < 4; ++attempt) {
            ASSERT_LT(attempt, 30) << "the frame never came back unchanged";
            const frame_buffer& frame = cam->get_frame(frame_timeout_ms);
            ASSERT_NE(frame.error, -ETIME) << "the capture node stopped delivering frames";
            if (looped == 0 && frame.error != 0)
                continue;
            ASSERT_TRUE(frame.error == 0 && frame.has_capture_time && frame.has_sequence);
            // vivid stamps a frame with its nominal end, which may lie up to a frame period (15 ms)
            // after the moment it hands the buffer over. It numbers frames from its coarse clock,
            // so two may share a number, but the numbers never go back.
            EXPECT_TRUE(frame.capture_time_ns >= earliest && frame.capture_time_ns <= monotonic_ns() + 50'000'000)
                << frame.capture_time_ns - earliest;
            ASSERT_GE(frame.sequence, sequence);
            earliest = frame.capture_time_ns + 1;
            sequence = frame.sequence;
            EXPECT_TRUE(looped == 0 || frame.raw_image == packed) << "the loop let the frame go";
            looped += frame.raw_image == packed;
        }
        ASSERT_EQ(cam->stop(), 0);
    }
    EXPECT_EQ(cam->close(), 0);
}

INSTANTIATE_TEST_SUITE_P(frames, vivid_loopback, ::testing::Values(
    loop_case{"single_packed", 0x211C, false, false}, loop_case{"single_padded", 0x211C, false, true},
    loop_case{"dual_packed", 0x201C, true, false}, loop_case{"dual_padded", 0x301C, true, true}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(vivid_media, topology_links_formats_controls_and_discovery_as_the_kernel_answers_them) {
    probe_pipeline pipeline;
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
    ASSERT_EQ(pipeline.load_topology(links, interfaces, pads), 0);
    media_v2_topology counts{};
    ASSERT_EQ(device(media_node).call(MEDIA_IOC_G_TOPOLOGY, &counts), 0);
    // The kernel's record is packed: its fields go in as copies.
    EXPECT_EQ(std::tuple(pipeline.entity_count(), links.size(), interfaces.size(), pads.size()),
              std::tuple(+counts.num_entities, +counts.num_links, +counts.num_interfaces, +counts.num_pads));

    // The entity's interface gives the character device number, sysfs the node's name.
    const entity_info* entity = pipeline.find_entity("vivid-000-vid-cap");
    EXPECT_EQ(entity ? entity->device_node : std::string(), capture_node);

    // The counted position of each pad agrees with the index this kernel reports itself.
    pad_ref at;
    for (const media_v2_pad& pad : pads)
        EXPECT_TRUE(pipeline.find_pad(pad.id, pads, at) == 0 && at.index == pad.index &&
                    pipeline.find_entity_by_id(pad.entity_id)) << pad.id;
    // vivid joins its nodes to their interfaces only: no data link.
    std::vector<link_ref> found;
    EXPECT_EQ(pipeline.find_links("vivid-000-vid-out", "vivid-000-vid-cap", links, pads, found), -ENODEV);
    // The link request reaches the media core (a wrong request number or record size would give
    // ENOTTY), which refuses a link between pads it does not have.
    link_ref link;
    errno = 0;
    EXPECT_EQ(pipeline.setup_link(link, true), -1);
    EXPECT_EQ(errno, EINVAL);
    // The format request carries a capture buffer type: an output node refuses it. The control
    // core refuses the sensor's mode control, which vivid does not have.
    EXPECT_EQ(pipeline.set_video_format(output_node, frame_width, frame_height, V4L2_PIX_FMT_GREY), -EINVAL);
    errno = 0;
    EXPECT_EQ(select_sensor_mode(pipeline, 0x211C), -1);
    EXPECT_EQ(errno, EINVAL);

    // The media device is listed, but it is no Jetson capture pipeline: skipped in silence.
    EXPECT_EQ(list_media_devices(), std::vector<std::string>{"media0"});
    const auto said = ts::output_of([] { EXPECT_EQ(camera_manager::instance().init(), 0); });
    EXPECT_EQ(said.out + said.err, "");
    EXPECT_TRUE(camera_manager::instance().get_camera_list().empty());
}

}  // namespace
}  // namespace vorlake::tessaro
