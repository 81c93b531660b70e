#include "pipeline/jetson_camera_pipeline.hpp"

#include <gtest/gtest.h>
#include <linux/media-bus-format.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <memory>
#include <string>
#include <vector>

#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;
using test_support::jetson_device;
using test_support::jetson_device_options;
using test_support::kernel_call;
using test_support::simulated_system;

constexpr char vorlake_keyword[] = "vorlake-csi2";
// A sensor driver other than the vorlake one: the pipeline is linked and formatted normally.
constexpr char plain_keyword[] = "imx704";

jetson_device_options plain_device() {
    jetson_device_options options;
    options.sensor_label = "imx704 30-0010";
    return options;
}

pipeline_configuration mode_configuration(bool dual) {
    pipeline_configuration config;
    config.image_height = dual ? 1176 : 588;
    config.ebd_height = dual ? 24 : 12;
    return config;
}

class jetson_pipeline_test : public ::testing::Test {
protected:
    // Builds the pipeline and returns what discovery wrote.
    std::string discover(const std::string& keyword) {
        CaptureStdout();
        pipeline = std::make_unique<jetson_camera_pipeline>(device.media_path, keyword);
        return GetCapturedStdout();
    }

    // Runs configure and returns what it wrote to the error stream.
    std::string configure(int expected, bool dual = false) {
        CaptureStderr();
        EXPECT_EQ(pipeline->configure(mode_configuration(dual)), expected);
        return GetCapturedStderr();
    }

    test_support::simulated_node& media() { return sys.kernel.node(device.media_path); }
    test_support::simulated_node& video() { return sys.kernel.node(device.image_node); }
    test_support::simulated_control& control(const std::string& name) {
        for (auto& each : video().controls) {
            if (each.name == name)
                return each;
        }
        throw std::logic_error("no control " + name);
    }
    test_support::simulated_control& stride_control() { return control("Preferred Stride"); }

    simulated_system sys;
    jetson_device device;
    std::unique_ptr<jetson_camera_pipeline> pipeline;
};

TEST_F(jetson_pipeline_test, safe_mode_discovery_finds_the_three_entities_and_resets_nothing) {
    device = sys.kernel.add_jetson_device({});
    const std::string out = discover(vorlake_keyword);

    EXPECT_EQ(out,
              "[DEBUG] Searching entities for camera keyword='vorlake-csi2'\n"
              "[DEBUG]   entity: 'vi-output, vorlake-csi2 9-0010'\n"
              "[DEBUG]   entity: 'vorlake-csi2 9-0010'\n"
              "[DEBUG]   entity: 'nvcsi--0'\n"
              "[DEBUG] camera_entity_name='vorlake-csi2 9-0010'\n"
              "[DEBUG] image_entity_name='vi-output, vorlake-csi2 9-0010'\n"
              "[DEBUG] actual_csi2_entity_name='nvcsi--0'\n"
              "[DEBUG] Vorlake pipeline detected: enabling safe mode\n");
    EXPECT_TRUE(pipeline->valid());
    EXPECT_TRUE(pipeline->in_safe_mode());
    EXPECT_EQ(sys.kernel.ioctls(MEDIA_IOC_SETUP_LINK), 0u);

    std::string image_node = "x", ebd_node = "x", sensor_node;
    EXPECT_EQ(pipeline->get_stream_device_nodes(image_node, ebd_node), 0);
    EXPECT_EQ(image_node, "/dev/video0");
    EXPECT_EQ(ebd_node, "");
    EXPECT_EQ(pipeline->get_sensor_device_node(sensor_node), 0);
    EXPECT_EQ(sensor_node, "/dev/v4l-subdev0");
}

