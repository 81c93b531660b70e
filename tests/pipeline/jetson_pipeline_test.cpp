#include "pipeline/jetson_camera_pipeline.hpp"
#include "pipeline/sensor_mode_control.hpp"

#include <functional>
#include <tuple>

#include "support/captured_output.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using test_support::jetson_device_options;
using test_support::kernel_call;
using test_support::simulated_kernel;

const std::string safe_line = "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n";

// A sensor driver other than the vorlake one: the pipeline is linked and formatted normally.
const jetson_device_options plain_device{.sensors = {"imx704 30-0010"}};

class jetson_pipeline_test : public ::testing::Test {
protected:
    // The old system must have been left tidy. A new one gets the device, changed as a test
    // wants, and its pipeline; returns what discovery wrote.
    test_support::captured_output discover(const jetson_device_options& options = {},
                                           const std::function<void(simulated_kernel&)>& change = {}) {
        pipeline.reset();
        EXPECT_EQ(sys->kernel.descriptors.size(), 0u);
        sys.emplace();  // the old one gone first: one simulated kernel at a time
        sys->kernel.add_jetson_device(options);
        if (change)
            change(sys->kernel);
        const std::string keyword = options.sensors[0].substr(0, options.sensors[0].find(' '));
        return test_support::output_of([&] { pipeline = std::make_unique<jetson_camera_pipeline>("/dev/media0", keyword); });
    }
    void TearDown() override { discover(); }
    // Runs configure and returns what it wrote to the error stream.
    std::string configure(int expected, bool dual = false) {
        pipeline_configuration config;
        config.image_height = dual ? 1176 : 588;
        return test_support::output_of([&] { EXPECT_EQ(pipeline->configure(config), expected); }).err;
    }
    test_support::simulated_node& node(const std::string& path) { return sys->kernel.nodes.at(path); }
    // Whether the sensor-to-nvcsi and the nvcsi-to-vi-output links are enabled.
    std::pair<bool, bool> data_links_enabled() {
        const std::vector<media_v2_link>& links = node("/dev/media0").links;
        return {(links[0].flags & MEDIA_LNK_FL_ENABLED) != 0, (links[1].flags & MEDIA_LNK_FL_ENABLED) != 0};
    }

    std::optional<test_support::simulated_system> sys{std::in_place};
    std::unique_ptr<jetson_camera_pipeline> pipeline;
};

// Safe mode sets only the stride and the video format; otherwise the links are reset (an
// immutable one is not even tried), then the data path enabled and formatted. Older kernels leave
// the pads' index fields zero: the pipeline counts them itself (the nvcsi source pad is the fourth
// of the topology but its entity's second).
TEST_F(jetson_pipeline_test, both_modes_configure_the_data_path) {
    for (const bool safe : {true, false}) {
        EXPECT_EQ(discover(safe ? jetson_device_options{} : plain_device, [](simulated_kernel& kernel) {
            for (media_v2_pad& pad : kernel.nodes.at("/dev/media0").pads)
                pad.index = 0;
            kernel.nodes.at("/dev/media0").links[0].flags |= MEDIA_LNK_FL_IMMUTABLE;
        }).err, "");
        EXPECT_EQ(data_links_enabled(), std::pair(true, safe));
        for (const bool dual : {false, true}) {
            ASSERT_EQ(configure(0, dual), safe ? safe_line : "");
            const v4l2_pix_format& format = node("/dev/video0").video_formats.back().fmt.pix;
            EXPECT_EQ(std::tuple(format.width, format.height, format.pixelformat, format.bytesperline),
                      std::tuple(672u, dual ? 1176u : 588u, V4L2_PIX_FMT_GREY, 704u));
        }
        EXPECT_EQ(node("/dev/video0").controls[2].written, (std::vector<std::int32_t>{704, 704}));
        EXPECT_EQ(sys->kernel.ioctls[MEDIA_IOC_SETUP_LINK] == 0, safe);
        EXPECT_EQ(data_links_enabled(), std::pair(true, true));
    }
}

