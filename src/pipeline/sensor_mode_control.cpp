#include "pipeline/sensor_mode_control.hpp"

#include <fcntl.h>
#include <linux/videodev2.h>

#include <cerrno>
#include <cstdio>
#include <string>

#include <vorlake/tessaro/unique_fd.hpp>

#include "capture/kernel_calls.hpp"
#include "messages/message_output.hpp"

namespace vorlake::tessaro {

static_assert(sizeof(v4l2_control) == 8);

namespace {

// The sensor driver's private mode menu control.
constexpr std::uint32_t sensor_mode_control_id = 0x0098190E;

struct mode_menu_entry {
    std::uint32_t mode;
    std::int32_t menu_index;
};

constexpr mode_menu_entry mode_menu[] = {
    {0x311c, 0}, {0x321c, 1}, {0x301c, 2}, {0x211c, 3}, {0x221c, 4}, {0x201c, 5},
};

std::string hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "%x", value);
    return text;
}

}  // namespace

int select_sensor_mode(camera_pipeline& pipeline, std::uint32_t mode) {
    const mode_menu_entry* entry = nullptr;
    for (const mode_menu_entry& candidate : mode_menu) {
        if (candidate.mode == mode)
            entry = &candidate;
    }
    if (entry == nullptr) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Unknown sensor mode: 0x" + hex(mode));
        return -EINVAL;
    }

    // Some sensor drivers expose their controls only through the video node.
    std::string path;
    pipeline.get_sensor_device_node(path);
    if (path.empty()) {
        std::string ebd_node;
        pipeline.get_stream_device_nodes(path, ebd_node);
    }
    if (path.empty()) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot find device node for V4L2 control");
        return -ENODEV;
    }

    const unique_fd device = open_device(path, O_RDWR);
    if (!device) {
        write_message(message_stream::standard_output, message_severity::error,
                      "Cannot open device for sensor mode: " + path);
        return -EACCES;
    }

    v4l2_control control{};
    control.id = sensor_mode_control_id;
    control.value = entry->menu_index;
    const int result = kernel().ioctl(device.get(), VIDIOC_S_CTRL, &control);
    if (result == 0) {
        write_message(message_stream::standard_output, message_severity::info,
                      "Sensor mode set to 0x" + hex(mode) + " (menu index " +
                   std::to_string(entry->menu_index) + ") via V4L2 control on " + path);
    } else {
        write_message(message_stream::standard_output, message_severity::error,
                      "Error selecting sensor mode via V4L2 control on " + path + ": " +
                   std::to_string(result));
    }
    return result;
}

}  // namespace vorlake::tessaro