TEST_F(jetson_pipeline_test, safe_mode_configure_sets_only_stride_and_video_format) {
    device = sys.kernel.add_jetson_device({});
    discover(vorlake_keyword);
    for (const bool dual : {false, true}) {
        SCOPED_TRACE(dual);
        EXPECT_EQ(configure(0, dual),
                  "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and "
                  "VIDIOC_SUBDEV_S_FMT\n");
        EXPECT_EQ(stride_control().written, std::vector<std::int32_t>(dual ? 2 : 1, 704));
        const v4l2_format& format = video().video_formats.back();
        EXPECT_EQ(format.type, V4L2_BUF_TYPE_VIDEO_CAPTURE);
        EXPECT_EQ(format.fmt.pix.width, 672u);
        EXPECT_EQ(format.fmt.pix.height, dual ? 1176u : 588u);
        EXPECT_EQ(format.fmt.pix.pixelformat, V4L2_PIX_FMT_GREY);
    }
    EXPECT_EQ(sys.kernel.ioctls(MEDIA_IOC_SETUP_LINK), 0u);
    EXPECT_EQ(sys.kernel.ioctls(VIDIOC_SUBDEV_S_FMT), 0u);
    // "Preferred Stride Mode" comes first in the list but is not the control asked for.
    EXPECT_TRUE(control("Preferred Stride Mode").written.empty());
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);  // the media device only
}

TEST_F(jetson_pipeline_test, normal_mode_resets_links_then_enables_and_formats) {
    device = sys.kernel.add_jetson_device(plain_device());
    const std::string out = discover(plain_keyword);
    EXPECT_EQ(out.find("safe mode"), std::string::npos);
    EXPECT_FALSE(pipeline->in_safe_mode());
    EXPECT_EQ(pipeline->camera_entity(), "imx704 30-0010");

    // Both data links were disabled; interface links were left alone.
    ASSERT_EQ(media().link_setups.size(), 2u);
    for (const media_link_desc& setup : media().link_setups)
        EXPECT_EQ(setup.flags & MEDIA_LNK_FL_ENABLED, 0u);
    for (const media_v2_link& link : media().links) {
        const bool interface = (link.flags & MEDIA_LNK_FL_LINK_TYPE) == MEDIA_LNK_FL_INTERFACE_LINK;
        EXPECT_EQ((link.flags & MEDIA_LNK_FL_ENABLED) != 0, interface);
    }

    EXPECT_EQ(configure(0), "");
    // The nvcsi source pad is the fourth pad of the topology but the entity's second.
    const media_link_desc& enable = media().link_setups.back();
    EXPECT_EQ(enable.source.entity, device.csi2_entity);
    EXPECT_EQ(enable.source.index, 1u);
    EXPECT_EQ(enable.source.flags, static_cast<std::uint32_t>(MEDIA_PAD_FL_SOURCE));
    EXPECT_EQ(enable.sink.entity, device.image_entity);
    EXPECT_EQ(enable.sink.index, 0u);
    EXPECT_EQ(enable.sink.flags, static_cast<std::uint32_t>(MEDIA_PAD_FL_SINK));
    EXPECT_EQ(enable.flags & MEDIA_LNK_FL_ENABLED, static_cast<std::uint32_t>(MEDIA_LNK_FL_ENABLED));

    const auto& pad_formats = sys.kernel.node(device.csi2_node).subdev_formats;
    ASSERT_EQ(pad_formats.size(), 1u);
    EXPECT_EQ(pad_formats[0].which, static_cast<std::uint32_t>(V4L2_SUBDEV_FORMAT_ACTIVE));
    EXPECT_EQ(pad_formats[0].pad, 0u);
    EXPECT_EQ(pad_formats[0].format.width, 672u);
    EXPECT_EQ(pad_formats[0].format.height, 588u);
    EXPECT_EQ(pad_formats[0].format.code, static_cast<std::uint32_t>(MEDIA_BUS_FMT_Y8_1X8));
    EXPECT_EQ(pad_formats[0].format.field, static_cast<std::uint32_t>(V4L2_FIELD_NONE));
    EXPECT_EQ(stride_control().written, std::vector<std::int32_t>{704});
    EXPECT_EQ(video().video_formats.back().fmt.pix.bytesperline, 704u);

    // Every configure enables the link and sets the formats afresh.
    EXPECT_EQ(configure(0, true), "");
    EXPECT_EQ(pad_formats.size(), 2u);
    EXPECT_EQ(pad_formats[1].format.height, 1176u);
}

