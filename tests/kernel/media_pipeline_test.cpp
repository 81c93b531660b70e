// The media-controller layer on vivid's media device: the topology records, the sysfs lookup of
// device nodes and the link requests as the real media core answers them.
#include <gtest/gtest.h>

#include <linux/media.h>
#include <linux/videodev2.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

#include "kernel/probe_pipeline.hpp"
#include "pipeline/sensor_mode_control.hpp"
#include "kernel/vivid_device.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;

class vivid_media : public ::testing::Test {
protected:
    void SetUp() override {
        nodes = find_vivid_nodes();
        ASSERT_FALSE(nodes.capture.empty());
        ASSERT_FALSE(nodes.output.empty());
        pipeline = std::make_unique<probe_pipeline>(nodes.media);
        ASSERT_GE(pipeline->descriptor(), 0);
        ASSERT_EQ(pipeline->load_topology(links, interfaces, pads), 0);
    }

    vivid_nodes nodes;
    std::unique_ptr<probe_pipeline> pipeline;
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
};

// What the kernel counts, asked directly: the topology must hold exactly as many records.
media_v2_topology kernel_counts(const std::string& media) {
    device node(media);
    media_v2_topology topology{};
    EXPECT_EQ(node.call(MEDIA_IOC_G_TOPOLOGY, &topology), 0);
    return topology;
}

TEST_F(vivid_media, topology_holds_every_entity_with_its_device_node) {
    const media_v2_topology counts = kernel_counts(nodes.media);
    EXPECT_EQ(pipeline->entity_table().size(), counts.num_entities);
    EXPECT_EQ(links.size(), counts.num_links);
    EXPECT_EQ(interfaces.size(), counts.num_interfaces);
    EXPECT_EQ(pads.size(), counts.num_pads);

    const entity_info* capture = pipeline->find_entity("vivid-000-vid-cap");
    const entity_info* output = pipeline->find_entity("vivid-000-vid-out");
    ASSERT_NE(capture, nullptr);
    ASSERT_NE(output, nullptr);
    EXPECT_EQ(capture->device_node, nodes.capture);
    EXPECT_EQ(output->device_node, nodes.output);
    EXPECT_NE(capture->id, output->id);
    EXPECT_EQ(pipeline->entity_id("vivid-000-vid-cap"), static_cast<int>(capture->id));
    EXPECT_EQ(pipeline->find_entity_by_id(output->id), output);
    EXPECT_EQ(pipeline->entity_id("vivid-000-vid-cap "), -ENODEV);
    EXPECT_EQ(pipeline->find_entity_by_id(0xFFFFFFFF), nullptr);

    // Every entity that has a device node has it under /dev, with the numbers of its interface.
    for (const auto& [name, entity] : pipeline->entity_table()) {
        if (entity.device_node.empty())
            continue;
        struct stat status{};
        ASSERT_EQ(::stat(entity.device_node.c_str(), &status), 0) << name;
        EXPECT_TRUE(S_ISCHR(status.st_mode)) << name;
        bool interface_found = false;
        for (const media_v2_interface& interface : interfaces) {
            if (interface.devnode.major == major(status.st_rdev) &&
                interface.devnode.minor == minor(status.st_rdev))
                interface_found = true;
        }
        EXPECT_TRUE(interface_found) << name << " " << entity.device_node;
    }
}

TEST_F(vivid_media, device_numbers_resolve_through_sysfs) {
    struct stat status{};
    ASSERT_EQ(::stat(nodes.media.c_str(), &status), 0);
    EXPECT_EQ(pipeline->device_node_from_number(major(status.st_rdev), minor(status.st_rdev)),
              nodes.media);
    ASSERT_EQ(::stat(nodes.capture.c_str(), &status), 0);
    EXPECT_EQ(pipeline->device_node_from_number(major(status.st_rdev), minor(status.st_rdev)),
              nodes.capture);
    // A character device number nobody registered has no uevent file.
    EXPECT_EQ(pipeline->device_node_from_number(4095, 4095), "");
}

