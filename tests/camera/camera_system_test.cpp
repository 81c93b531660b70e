// Cameras discovered on simulated Jetson media devices and driven end to end: pipeline, sensor
// mode, capture through mapped driver buffers, decoding, and where their lines go.
#include <vorlake/tessaro/camera_manager.hpp>
#include <vorlake/tessaro/messages.hpp>

#include <algorithm>
#include <stdexcept>

#include "support/captured_output.hpp"
#include "support/raw_frame_encoder.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

class camera_system_test : public ::testing::Test {
protected:
    // The manager outlives every test: leave it holding nothing of this simulated system.
    void TearDown() override {
        sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
        output_of([&] { EXPECT_EQ(manager.init(), 0); });
        EXPECT_EQ(sys.kernel.descriptors.size() + sys.kernel.mappings.size(), 0u);
    }

    simulated_system sys;
    camera_manager& manager = camera_manager::instance();
};

// Only IMX704 pipelines are cameras, known by their exact id. An installed sink gets every line
// with its severity (progress informational, failures errors) and the standard streams nothing;
// one that throws loses its line, not the operation. Frames with 704-byte lines, more than there
// are driver buffers, decode in both modes; each buffer's sequence and monotonic time reach its
// frame, and a gap in the sequence counts as dropped frames.
TEST_F(camera_system_test, a_discovered_camera_streams_in_both_modes) {
    sys.kernel.add_jetson_device({});
    std::vector<std::pair<message_severity, std::string>> lines;
    std::shared_ptr<camera> cam;
    set_message_sink([&](message_severity severity, std::string_view text) { lines.emplace_back(severity, text); });
    const captured_output output = output_of([&] {
        EXPECT_EQ(manager.init(), 0);
        ASSERT_NE(cam = manager.get_camera("media0/IMX704"), nullptr);
        EXPECT_EQ(cam->open(0x301C), 0);
        EXPECT_TRUE(std::ranges::all_of(lines, [](const auto& line) { return line.first == message_severity::info; }));
        EXPECT_EQ(cam->get_frame(0).error, -EACCES);
        EXPECT_EQ(lines.back(), std::pair(message_severity::error, std::string("Cannot get a frame: camera not streaming")));
        set_message_sink([](message_severity, std::string_view) { throw std::runtime_error("full"); });
        EXPECT_EQ(cam->get_frame(0).error, -EACCES);
    });
    set_message_sink(nullptr);
    EXPECT_EQ(output.out + output.err, "");
    EXPECT_EQ(printing("Camera 'media0/imx704' not found", [&] { return manager.get_camera("media0/imx704"); }), nullptr);

    simulated_queue& queue = sys.kernel.queue("/dev/video0");
    for (const bool dual : {true, false}) {
        if (!dual)
            output_of([&] { ASSERT_EQ(cam->close() + cam->open(0x311C), 0); });
        EXPECT_EQ(sys.kernel.nodes.at("/dev/v4l-subdev0").controls[1].written.back(), dual ? 2 : 0);
        ASSERT_EQ(cam->configure_camera_output({true, true, true, true, true, true, true, true}) + cam->configure_camera_echo(3), 0);
        ASSERT_EQ(cam->start(), 0);
        for (unsigned seed = 0; seed < 6; ++seed) {
            const frame_values values = random_frame_values(seed, dual, 3);
            queue.sequence = seed + (seed >= 3 ? 2 : 0);
            queue.timestamp_flags = seed == 5 ? V4L2_BUF_FLAG_TIMESTAMP_COPY : V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
            sys.kernel.push_frame("/dev/video0", encode_raw_frame(values, dual, true));
            const frame_buffer& frame = cam->get_frame(100);
            ASSERT_EQ(frame.error, 0);
            // Another clock's timestamp is not a capture time.
            const std::uint64_t time = seed == 5 ? 0 : (99 + queue.sequence) * 1'000'000'000ull + 250'000;
            EXPECT_EQ(std::tuple(frame.sequence, frame.dropped_frames, frame.capture_time_ns),
                      std::tuple(queue.sequence - 1, seed == 3 ? 2u : 0u, time));
            EXPECT_EQ(frame.raw_image, encode_raw_frame(values, dual, false));  // the padding stripped
        }
        EXPECT_EQ(cam->get_dropped_frames(), 2u);
        EXPECT_EQ(cam->stop(), 0);
    }
    ASSERT_EQ(cam->start(), 0);  // dropped while streaming: nothing may stay open
    sys.kernel.add_jetson_device({.number = 2, .sensors = {"imx219 9-0010"}});
    sys.kernel.directories[simulated_kernel::media_devices_directory].push_back("media9");  // no node
    output_of([&] { EXPECT_EQ(manager.init(), 0); });
    EXPECT_EQ(manager.get_camera_list().size(), 1u);
}