TEST_F(jetson_pipeline_test, a_link_that_will_not_reset_is_reported_and_the_rest_go_on) {
    device = sys.kernel.add_jetson_device(plain_device());
    sys.kernel.fail_next(kernel_call::ioctl, EBUSY, 1, MEDIA_IOC_SETUP_LINK);
    CaptureStderr();
    discover(plain_keyword);
    EXPECT_EQ(GetCapturedStderr(), "Reset pipeline failed to disable link with src={" +
                                       std::to_string(device.sensor_entity) + ", 0} and sink={" +
                                       std::to_string(device.csi2_entity) + ", 0}\n");
    EXPECT_EQ(sys.kernel.ioctls(MEDIA_IOC_SETUP_LINK), 2u);
    EXPECT_TRUE(pipeline->valid());
}

TEST_F(jetson_pipeline_test, immutable_links_are_not_reset) {
    device = sys.kernel.add_jetson_device(plain_device());
    for (media_v2_link& link : media().links)
        link.flags |= MEDIA_LNK_FL_IMMUTABLE;
    discover(plain_keyword);
    EXPECT_EQ(sys.kernel.ioctls(MEDIA_IOC_SETUP_LINK), 0u);
}

TEST_F(jetson_pipeline_test, configure_failures_and_warnings) {
    struct fault_case {
        const char* name;
        bool safe;
        unsigned long request;  // ioctl that fails with EIO
        int result;
        std::string message;
    };
    const fault_case cases[] = {
        {"enable link", false, MEDIA_IOC_SETUP_LINK, -1, "Failed to enable link for image data: -1\n"},
        {"pad format", false, VIDIOC_SUBDEV_S_FMT, 0,
         "Warning: failed to set pad format for image data: -5 (ignored)\n"},
        {"stride", false, VIDIOC_S_CTRL, 0,
         "Warning: failed to set preferred_stride=704 on /dev/video0: -5 (ignored)\n"},
        {"video format", false, VIDIOC_S_FMT, -EIO,
         "Warning: failed to set format for /dev/video0: -5\n"},
        {"video format, safe", true, VIDIOC_S_FMT, 0,
         "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n"
         "Warning: failed to set format for /dev/video0: -5 (ignored in safe mode)\n"},
    };
    for (const fault_case& each : cases) {
        SCOPED_TRACE(each.name);
        simulated_system local;
        scoped_kernel_calls guard{local.kernel};
        device = local.kernel.add_jetson_device(each.safe ? jetson_device_options{} : plain_device());
        CaptureStderr();
        discover(each.safe ? vorlake_keyword : plain_keyword);
        GetCapturedStderr();
        local.kernel.fail_next(kernel_call::ioctl, EIO, 1, each.request);
        CaptureStderr();
        EXPECT_EQ(pipeline->configure(mode_configuration(false)), each.result);
        EXPECT_EQ(GetCapturedStderr(), each.message);
        pipeline.reset();
        EXPECT_EQ(local.kernel.open_descriptors(), 0u);
    }
}

TEST_F(jetson_pipeline_test, preferred_stride_missing_disabled_or_unopenable) {
    const std::string safe_line =
        "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n";
    device = sys.kernel.add_jetson_device({});
    discover(vorlake_keyword);

    stride_control().flags = V4L2_CTRL_FLAG_DISABLED;
    EXPECT_EQ(configure(0),
              safe_line + "Warning: failed to set preferred_stride=704 on /dev/video0: -22 (ignored)\n");

    std::erase_if(video().controls, [](const auto& c) { return c.name == "Preferred Stride"; });
    EXPECT_EQ(configure(0),
              safe_line + "Warning: failed to set preferred_stride=704 on /dev/video0: -2 (ignored)\n");
    EXPECT_EQ(video().video_formats.size(), 2u);  // the format is set all the same

    // A failing query ends the search as the end of the list does.
    video().controls.push_back({0x009a2064, "Preferred Stride", 0, 0, {}});
    sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, VIDIOC_QUERYCTRL);
    EXPECT_EQ(configure(0),
              safe_line + "Warning: failed to set preferred_stride=704 on /dev/video0: -2 (ignored)\n");

    video().open_error = EACCES;
    EXPECT_EQ(configure(0),
              safe_line + "Warning: failed to set preferred_stride=704 on /dev/video0: -13 (ignored)\n"
                          "Warning: failed to set format for /dev/video0: -13 (ignored in safe mode)\n");
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
}

