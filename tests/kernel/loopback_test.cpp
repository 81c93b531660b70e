// Raw frames through the real kernel and back: vivid loops its HDMI output into its HDMI input
// byte for byte when both carry the same timings and format, so encoded sensor frames written
// to the output node come out of the capture node that a camera reads. With a 704-byte line
// stride on both ends the capture buffers carry the padded frame a Jetson video node delivers
// after its preferred stride was set; dual-depth frames have twice the lines.
#include <gtest/gtest.h>

#include <linux/videodev2.h>
#include <sys/mman.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <vorlake/tessaro/camera.hpp>

#include "capture/v4l2_stream.hpp"
#include "kernel/probe_pipeline.hpp"
#include "kernel/vivid_device.hpp"
#include "support/raw_frame_encoder.hpp"

namespace vorlake::tessaro {
namespace {

using namespace kernel_test;
namespace ts = test_support;

constexpr std::uint32_t video_output = V4L2_BUF_TYPE_VIDEO_OUTPUT;
// The loop starts with the next frame the capture side produces after the output buffer
// arrived; a few generated frames may come first.
constexpr int frames_to_wait = 30;

// vivid's output node, fed by hand with two mapped buffers. The driver shows the last queued
// buffer until another one is queued, so one buffer is enough to keep a picture on the loop.
class output_feeder {
public:
    output_feeder(const std::string& path, std::uint32_t stride, std::uint32_t height)
        : node(path), stride(stride), height(height) {}

    ~output_feeder() {
        std::uint32_t type = video_output;
        node.call(VIDIOC_STREAMOFF, &type);
        for (const auto& [address, length] : mappings)
            ::munmap(address, length);
    }

    int configure() {
        int output = hdmi_output;
        if (int result = node.call(VIDIOC_S_OUTPUT, &output); result != 0)
            return result;
        v4l2_dv_timings timings = raw_frame_timings(height);
        if (int result = node.call(VIDIOC_S_DV_TIMINGS, &timings); result != 0)
            return result;
        v4l2_format format{};
        format.type = video_output;
        format.fmt.pix.width = frame_width;
        format.fmt.pix.height = height;
        format.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
        format.fmt.pix.field = V4L2_FIELD_NONE;
        format.fmt.pix.bytesperline = stride;
        if (int result = node.call(VIDIOC_S_FMT, &format); result != 0)
            return result;
        if (format.fmt.pix.width != frame_width || format.fmt.pix.height != height ||
            format.fmt.pix.bytesperline != stride)
            return -EINVAL;

        v4l2_requestbuffers request{};
        request.count = 2;
        request.type = video_output;
        request.memory = V4L2_MEMORY_MMAP;
        if (int result = node.call(VIDIOC_REQBUFS, &request); result != 0)
            return result;
        for (std::uint32_t index = 0; index < request.count; ++index) {
            v4l2_buffer buffer{};
            buffer.index = index;
            buffer.type = video_output;
            buffer.memory = V4L2_MEMORY_MMAP;
            if (int result = node.call(VIDIOC_QUERYBUF, &buffer); result != 0)
                return result;
            void* address = ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED,
                                   node.fd(), buffer.m.offset);
            if (address == MAP_FAILED)
                return -errno;
            mappings.emplace_back(address, buffer.length);
        }
        return 0;
    }

