// The media-controller layer and discovery on vivid's media device, as the real media core,
// control core and sysfs answer them.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <set>

#include <vorlake/tessaro/camera_manager.hpp>

#include "camera/media_device_discovery.hpp"
#include "kernel/vivid.hpp"
#include "pipeline/sensor_mode_control.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;

class vivid_media : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(pipeline.load_topology(links, interfaces, pads), 0); }

    probe_pipeline pipeline;
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
};

TEST_F(vivid_media, topology_holds_every_record_and_device_nodes_resolve_through_sysfs) {
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
}

TEST_F(vivid_media, pads_and_links_agree_with_the_kernel) {
    std::set<std::uint32_t> entity_ids;
    for (const auto& [name, entity] : pipeline.entity_table())
        entity_ids.insert(entity.id);
    ASSERT_GE(pads.size(), 2u);
    for (const media_v2_pad& pad : pads) {
        pad_ref found;
        ASSERT_EQ(pipeline.find_pad(pad.id, pads, found), 0);
        EXPECT_TRUE(entity_ids.count(pad.entity_id)) << pad.id;
        EXPECT_EQ(found.entity_id, pad.entity_id) << pad.id;
        // The counted position agrees with the index this kernel reports itself.
        EXPECT_EQ(found.index, pad.index) << pad.id;
    }

    // vivid joins its nodes to their interfaces only: no data link, nothing to reset.
    std::vector<link_ref> found{link_ref{}};
    EXPECT_EQ(pipeline.find_links("vivid-000-vid-out", "vivid-000-vid-cap", links, pads, found),
              -ENODEV);
    EXPECT_TRUE(found.empty());
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(pipeline.reset_links(links, pads), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");

    // The link request reaches the media core (a wrong request number or record size would give
    // ENOTTY), which refuses pads that are not linked.
    link_ref link;
    pipeline.find_pad(pads.front().id, pads, link.source);
    pipeline.find_pad(pads.back().id, pads, link.sink);
    errno = 0;
    EXPECT_EQ(pipeline.setup_link(link, true), -1);
    EXPECT_EQ(errno, EINVAL);
}

TEST_F(vivid_media, video_format_is_set_on_the_capture_node) {
    ASSERT_EQ(select_hdmi_input(), 0);
    ASSERT_EQ(pipeline.set_video_format(capture_node, frame_width, frame_height,
                                        V4L2_PIX_FMT_GREY), 0);
    v4l2_format format{.type = V4L2_BUF_TYPE_VIDEO_CAPTURE};
    ASSERT_EQ(device(capture_node).call(VIDIOC_G_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.width, frame_width);
    EXPECT_EQ(format.fmt.pix.height, frame_height);
    EXPECT_EQ(format.fmt.pix.pixelformat, V4L2_PIX_FMT_GREY);
    EXPECT_EQ(format.fmt.pix.bytesperline, frame_width);
    // The request carries a capture buffer type: an output node refuses it.
    EXPECT_EQ(pipeline.set_video_format(output_node, frame_width, frame_height,
                                        V4L2_PIX_FMT_GREY), -EINVAL);
    EXPECT_EQ(pipeline.set_video_format("/dev/video77", frame_width, frame_height,
                                        V4L2_PIX_FMT_GREY), -ENOENT);
}

// The control request reaches the control core (a wrong request number or record size would
// give ENOTTY), which refuses the sensor's control on vivid's capture node.
TEST(vivid_sensor_mode, request_reaches_the_control_core) {
    probe_pipeline sensor(capture_node);
    ::testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(select_sensor_mode(sensor, 0x211C), -1);
    const int error = errno;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error selecting sensor mode via V4L2 control on " + capture_node + ": -1\n");
    EXPECT_EQ(error, EINVAL);
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