TEST_F(jetson_pipeline_test, missing_links_are_reported_with_arrows) {
    jetson_device_options safe;
    safe.with_data_links = false;
    device = sys.kernel.add_jetson_device(safe);
    std::string out = discover(vorlake_keyword);
    EXPECT_NE(out.find("[DEBUG] Vorlake pipeline detected: enabling safe mode\n"
                       "Jetson pipeline: link nvcsi \u2192 vi-output not found\n"
                       "Jetson pipeline: link camera \u2192 nvcsi not found\n"),
              std::string::npos);
    EXPECT_TRUE(pipeline->valid());
    EXPECT_EQ(configure(0),
              "[SAFE_MODE] Vorlake detected: skipping MEDIA_IOC_SETUP_LINK and VIDIOC_SUBDEV_S_FMT\n");

    // Outside safe mode discovery stops at the first missing link.
    simulated_system plain;
    scoped_kernel_calls guard{plain.kernel};
    jetson_device_options options = plain_device();
    options.with_data_links = false;
    device = plain.kernel.add_jetson_device(options);
    out = discover(plain_keyword);
    EXPECT_NE(out.find("Jetson pipeline: link nvcsi \u2192 vi-output not found\n"), std::string::npos);
    EXPECT_EQ(out.find("link camera"), std::string::npos);
    pipeline.reset();
}

TEST_F(jetson_pipeline_test, missing_entities) {
    device = sys.kernel.add_jetson_device({});
    std::string out = discover("absent");
    EXPECT_NE(out.find("[DEBUG] camera_entity_name=''\n"), std::string::npos);
    EXPECT_TRUE(out.ends_with("Jetson pipeline: camera entity 'absent' not found\n"));
    EXPECT_FALSE(pipeline->valid());
    EXPECT_EQ(configure(-ENODEV), "");
    std::string node;
    EXPECT_EQ(pipeline->get_sensor_device_node(node), -ENODEV);

    // Without a vi-output entity, discovery stops before safe mode is decided.
    simulated_system no_video;
    scoped_kernel_calls guard{no_video.kernel};
    jetson_device_options options;
    options.with_vi_output = false;
    device = no_video.kernel.add_jetson_device(options);
    out = discover(vorlake_keyword);
    EXPECT_TRUE(out.ends_with("Jetson pipeline: vi-output entity for 'vorlake-csi2' not found\n"));
    EXPECT_TRUE(pipeline->valid());
    EXPECT_FALSE(pipeline->in_safe_mode());
    EXPECT_EQ(configure(-1), "Failed to enable link for image data: -1\n");
    std::string image_node, ebd_node;
    EXPECT_EQ(pipeline->get_stream_device_nodes(image_node, ebd_node), -ENODEV);
    pipeline.reset();
}

TEST_F(jetson_pipeline_test, an_entity_that_is_both_nvcsi_and_vi_output_is_not_the_receiver) {
    device = sys.kernel.add_jetson_device({});
    test_support::simulated_kernel::add_entity(media(), "vi-output, nvcsi-shadow");
    discover(vorlake_keyword);
    EXPECT_EQ(pipeline->csi2_entity(), "nvcsi--0");
}

TEST_F(jetson_pipeline_test, an_unopenable_media_device_gives_an_invalid_pipeline_silently) {
    device = sys.kernel.add_jetson_device({});
    media().open_error = EACCES;
    EXPECT_EQ(discover(vorlake_keyword), "");
    EXPECT_FALSE(pipeline->valid());
    pipeline.reset();
    EXPECT_EQ(sys.kernel.open_descriptors(), 0u);
}

}  // namespace
}  // namespace vorlake::tessaro
