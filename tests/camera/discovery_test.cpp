#include <vorlake/tessaro/camera_manager.hpp>

#include <gtest/gtest.h>

#include <cerrno>
#include <sstream>
#include <string>
#include <vector>

#include "support/captured_output.hpp"
#include "support/simulated_kernel.hpp"

namespace vorlake::tessaro::test_support {
namespace {

const std::string not_found = "Jetson pipeline: camera entity 'vorlake-csi2' not found\n";

std::string progress_lines(const std::string& number) {
    return "/dev/media" + number + ": IMX704 detected\nmedia" + number + "/IMX704: image path=/dev/video" + number +
           ", embedded data path=\n";
}

class discovery_test : public ::testing::Test {
protected:
    // The manager outlives every test: leave it holding nothing of this simulated system.
    void TearDown() override {
        sys.kernel.directories[simulated_kernel::media_devices_directory] = {};
        init();
        EXPECT_EQ(sys.kernel.descriptors.size(), 0u);
    }

    // Runs init; returns the lines it wrote itself (those of entity discovery left out; the
    // standard error's last), then the ids of the cameras found.
    std::string init() {
        const captured_output output = output_of([&] { EXPECT_EQ(manager.init(), 0); });
        std::istringstream out(output.out + output.err);
        std::string kept;
        for (std::string line; std::getline(out, line);)
            kept += line.starts_with("[DEBUG]") ? "" : line + "\n";
        for (const camera_info& info : manager.get_camera_list())
            kept += "id " + info.id + "\n";
        return kept;
    }

    simulated_system sys;
    camera_manager& manager = camera_manager::instance();
};

TEST_F(discovery_test, zero_one_and_two_cameras_in_directory_order_found_by_exact_id) {
    EXPECT_EQ(init(), "");
    sys.kernel.add_jetson_device({.number = 1});
    EXPECT_EQ(init(), progress_lines("1") + "id media1/IMX704\n");
    auto first = manager.get_camera("media1/IMX704");

    sys.kernel.add_jetson_device({});  // listed after media1
    EXPECT_EQ(init(), progress_lines("1") + progress_lines("0") + "id media1/IMX704\nid media0/IMX704\n");
    EXPECT_NE(manager.get_camera("media0/IMX704"), manager.get_camera("media1/IMX704"));
    EXPECT_EQ(first.use_count(), 1);  // a new init lets go of the old cameras
    first.reset();
    // Discovery opens no capture device; each pipeline keeps its media device.
    EXPECT_EQ(sys.kernel.descriptors.size(), 2u);
    EXPECT_EQ(sys.kernel.calls[kernel_call::mmap], 0u);
    // Ids match exactly.
    for (const std::string id : {"media0/IMX704 ", "media0/imx704", "media0", "", "media0/IMX7044"}) {
        EXPECT_EQ(printing("Camera '" + id + "' not found", [&] { return manager.get_camera(id); }), nullptr);
    }
}

TEST_F(discovery_test, devices_that_are_not_imx704_pipelines_are_skipped) {
    sys.kernel.add_jetson_device({.number = 0, .with_nvcsi = false});
    sys.kernel.add_jetson_device({.number = 1, .sensor_label = "imx219 9-0010"});
    sys.kernel.add_jetson_device({.number = 2});
    sys.kernel.nodes.at("/dev/media2").open_error = EACCES;
    sys.kernel.directories[simulated_kernel::media_devices_directory].push_back("media9");  // no node
    sys.kernel.add_jetson_device({.number = 3});
    EXPECT_EQ(init(), not_found + progress_lines("3") + "id media3/IMX704\n");
    EXPECT_EQ(sys.kernel.descriptors.size(), 1u);  // the skipped devices were closed

    sys.kernel.directories[simulated_kernel::media_devices_directory] = {".", "media3"};
    for (const int skip : {0, 1}) {  // the count query, then the entity query
        sys.kernel.fail_next(kernel_call::ioctl, EIO, 1, MEDIA_IOC_G_TOPOLOGY, skip);
        EXPECT_EQ(init(), "");
    }
    // Counts that no media graph reaches are a topology that cannot be read.
    sys.kernel.nodes.at("/dev/media3").counts.emplace().num_entities = 0xFFFFFFFF;
    EXPECT_EQ(init(), "");
    sys.kernel.nodes.at("/dev/media3").counts.reset();
    sys.kernel.fail_next(kernel_call::list_directory, EACCES);
    EXPECT_EQ(init(), "Could not list media devices\n");
}

}  // namespace
}  // namespace vorlake::tessaro::test_support
