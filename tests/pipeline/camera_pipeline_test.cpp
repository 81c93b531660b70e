#include <vorlake/tessaro/camera_pipeline.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::kernel_call;
using test_support::simulated_kernel;
using test_support::simulated_system;

// The generic media-controller layer on its own.
class bare_pipeline : public camera_pipeline {
public:
    using camera_pipeline::camera_pipeline;
    int get_stream_device_nodes(std::string&, std::string&) override { return 0; }
    int get_sensor_device_node(std::string&) override { return 0; }
    int configure(const pipeline_configuration&) override { return 0; }
};

class camera_pipeline_test : public ::testing::Test {
protected:
    camera_pipeline_test() : media(sys.kernel.add_media_device("/dev/media0")) {}

    int load(bare_pipeline& pipeline) { return pipeline.load_topology(links, interfaces, pads); }

    simulated_system sys;
    test_support::simulated_node& media;
    std::vector<media_v2_link> links;
    std::vector<media_v2_interface> interfaces;
    std::vector<media_v2_pad> pads;
};

TEST_F(camera_pipeline_test, pads_are_counted_within_their_entity) {
    const auto a = simulated_kernel::add_entity(media, "a");
    const auto b = simulated_kernel::add_entity(media, "b");
    std::vector<std::uint32_t> a_pads, b_pads;
    for (int i = 0; i < 3; ++i) {
        a_pads.push_back(simulated_kernel::add_pad(media, a, MEDIA_PAD_FL_SOURCE));
        b_pads.push_back(simulated_kernel::add_pad(media, b, MEDIA_PAD_FL_SINK));
    }
    // The pads' own index fields are not to be relied on.
    for (media_v2_pad& pad : media.pads)
        pad.index = 99;
    bare_pipeline pipeline("/dev/media0");
    ASSERT_EQ(load(pipeline), 0);

    pad_ref ref;
    ASSERT_EQ(pipeline.find_pad(a_pads[2], pads, ref), 0);
    EXPECT_EQ(ref.id, a_pads[2]);
    EXPECT_EQ(ref.entity_id, a);
    EXPECT_EQ(ref.index, 2u);
    ASSERT_EQ(pipeline.find_pad(b_pads[1], pads, ref), 0);
    EXPECT_EQ(ref.index, 1u);
    EXPECT_EQ(pipeline.find_pad(12345, pads, ref), -ENODEV);
}

TEST_F(camera_pipeline_test, device_nodes_come_from_interface_links_and_uevent_files) {
    const auto with_node = simulated_kernel::add_entity(media, "with node");
    const auto without_link = simulated_kernel::add_entity(media, "without link");
    const auto dangling = simulated_kernel::add_entity(media, "dangling interface");
    const auto no_devname = simulated_kernel::add_entity(media, "no devname");
    const auto renamed = simulated_kernel::add_entity(media, "renamed");

    sys.kernel.add_file("/sys/dev/char/81:1/uevent", "MAJOR=81\nMINOR=1\nDEVNAME=video1\n");
    simulated_kernel::add_interface(media, with_node, 81, 1);
    simulated_kernel::add_link(media, 4242, dangling, MEDIA_LNK_FL_INTERFACE_LINK);
    sys.kernel.add_file("/sys/dev/char/81:2/uevent", "MAJOR=81\nMINOR=2\n");
    simulated_kernel::add_interface(media, no_devname, 81, 2);
    sys.kernel.add_file("/sys/dev/char/81:3/uevent", "DEVNAME=old\nDEVNAME=v4l-subdev3");
    simulated_kernel::add_interface(media, renamed, 81, 3);
    (void)without_link;

    bare_pipeline pipeline("/dev/media0");
    ASSERT_EQ(load(pipeline), 0);
    const auto node_of = [&](const std::string& name) {
        const entity_info* entity = pipeline.find_entity(name);
        return entity ? entity->device_node : std::string("<absent>");
    };
    EXPECT_EQ(node_of("with node"), "/dev/video1");
    EXPECT_EQ(node_of("without link"), "");
    EXPECT_EQ(node_of("dangling interface"), "");
    EXPECT_EQ(node_of("no devname"), "");
    EXPECT_EQ(node_of("renamed"), "/dev/v4l-subdev3");  // the last DEVNAME line wins
    EXPECT_EQ(pipeline.device_node_from_number(81, 77), "");  // no uevent file

    EXPECT_EQ(pipeline.entity_id("renamed"), static_cast<int>(renamed));
    EXPECT_EQ(pipeline.entity_id("nobody"), -ENODEV);
    ASSERT_NE(pipeline.find_entity_by_id(with_node), nullptr);
    EXPECT_EQ(pipeline.find_entity_by_id(with_node)->device_node, "/dev/video1");
    EXPECT_EQ(pipeline.find_entity_by_id(9999), nullptr);
}