    // Shows `frame` from now on; the first call also starts the output.
    int show(const std::vector<std::uint8_t>& frame) {
        const std::uint32_t index = next_index++ % mappings.size();
        if (next_index > mappings.size()) {
            // The buffer comes back once the driver moved on to the one queued after it.
            v4l2_buffer done{};
            done.type = video_output;
            done.memory = V4L2_MEMORY_MMAP;
            for (int attempt = 0; attempt < 200; ++attempt) {
                if (node.call(VIDIOC_DQBUF, &done) != -EAGAIN)
                    break;
                ::usleep(10'000);
            }
            if (done.index != index)
                return -EIO;
        }
        if (frame.size() > mappings[index].second)
            return -EINVAL;
        std::memcpy(mappings[index].first, frame.data(), frame.size());
        v4l2_buffer buffer{};
        buffer.index = index;
        buffer.type = video_output;
        buffer.memory = V4L2_MEMORY_MMAP;
        buffer.bytesused = static_cast<std::uint32_t>(frame.size());
        buffer.field = V4L2_FIELD_NONE;
        if (int result = node.call(VIDIOC_QBUF, &buffer); result != 0)
            return result;
        if (next_index == 1) {
            std::uint32_t type = video_output;
            return node.call(VIDIOC_STREAMON, &type);
        }
        return 0;
    }

private:
    device node;
    std::uint32_t stride;
    std::uint32_t height;
    std::vector<std::pair<void*, std::size_t>> mappings;
    std::size_t next_index = 0;
};

// The capture side sets a padded stride itself: the pipeline leaves the stride to the driver.
int set_capture_stride(const vivid_nodes& nodes, std::uint32_t stride, std::uint32_t height) {
    device capture(nodes.capture);
    v4l2_format format{};
    format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    format.fmt.pix.width = frame_width;
    format.fmt.pix.height = height;
    format.fmt.pix.pixelformat = V4L2_PIX_FMT_GREY;
    format.fmt.pix.field = V4L2_FIELD_NONE;
    format.fmt.pix.bytesperline = stride;
    if (int result = capture.call(VIDIOC_S_FMT, &format); result != 0)
        return result;
    return format.fmt.pix.bytesperline == stride &&
                   format.fmt.pix.sizeimage == stride * height
               ? 0
               : -EINVAL;
}

// Reads frames until one carries exactly `expected`. The camera keeps a padded frame compacted,
// so `expected` is always the packed frame.
const frame_buffer* wait_for(camera& cam, const std::vector<std::uint8_t>& expected) {
    for (int i = 0; i < frames_to_wait; ++i) {
        const frame_buffer& frame = cam.get_frame(2000);
        if (frame.error == 0 && frame.raw_image == expected)
            return &frame;
        if (i == frames_to_wait - 1) {
            const auto [sent, got] = std::mismatch(expected.begin(), expected.end(),
                                                   frame.raw_image.begin(),
                                                   frame.raw_image.end());
            ADD_FAILURE() << "last frame: error " << frame.error << ", " << frame.raw_image.size()
                          << " bytes, first difference at byte " << (sent - expected.begin());
        }
    }
    return nullptr;
}

void expect_decoded(const frame_buffer& frame, const ts::frame_values& values) {
    ASSERT_EQ(frame.error, 0);
    ASSERT_EQ(frame.noise_level.size(), ts::single_depth_pixels);
    ASSERT_EQ(frame.radial_depth.size(), 3u);
    for (std::size_t pixel = 0; pixel < ts::single_depth_pixels; ++pixel) {
        const ts::pixel_values& sent = values.pixels[pixel];
        ASSERT_EQ(frame.noise_level[pixel], sent.noise_level) << "pixel " << pixel;
        ASSERT_EQ(frame.histogram[pixel], sent.histogram) << "pixel " << pixel;
        ASSERT_EQ(frame.pdc[pixel], sent.pdc) << "pixel " << pixel;
        for (std::size_t echo = 0; echo < 3; ++echo) {
            ASSERT_EQ(frame.radial_depth[echo][pixel], sent.echoes[echo].radial_depth)
                << "pixel " << pixel << " echo " << echo;
        }
    }
}

struct loop_case {
    const char* name;
    std::uint32_t mode;
    bool dual;
    bool padded;
};

class vivid_loopback : public ::testing::TestWithParam<loop_case> {};

TEST_P(vivid_loopback, encoded_raw_frames_decode_after_a_trip_through_the_kernel) {
    const loop_case& test = GetParam();
    const std::uint32_t stride = test.padded ? 704 : frame_width;
    const std::uint32_t height = test.dual ? dual_frame_height : frame_height;
    const vivid_nodes nodes = find_vivid_nodes();
    ASSERT_FALSE(nodes.capture.empty());
    ASSERT_FALSE(nodes.output.empty());

    // Both ends carry the same timings and format; the loop only copies when they match.
    ASSERT_EQ(select_hdmi_input(nodes, height), 0);
    {
        device capture(nodes.capture);
        ASSERT_EQ(set_control(capture, "Loop Video", 1), 0);
    }
    probe_pipeline pipeline(nodes.media);
    ASSERT_EQ(pipeline.set_video_format(nodes.capture, frame_width, height, V4L2_PIX_FMT_GREY),
              0);
    if (test.padded) {
        ASSERT_EQ(set_capture_stride(nodes, stride, height), 0);
    }
    output_feeder output(nodes.output, stride, height);
    ASSERT_EQ(output.configure(), 0);

    const ts::frame_values first_values = ts::random_frame_values(7, test.dual, 3);
    const ts::frame_values second_values = ts::random_frame_values(8, test.dual, 3);
    const auto first = ts::encode_raw_frame(first_values, test.dual, false);
    const auto second = ts::encode_raw_frame(second_values, test.dual, false);
    const auto first_sent = ts::encode_raw_frame(first_values, test.dual, test.padded);
    const auto second_sent = ts::encode_raw_frame(second_values, test.dual, test.padded);
    ASSERT_EQ(first_sent.size(), stride * height);
    ASSERT_EQ(output.show(first_sent), 0);

    auto cam = create_camera_offline("vivid loop");
    cam->add_stream(stream_type::stream_image, std::make_unique<v4l2_stream>(
                                                   V4L2_BUF_TYPE_VIDEO_CAPTURE, nodes.capture,
                                                   "Image data"));
    ASSERT_EQ(cam->open(test.mode), 0);
    camera_output_configuration outputs;
    outputs.enable_radial_depth = true;
    outputs.enable_noise_level = true;
    outputs.enable_histogram = true;
    outputs.enable_pdc = true;
    ASSERT_EQ(cam->configure_camera_output(outputs), 0);
    ASSERT_EQ(cam->configure_camera_echo(3), 0);
    ASSERT_EQ(cam->start(), 0);

    // A dual-depth frame is merged down to one result per pixel; its decoding is checked
    // elsewhere, here it must arrive whole and decode without error.
    const frame_buffer* frame = wait_for(*cam, first);
    ASSERT_NE(frame, nullptr) << "the first frame never came back unchanged";
    if (!test.dual)
        expect_decoded(*frame, first_values);

    ASSERT_EQ(output.show(second_sent), 0);
    frame = wait_for(*cam, second);
    ASSERT_NE(frame, nullptr) << "the second frame never came back unchanged";
    if (!test.dual)
        expect_decoded(*frame, second_values);

    EXPECT_EQ(cam->stop(), 0);
    EXPECT_EQ(cam->close(), 0);
    device capture(nodes.capture);
    EXPECT_EQ(set_control(capture, "Loop Video", 0), 0);
}

INSTANTIATE_TEST_SUITE_P(frames, vivid_loopback,
                         ::testing::Values(loop_case{"single_packed", 0x211C, false, false},
                                           loop_case{"single_padded", 0x211C, false, true},
                                           loop_case{"dual_packed", 0x201C, true, false},
                                           loop_case{"dual_padded", 0x301C, true, true}),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace vorlake::tessaro