// A device with one sensor is discovered exactly as before, line for line. On a device with
// several, discovery's choice keeps the device's id and answers to its sensor's id as well; every
// other sensor with a complete chain is a camera of its own, one without is skipped and said so.
TEST_F(camera_system_test, every_sensor_with_a_chain_is_a_camera) {
    const std::string s = "vorlake-csi2 ", debug = "[DEBUG] ", seen = debug + "  entity: '";
    sys.kernel.add_jetson_device({});
    EXPECT_EQ(output_of([&] { manager.init(); }).out,
              debug + "Searching entities for camera keyword='vorlake-csi2'\n" + seen + "vi-output, " + s + "9-0010'\n" + seen + s +
                  "9-0010'\n" + seen + "nvcsi--0'\n" + debug + "camera_entity_name='" + s + "9-0010'\n" + debug +
                  "image_entity_name='vi-output, " + s + "9-0010'\n" + debug + "actual_csi2_entity_name='nvcsi--0'\n" + debug +
                  "Vorlake pipeline detected: enabling safe mode\n/dev/media0: IMX704 detected\nmedia0/IMX704: image path=/dev/video0, embedded data path=\n");
    sys.kernel.add_jetson_device({.number = 4, .sensors = {s + "9-0010", s + "9-0011", s + "9-001a", s + "10-001a"}, .broken = {0}});
    sys.kernel.add_jetson_device({.number = 8, .sensors = {s + "9-0010", s + "9-0011"}});
    const std::string out = output_of([&] { manager.init(); }).out;
    std::string ids;
    for (const camera_info& info : manager.get_camera_list())
        ids += info.id + " ";
    EXPECT_EQ(ids, "media0/IMX704 media4/IMX704 media4/IMX704@9-001a media4/IMX704@10-001a media8/IMX704 media8/IMX704@9-0011 ");
    for (const std::string& line : {"/dev/media4: IMX704 sensor '" + s + "9-0010' skipped: its data links do not run through an nvcsi entity to a vi-output\n",
                                   "media4/IMX704: sensor '" + s + "9-0011', also media4/IMX704@9-0011\n",
                                   std::string("media4/IMX704@10-001a: image path=/dev/video7, embedded data path=\n")})
        EXPECT_NE(out.find(line), std::string::npos) << line;
    EXPECT_EQ(manager.get_camera("media4/IMX704@9-0011"), manager.get_camera("media4/IMX704"));
    EXPECT_EQ(printing("Camera '' not found", [&] { return manager.get_camera(""); }), nullptr);
}

// Two cameras of one device stream at once, each in its own mode, their reads interleaved;
// stopping and closing one leaves the other streaming.
TEST_F(camera_system_test, cameras_of_one_device_stream_independently) {
    sys.kernel.add_jetson_device({.sensors = {"vorlake-csi2 9-0010", "vorlake-csi2 9-0011"}});
    output_of([&] { manager.init(); });  // dual on /dev/video0, single on /dev/video1:
    std::shared_ptr<camera> cams[2] = {manager.get_camera("media0/IMX704"), manager.get_camera("media0/IMX704@9-0011")};
    output_of([&] { ASSERT_EQ(cams[0]->open(0x301C) + cams[1]->open(0x311C) + cams[0]->start() + cams[1]->start(), 0); });
    for (unsigned seed = 0; seed < 6; ++seed) {
        const int stopped = seed == 3 ? cams[1]->stop() + cams[1]->close() : 0;
        EXPECT_EQ(stopped, 0);
        for (unsigned k = seed < 3 ? 2 : 1; k-- > 0;) {
            const frame_values values = random_frame_values(seed, k == 0, 1);
            sys.kernel.push_frame("/dev/video" + std::to_string(k), encode_raw_frame(values, k == 0, true));
            EXPECT_EQ(cams[k]->get_frame(100).raw_image, encode_raw_frame(values, k == 0, false)) << k;
        }
    }
}

}  // namespace
}  // namespace vorlake::tessaro::test_support
