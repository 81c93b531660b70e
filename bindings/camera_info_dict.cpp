#include "camera_info_dict.hpp"

#include <sstream>
#include <stdexcept>
#include <string>

namespace vorlake::tessaro::python {

namespace py = pybind11;

namespace {

const char* status_text(camera_status status) {
    switch (status) {
    case camera_status::available:
        return "available";
    case camera_status::idle:
        return "idle";
    case camera_status::streaming:
        return "streaming";
    }
    throw std::runtime_error("unknown camera status");
}

const char* sync_mode_text(camera_sync_mode mode) {
    switch (mode) {
    case camera_sync_mode::camera_sync_undefined:
        return "undefined";
    case camera_sync_mode::camera_sync_master_mode:
        return "master_mode";
    case camera_sync_mode::camera_sync_slave_mode:
        return "slave_mode";
    }
    throw std::runtime_error("unknown sync mode");
}

// Mode ids are keyed by their lowercase hexadecimal digits, without prefix or padding.
std::string mode_key(std::uint32_t mode) {
    std::ostringstream text;
    text << std::hex << mode;
    return text.str();
}

py::dict mode_dict(const sensor_mode_info& mode) {
    py::dict d;
    d["sensor_width"] = mode.sensor_width;
    d["sensor_height"] = mode.sensor_height;
    d["raw_size_image"] = mode.raw_size_image;
    d["raw_size_ebd"] = mode.raw_size_ebd;
    d["max_echo"] = mode.max_echo;
    d["dual_depth_mode"] = mode.dual_depth_mode;
    return d;
}

}  // namespace

py::dict camera_info_to_dict(const camera_info& info) {
    py::dict supported_modes;
    for (const auto& [mode, geometry] : info.supported_modes)
        supported_modes[py::str(mode_key(mode))] = mode_dict(geometry);

    py::str id(info.id);
    py::str model(info.model);
    py::str status(status_text(info.status));
    py::str sync_mode(sync_mode_text(info.sync_mode));

    py::dict params;
    params["select_near"] = info.dual_depth_params.select_near;
    params["select_far"] = info.dual_depth_params.select_far;
    params["merge_window"] = info.dual_depth_params.merge_window;

    py::dict d;
    d["id"] = id;
    d["model"] = model;
    d["status"] = status;
    d["sync_mode"] = sync_mode;
    d["mode"] = info.mode;
    d["number_of_echo"] = info.number_of_echo;
    d["dual_depth_mode"] = info.dual_depth_mode;
    d["dual_depth_params"] = params;
    d["supported_modes"] = supported_modes;
    return d;
}

}  // namespace vorlake::tessaro::python