// A link that cannot be reset leaves the others to be reset; a failing stride leaves the format
// to be set all the same; outside safe mode only the pad format may fail.
TEST_F(jetson_pipeline_test, failures_and_warnings) {
    const std::string format = "Warning: failed to set format for /dev/video0: -5";
    const std::string stride = "Warning: failed to set preferred_stride=704 on /dev/video0: -5 (ignored)\n";
    const std::string reset = "Reset pipeline failed to disable link with src={1, 0} and sink={2, 0}\n";
    // The request fails with EIO after as many of its kind as skip.
    const std::tuple<bool, unsigned long, int, int, std::string> cases[] = {
        {false, MEDIA_IOC_SETUP_LINK, 0, 0, reset}, {false, MEDIA_IOC_SETUP_LINK, 2, -1, "Failed to enable link for image data: -1\n"},
        {false, VIDIOC_SUBDEV_S_FMT, 0, 0, "Warning: failed to set pad format for image data: -5 (ignored)\n"},
        {false, VIDIOC_S_FMT, 0, -EIO, format + "\n"},
        {true, VIDIOC_S_FMT, 0, 0, safe_line + format + " (ignored in safe mode)\n"},
        {true, VIDIOC_S_CTRL, 0, 0, safe_line + stride},
    };
    for (const auto& [safe, request, skip, result, message] : cases) {
        const std::string found = discover(safe ? jetson_device_options{} : plain_device, [&](simulated_kernel& kernel) {
            kernel.fail_next(kernel_call::ioctl, EIO, 1, request, skip);
        }).err;
        EXPECT_EQ(data_links_enabled().second, safe) << message;
        EXPECT_EQ(found + configure(result), message);
        EXPECT_EQ(node("/dev/video0").video_formats.size(), result == 0 && request != VIDIOC_S_FMT) << message;
    }
}
// One media device, two sensors whose vi-outputs were registered in reverse: the camera, the
// nvcsi and the vi-output chosen form one linked chain, in safe mode and outside it; without
// data links the vi-output's label tells which sensor it carries.
TEST_F(jetson_pipeline_test, several_sensors_give_one_linked_chain) {
    struct chain_case { std::string family; bool links; };
    for (const auto& [family, links] : {chain_case{"vorlake-csi2", true}, {"imx704", true}, {"vorlake-csi2", false}}) {
        const jetson_device_options options{.sensors = {family + " 9-0010", family + " 10-0010"}, .with_data_links = links};
        EXPECT_EQ(discover(options).out.find("not found") == std::string::npos, links);
        EXPECT_EQ(pipeline->camera_entity() + "|" + pipeline->image_entity(), options.sensors[0] + "|vi-output, " + options.sensors[0]);
        EXPECT_TRUE(!links || pipeline->csi2_entity() == "nvcsi--0");
        std::string image_node, ebd_node = "x", sensor_node;
        EXPECT_EQ(pipeline->get_stream_device_nodes(image_node, ebd_node) + pipeline->get_sensor_device_node(sensor_node), 0);
        EXPECT_EQ(image_node + "|" + ebd_node + "|" + sensor_node, "/dev/video0||/dev/v4l-subdev0");
    }
}

// Each sensor of a four-sensor device, outside safe mode, gets a pipeline of its own chain:
// discovery resets that chain's links and no other's, configure enables and formats only its
// image path, and a sensor mode reaches only its own sensor.
TEST_F(jetson_pipeline_test, each_sensor_of_a_device_has_a_chain_of_its_own) {
    const jetson_device_options options{.sensors = {"imx704 9-0010", "imx704 9-0011", "imx704 9-0012", "imx704 9-0013"}};
    for (unsigned k = 0; k < 4; ++k) {
        discover(options);
        for (media_v2_link& link : node("/dev/media0").links)
            link.flags |= MEDIA_LNK_FL_ENABLED;
        const std::string sensor = options.sensors[k], unit = std::to_string(k);
        test_support::output_of([&] { pipeline = std::make_unique<jetson_camera_pipeline>("/dev/media0", "imx704", sensor); });
        EXPECT_EQ(pipeline->camera_entity() + "|" + pipeline->image_entity() + "|" + pipeline->csi2_entity(),
                  sensor + "|vi-output, " + sensor + "|nvcsi--" + unit);
        configure(0);
        test_support::output_of([&] { EXPECT_EQ(select_sensor_mode(*pipeline, 0x211c), 0); });
        for (unsigned j = 0; j < 4; ++j) {
            // Enabled data links (sensor to nvcsi, nvcsi to vi-output): only its own sensor link stays reset.
            const std::vector<media_v2_link>& links = node("/dev/media0").links;
            EXPECT_EQ(links[5 * j].flags + links[5 * j + 1].flags, j == k ? 1u : 2u) << k << " " << j;
            EXPECT_EQ(node("/dev/video" + std::to_string(j)).video_formats.size(), j == k);
            EXPECT_EQ(node("/dev/v4l-subdev" + std::to_string(2 * j)).controls[1].written, std::vector<std::int32_t>(j == k, 3));
        }
    }
}

// Counts beyond what a media graph holds make the device unusable, never a huge allocation.
TEST_F(jetson_pipeline_test, absurd_topology_counts_are_refused) {
    const media_v2_topology truth{0, 3, 0, 0, 3, 0, 0, 4, 0, 0, 5, 0, 0};  // 3 entities, 3 interfaces, 4 pads, 5 links
    for (auto count : {&media_v2_topology::num_entities, &media_v2_topology::num_interfaces, &media_v2_topology::num_pads,
                       &media_v2_topology::num_links}) {
        EXPECT_NO_THROW(discover({}, [&](simulated_kernel& kernel) {
            media_v2_topology& counts = kernel.nodes.at("/dev/media0").counts.emplace(truth);
            counts.*count = (1u << 16) + 1;
        }));
        EXPECT_FALSE(pipeline->valid());
    }
}

// Each mode sets its menu index on the sensor's node, or without one on the vi-output's.
TEST_F(jetson_pipeline_test, every_sensor_mode_sets_its_menu_index) {
    discover();
    test_support::output_of([&] {
        for (const std::uint32_t mode : {0x311c, 0x321c, 0x301c, 0x211c, 0x221c, 0x201c})
            EXPECT_EQ(select_sensor_mode(*pipeline, mode), 0);
        EXPECT_EQ(select_sensor_mode(*pipeline, 0x301d), -EINVAL);
    });
    EXPECT_EQ(node("/dev/v4l-subdev0").controls[1].written, (std::vector<std::int32_t>{0, 1, 2, 3, 4, 5}));
    discover({.sensor_has_node = false});
    test_support::output_of([&] { EXPECT_EQ(select_sensor_mode(*pipeline, 0x211c), 0); });
    EXPECT_EQ(node("/dev/video0").controls[0].written, std::vector<std::int32_t>{3});
}

}  // namespace
}  // namespace vorlake::tessaro