TEST_F(camera_pipeline_test, find_links_keeps_the_data_links_between_two_entities) {
    const auto source = simulated_kernel::add_entity(media, "source");
    const auto sink = simulated_kernel::add_entity(media, "sink");
    const auto other = simulated_kernel::add_entity(media, "other");
    const auto out0 = simulated_kernel::add_pad(media, source, MEDIA_PAD_FL_SOURCE);
    const auto out1 = simulated_kernel::add_pad(media, source, MEDIA_PAD_FL_SOURCE);
    const auto in0 = simulated_kernel::add_pad(media, sink, MEDIA_PAD_FL_SINK);
    const auto in_other = simulated_kernel::add_pad(media, other, MEDIA_PAD_FL_SINK);
    simulated_kernel::add_link(media, out0, in_other, 0);
    simulated_kernel::add_link(media, out1, in0, MEDIA_LNK_FL_ENABLED);
    simulated_kernel::add_link(media, out0, in0, MEDIA_LNK_FL_IMMUTABLE);

    bare_pipeline pipeline("/dev/media0");
    ASSERT_EQ(load(pipeline), 0);
    std::vector<link_ref> found;
    ASSERT_EQ(pipeline.find_links("source", "sink", links, pads, found), 0);
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].source.index, 1u);
    EXPECT_EQ(found[0].sink.id, in0);
    EXPECT_EQ(found[0].flags, static_cast<std::uint32_t>(MEDIA_LNK_FL_ENABLED));
    EXPECT_EQ(found[1].source.index, 0u);

    EXPECT_EQ(pipeline.find_links("sink", "source", links, pads, found), -ENODEV);
    EXPECT_TRUE(found.empty());
    EXPECT_EQ(pipeline.find_links("source", "nobody", links, pads, found), -ENODEV);

    // A data link whose pad is unknown stops the search at once.
    links.push_back(media_v2_link{999, 777, in0, 0, {}});
    EXPECT_EQ(pipeline.find_links("source", "sink", links, pads, found), -ENODEV);

    // Enabling updates the caller's flags; the kernel's answer is passed through.
    link_ref link = {pad_ref{out1, source, 1}, pad_ref{in0, sink, 0}, 0};
    EXPECT_EQ(pipeline.setup_link(link, true), 0);
    EXPECT_EQ(link.flags, static_cast<std::uint32_t>(MEDIA_LNK_FL_ENABLED));
    link.source.index = 7;
    EXPECT_EQ(pipeline.setup_link(link, false), -1);
    EXPECT_EQ(link.flags, static_cast<std::uint32_t>(MEDIA_LNK_FL_ENABLED));
}

TEST_F(camera_pipeline_test, topology_failures) {
    simulated_kernel::add_entity(media, "a");
    bare_pipeline pipeline("/dev/media0");
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, MEDIA_IOC_G_TOPOLOGY);
    EXPECT_EQ(load(pipeline), -1);
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, MEDIA_IOC_G_TOPOLOGY, {}, 1);
    EXPECT_EQ(load(pipeline), -1);

    bare_pipeline missing("/dev/media7");
    EXPECT_FALSE(missing.valid());
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
}

TEST_F(camera_pipeline_test, formats_need_an_openable_node) {
    const auto sensor = simulated_kernel::add_entity(media, "sensor");
    sys.kernel.add_char_device("/dev/v4l-subdev0", 81);
    simulated_kernel::add_interface(media, sensor, 81, 0);
    bare_pipeline pipeline("/dev/media0");
    ASSERT_EQ(load(pipeline), 0);

    EXPECT_EQ(pipeline.set_pad_format(pad_ref{1, sensor, 3}, 672, 588, 0x2001), 0);
    EXPECT_EQ(sys.kernel.node("/dev/v4l-subdev0").subdev_formats.at(0).pad, 3u);
    EXPECT_EQ(pipeline.set_pad_format(pad_ref{1, 4242, 0}, 672, 588, 0x2001), -ENODEV);
    sys.kernel.node("/dev/v4l-subdev0").open_error = EPERM;
    EXPECT_EQ(pipeline.set_pad_format(pad_ref{1, sensor, 0}, 672, 588, 0x2001), -EPERM);
    EXPECT_EQ(pipeline.set_video_format("/dev/video5", 672, 588, 0), -ENOENT);
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
}

}  // namespace
}  // namespace vorlake::tessaro
