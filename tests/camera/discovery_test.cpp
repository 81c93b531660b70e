#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

#include "camera/media_device_discovery.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

using ::testing::internal::CaptureStderr;
using ::testing::internal::CaptureStdout;
using ::testing::internal::GetCapturedStderr;
using ::testing::internal::GetCapturedStdout;

std::string progress_lines(const std::string& name, const std::string& image_node) {
    return "/dev/" + name + ": IMX704 detected\n" + name + "/IMX704: image path=" + image_node +
           ", embedded data path=\n";
}

// Only the lines discovery itself writes, without those of entity discovery.
std::string without_debug_lines(const std::string& out) {
    std::string kept;
    std::size_t start = 0;
    while (start < out.size()) {
        const std::size_t end = out.find('\n', start);
        const std::string line = out.substr(start, end - start + 1);
        if (!line.starts_with("[DEBUG]"))
            kept += line;
        start = end + 1;
    }
    return kept;
}

class discovery_test : public ::testing::Test {
protected:
    // The manager outlives every test: leave it holding nothing of this simulated system.
    void TearDown() override {
        sys.kernel.add_directory(simulated_kernel::media_devices_directory, {});
        CaptureStdout();
        manager.init();
        GetCapturedStdout();
        EXPECT_EQ(sys.kernel.open_descriptors(), 0u);
    }

    // Runs init and returns what it wrote on the standard output.
    std::string init() {
        CaptureStdout();
        EXPECT_EQ(manager.init(), 0);
        return GetCapturedStdout();
    }

    std::vector<std::string> listed_ids() const {
        std::vector<std::string> ids;
        for (const camera_info& info : manager.get_camera_list())
            ids.push_back(info.id);
        return ids;
    }

    simulated_system sys;
    camera_manager& manager = camera_manager::instance();
};

TEST_F(discovery_test, no_media_devices_gives_an_empty_list) {
    EXPECT_EQ(init(), "");
    EXPECT_TRUE(manager.get_camera_list().empty());
}

TEST_F(discovery_test, an_unreadable_device_directory_is_reported_on_the_error_stream) {
    sys.kernel.add_jetson_device({});
    init();
    ASSERT_EQ(manager.get_camera_list().size(), 1u);
    sys.kernel.fail_next(kernel_call::list_directory, EACCES);
    CaptureStderr();
    EXPECT_EQ(init(), "");
    EXPECT_EQ(GetCapturedStderr(), "Could not list media devices\n");
    EXPECT_TRUE(manager.get_camera_list().empty());
}

TEST_F(discovery_test, one_jetson_device_gives_one_camera) {
    sys.kernel.add_jetson_device({});
    const std::string out = init();
    EXPECT_TRUE(out.starts_with("[DEBUG] Searching entities for camera keyword='vorlake-csi2'\n"));
    EXPECT_EQ(without_debug_lines(out), progress_lines("media0", "/dev/video0"));

    const std::vector<camera_info> list = manager.get_camera_list();
    ASSERT_EQ(list.size(), 1u);
    EXPECT_EQ(list[0].id, "media0/IMX704");
    EXPECT_EQ(list[0].model, "IMX704");
    EXPECT_EQ(list[0].status, camera_status::available);
    EXPECT_EQ(list[0].supported_modes.size(), 6u);

    const auto camera = manager.get_camera("media0/IMX704");
    ASSERT_NE(camera, nullptr);
    EXPECT_EQ(&camera->get_camera_info(), &manager.get_camera("media0/IMX704")->get_camera_info());
    // Discovery opens no capture device; only the pipeline keeps its media device.
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);
    EXPECT_EQ(sys.kernel.calls(kernel_call::mmap), 0u);
}

TEST_F(discovery_test, ids_follow_the_directory_order) {
    jetson_device_options second;
    second.number = 1;
    sys.kernel.add_jetson_device(second);  // listed first
    sys.kernel.add_jetson_device({});
    EXPECT_EQ(without_debug_lines(init()),
              progress_lines("media1", "/dev/video1") + progress_lines("media0", "/dev/video0"));
    EXPECT_EQ(listed_ids(), (std::vector<std::string>{"media1/IMX704", "media0/IMX704"}));
    EXPECT_NE(manager.get_camera("media0/IMX704"), manager.get_camera("media1/IMX704"));
}