TEST_F(vivid_media, pads_and_links_are_consistent) {
    ASSERT_FALSE(pads.empty());
    std::set<std::uint32_t> entity_ids;
    for (const auto& [name, entity] : pipeline->entity_table())
        entity_ids.insert(entity.id);

    for (const media_v2_pad& pad : pads) {
        pad_ref found;
        ASSERT_EQ(pipeline->find_pad(pad.id, pads, found), 0);
        EXPECT_EQ(found.id, pad.id);
        EXPECT_EQ(found.entity_id, pad.entity_id);
        EXPECT_TRUE(entity_ids.count(pad.entity_id)) << "pad " << pad.id;
        // The counted position agrees with the index this kernel reports itself.
        EXPECT_EQ(found.index, pad.index) << "pad " << pad.id;
    }
    pad_ref unused;
    EXPECT_EQ(pipeline->find_pad(0xFFFFFFFF, pads, unused), -ENODEV);

    // vivid links its video nodes to their interfaces only: an interface link's ends are an
    // interface and an entity, never pads, and there is no data link between the two nodes.
    for (const media_v2_link& link : links) {
        ASSERT_EQ(link.flags & MEDIA_LNK_FL_LINK_TYPE, MEDIA_LNK_FL_INTERFACE_LINK);
        pad_ref end;
        EXPECT_EQ(pipeline->find_pad(link.source_id, pads, end), -ENODEV);
        EXPECT_TRUE(entity_ids.count(link.sink_id)) << "link " << link.id;
    }
    std::vector<link_ref> found{link_ref{}};
    EXPECT_EQ(pipeline->find_links("vivid-000-vid-out", "vivid-000-vid-cap", links, pads, found),
              -ENODEV);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(pipeline->find_links("no such entity", "vivid-000-vid-cap", links, pads, found),
              -ENODEV);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(pipeline->reset_links(links, pads), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

// The link request reaches the media core (a wrong request number or record size would give
// ENOTTY); the core then refuses a link between pads that are not linked.
TEST_F(vivid_media, link_setup_is_a_request_the_media_core_knows) {
    pad_ref capture_pad;
    pad_ref output_pad;
    const int capture_id = pipeline->entity_id("vivid-000-vid-cap");
    const int output_id = pipeline->entity_id("vivid-000-vid-out");
    for (const media_v2_pad& pad : pads) {
        if (pad.entity_id == static_cast<std::uint32_t>(capture_id))
            pipeline->find_pad(pad.id, pads, capture_pad);
        if (pad.entity_id == static_cast<std::uint32_t>(output_id))
            pipeline->find_pad(pad.id, pads, output_pad);
    }
    link_ref link{output_pad, capture_pad, 0};
    errno = 0;
    EXPECT_EQ(pipeline->setup_link(link, true), -1);
    EXPECT_EQ(errno, EINVAL);
    EXPECT_EQ(link.flags, 0u);
}

TEST_F(vivid_media, video_format_is_set_on_the_capture_node) {
    ASSERT_EQ(select_hdmi_input(nodes), 0);
    ASSERT_EQ(pipeline->set_video_format(nodes.capture, frame_width, frame_height,
                                         V4L2_PIX_FMT_GREY),
              0);
    device capture(nodes.capture);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    ASSERT_EQ(capture.call(VIDIOC_G_FMT, &format), 0);
    EXPECT_EQ(format.fmt.pix.width, frame_width);
    EXPECT_EQ(format.fmt.pix.height, frame_height);
    EXPECT_EQ(format.fmt.pix.pixelformat, V4L2_PIX_FMT_GREY);
    EXPECT_EQ(format.fmt.pix.field, V4L2_FIELD_NONE);
    EXPECT_EQ(format.fmt.pix.bytesperline, frame_width);
    EXPECT_EQ(format.fmt.pix.sizeimage, frame_bytes);

    // The request carries a capture buffer type: an output node refuses it.
    EXPECT_EQ(pipeline->set_video_format(nodes.output, frame_width, frame_height,
                                         V4L2_PIX_FMT_GREY),
              -EINVAL);
    EXPECT_EQ(pipeline->set_video_format("/dev/video77", frame_width, frame_height,
                                         V4L2_PIX_FMT_GREY),
              -ENOENT);
}

// A pipeline whose sensor controls sit on vivid's capture node, which has no mode menu.
class control_probe_pipeline : public probe_pipeline {
public:
    control_probe_pipeline(const std::string& media, std::string node)
        : probe_pipeline(media), node(std::move(node)) {}
    int get_sensor_device_node(std::string& out) override {
        out = node;
        return 0;
    }

private:
    std::string node;
};

// The control request reaches the control core (a wrong request number or record size would
// give ENOTTY), which refuses a control id the driver does not have.
TEST_F(vivid_media, sensor_mode_request_reaches_the_control_core) {
    control_probe_pipeline sensor(nodes.media, nodes.capture);
    ::testing::internal::CaptureStdout();
    errno = 0;
    EXPECT_EQ(select_sensor_mode(sensor, 0x211C), -1);
    const int error = errno;
    EXPECT_EQ(::testing::internal::GetCapturedStdout(),
              "Error selecting sensor mode via V4L2 control on " + nodes.capture + ": -1\n");
    EXPECT_EQ(error, EINVAL);
}

TEST(vivid_media_missing, a_missing_media_device_leaves_the_pipeline_closed) {
    probe_pipeline pipeline("/dev/media77");
    EXPECT_EQ(pipeline.descriptor(), -1);
    EXPECT_FALSE(pipeline.valid());
}

}  // namespace
}  // namespace vorlake::tessaro
