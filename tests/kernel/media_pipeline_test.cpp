// The media-controller layer and discovery on vivid's media device, as the real media core,
// control core and sysfs answer them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <tuple>

#include <vorlake/tessaro/camera_manager.hpp>

#include "camera/media_device_discovery.hpp"
#include "kernel/vivid.hpp"
#include "pipeline/sensor_mode_control.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;

TEST(vivid_media, topology_records_device_nodes_pads_and_links_agree_with_the_kernel) {
    probe_pipeline pipeline;
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
    ASSERT_EQ(pipeline.load_topology(links, interfaces, pads), 0);
    media_v2_topology counts{};
    ASSERT_EQ(device(media_node).call(MEDIA_IOC_G_TOPOLOGY, &counts), 0);
    EXPECT_EQ(pipeline.entity_table().size(), counts.num_entities);
    EXPECT_EQ(links.size(), counts.num_links);
    EXPECT_EQ(interfaces.size(), counts.num_interfaces);
    EXPECT_EQ(pads.size(), counts.num_pads);

    for (const auto& [name, node] : {std::pair{"vivid-000-vid-cap", capture_node},
                                     std::pair{"vivid-000-vid-out", output_node}}) {
        const entity_info* entity = pipeline.find_entity(name);
        ASSERT_NE(entity, nullptr) << name;
        EXPECT_EQ(entity->device_node, node);
        struct stat status{};
        ASSERT_EQ(::stat(node.c_str(), &status), 0);
        EXPECT_EQ(pipeline.device_node_from_number(major(status.st_rdev), minor(status.st_rdev)),
                  node);
    }
    // A character device number nobody registered has no uevent file.
    EXPECT_EQ(pipeline.device_node_from_number(4095, 4095), "");

    for (const media_v2_pad& pad : pads) {
        pad_ref found;
        ASSERT_EQ(pipeline.find_pad(pad.id, pads, found), 0);
        EXPECT_NE(pipeline.find_entity_by_id(pad.entity_id), nullptr) << pad.id;
        // The counted position agrees with the index this kernel reports itself.
        EXPECT_EQ(found.index, pad.index) << pad.id;
    }
    // vivid joins its nodes to their interfaces only: no data link, nothing to reset.
    std::vector<link_ref> found;
    EXPECT_EQ(pipeline.find_links("vivid-000-vid-out", "vivid-000-vid-cap", links, pads, found),
              -ENODEV);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(pipeline.reset_links(links, pads), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    // The link request reaches the media core (a wrong request number or record size would give
    // ENOTTY), which refuses a link between pads it does not have.
    link_ref link;
    errno = 0;
    EXPECT_EQ(pipeline.setup_link(link, true), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(link.flags, 0u);
}

// Both requests reach their kernel core (a wrong request number or record size would give
// ENOTTY); the control core refuses the sensor's mode control, which vivid does not have.
TEST(vivid_media, the_video_node_takes_the_format_and_refuses_the_sensor_mode) {
    probe_pipeline pipeline(capture_node);
    const auto set_format = [&](const std::string& node) {
        return pipeline.set_video_format(node, frame_width, frame_height, V4L2_PIX_FMT_GREY);
    };
    ASSERT_NO_FATAL_FAILURE(select_hdmi());
    ASSERT_EQ(set_format(capture_node), 0);
    v4l2_format format{.type = V4L2_BUF_TYPE_VIDEO_CAPTURE};
    ASSERT_EQ(device(capture_node).call(VIDIOC_G_FMT, &format), 0);
    const v4l2_pix_format& pix = format.fmt.pix;
    EXPECT_EQ(std::tuple(pix.width, pix.height, pix.pixelformat, pix.bytesperline),
              std::tuple(frame_width, frame_height, V4L2_PIX_FMT_GREY, frame_width));
    // The request carries a capture buffer type: an output node refuses it.
    EXPECT_EQ(set_format(output_node), -EINVAL);
    EXPECT_EQ(set_format("/dev/video77"), -ENOENT);

    ::testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(select_sensor_mode(pipeline, 0x211C), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error selecting sensor mode via V4L2 control on " + capture_node + ": -1\n");
}

// vivid's media device is listed, but it is no Jetson capture pipeline: skipped in silence.
TEST(vivid_discovery, vivid_is_listed_and_skipped_without_a_word) {
    EXPECT_EQ(list_media_devices(), std::vector<std::string>{"media0"});
    camera_manager& manager = camera_manager::instance();
    ::testing::internal::CaptureStdout();
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(manager.init(), 0);
    EXPECT_TRUE(manager.get_camera_list().empty());
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

}  // namespace
}  // namespace vorlake::tessaro