TEST_F(discovery_test, devices_that_are_not_imx704_pipelines_are_skipped) {
    jetson_device_options no_receiver;
    no_receiver.number = 0;
    no_receiver.with_nvcsi = false;
    sys.kernel.add_jetson_device(no_receiver);

    jetson_device_options other_sensor;
    other_sensor.number = 1;
    other_sensor.sensor_label = "imx219 9-0010";
    sys.kernel.add_jetson_device(other_sensor);

    jetson_device_options unopenable;
    unopenable.number = 2;
    sys.kernel.node(sys.kernel.add_jetson_device(unopenable).media_path).open_error = EACCES;

    sys.kernel.list_media_device("media9");  // listed, but no device node

    jetson_device_options good;
    good.number = 3;
    sys.kernel.add_jetson_device(good);

    const std::string out = init();
    // Only the device with a receiver reaches entity discovery.
    EXPECT_EQ(out.find("nvcsi--0"), std::string::npos);
    EXPECT_NE(out.find("Jetson pipeline: camera entity 'vorlake-csi2' not found\n"),
              std::string::npos);
    EXPECT_EQ(without_debug_lines(out),
              "Jetson pipeline: camera entity 'vorlake-csi2' not found\n" +
                  progress_lines("media3", "/dev/video3"));
    EXPECT_EQ(listed_ids(), std::vector<std::string>{"media3/IMX704"});
    EXPECT_EQ(sys.kernel.open_descriptors(), 1u);  // the skipped devices were closed
}

TEST_F(discovery_test, a_device_whose_topology_cannot_be_read_is_skipped) {
    sys.kernel.add_jetson_device({});
    for (const int skip : {0, 1}) {  // the count query, then the entity query
        SCOPED_TRACE(skip);
        sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, MEDIA_IOC_G_TOPOLOGY, {}, skip);
        EXPECT_EQ(init(), "");
        EXPECT_TRUE(manager.get_camera_list().empty());
        EXPECT_EQ(sys.kernel.open_descriptors(), 0u);
    }
}

TEST_F(discovery_test, get_camera_matches_ids_exactly) {
    sys.kernel.add_jetson_device({});
    init();
    for (const std::string id : {"media0/IMX704 ", "media0/imx704", "media0", "", "media0/IMX7044"}) {
        SCOPED_TRACE(id);
        CaptureStdout();
        EXPECT_EQ(manager.get_camera(id), nullptr);
        EXPECT_EQ(GetCapturedStdout(), "Camera '" + id + "' not found\n");
    }
}

TEST_F(discovery_test, init_again_builds_new_cameras) {
    sys.kernel.add_jetson_device({});
    init();
    const auto first = manager.get_camera("media0/IMX704");
    init();
    const auto second = manager.get_camera("media0/IMX704");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(first, second);
    EXPECT_EQ(manager.get_camera_list().size(), 1u);
    EXPECT_EQ(first.use_count(), 1);  // the manager let go of the old one
}

TEST(has_entities, every_keyword_must_be_part_of_some_entity_name) {
    const auto entity = [](const char* name) {
        media_v2_entity record{};
        std::snprintf(record.name, sizeof record.name, "%s", name);
        return record;
    };
    const std::vector<media_v2_entity> entities = {entity("nvcsi--1"), entity("vi-output, x")};
    EXPECT_TRUE(has_entities(entities, {}));
    EXPECT_TRUE(has_entities({}, {}));
    EXPECT_TRUE(has_entities(entities, {"nvcsi"}));
    EXPECT_TRUE(has_entities(entities, {"csi", "output"}));
    EXPECT_FALSE(has_entities(entities, {"nvcsi", "vorlake"}));
    EXPECT_FALSE(has_entities({}, {"nvcsi"}));
}

TEST(list_media_devices, keeps_every_name_but_the_dot_entries_unsorted) {
    simulated_system sys;
    sys.kernel.add_directory(simulated_kernel::media_devices_directory,
                             {"media2", ".", "..", "media10", "not-a-media-name", ".hidden"});
    EXPECT_EQ(list_media_devices(),
              (std::vector<std::string>{"media2", "media10", "not-a-media-name", ".hidden"}));
}

}  // namespace
}  // namespace vorlake::tessaro::test_support
