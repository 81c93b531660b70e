// camera_manager, camera and create_camera_offline.
#include <pybind11/functional.h>

#include "bindings.hpp"
#include "buffer_exports.hpp"
#include "camera_info_dict.hpp"
#include "offline_stream.hpp"

namespace vorlake::tessaro::python {

void bind_camera_manager(camera_manager_class& cls) {
    cls.def(py::init([] {
        return std::unique_ptr<camera_manager, never_delete>(&camera_manager::instance());
    }));
    cls.def("init", &camera_manager::init, "camera manager initialization");
    cls.def(
        "get_camera_list",
        [](const camera_manager& manager) {
            py::list cameras;
            for (const camera_info& info : manager.get_camera_list())
                cameras.append(camera_info_to_dict(info));
            return cameras;
        },
        "Return the list of Vorlake dToF camera found in system");
    cls.def("get_camera", &camera_manager::get_camera, py::arg("id"),
            "Return the camera instance identified by the id parameter");
}

void bind_camera(camera_class& cls) {
    cls.def(
        "get_camera_info", [](const camera& c) { return camera_info_to_dict(c.get_camera_info()); },
        "Get the camera information");
    cls.def("open", &camera::open, py::arg("mode"), "Open the camera device");
    cls.def("close", &camera::close, "Close the camera device");
    cls.def("configure_camera_dual_depth", &camera::configure_camera_dual_depth,
            py::arg("depth_params"), "Configure the camera dual depth mode");
    cls.def("configure_camera_echo", &camera::configure_camera_echo, py::arg("number_of_echoes"),
            "Configure the number of echo to process");
    cls.def("configure_camera_output", &camera::configure_camera_output, py::arg("config"),
            "Enable/Disable output processing");
    cls.def("start", &camera::start, "Start output processing");
    cls.def("stop", &camera::stop, "Stop output processing");
    // Both records are returned as the camera's shares of them: the Python object keeps the
    // record it shows alive after the camera replaced or dropped it, and while it lives pybind11
    // hands out that same object for the same record.
    cls.def(
        "get_sensor_info",
        [](camera& c) {
            c.get_sensor_info();
            return c.shared_sensor_info();
        },
        "Get sensor information");
    cls.def(
        "get_frame",
        [](camera& c, unsigned int timeout_ms) {
            // The stream may write a raw frame larger than the record holds; buffers Python
            // exported from the raw bytes keep the storage they point into.
            if (auto current = c.shared_frame()) {
                detach_exported_storage(current->raw_image);
                detach_exported_storage(current->raw_ebd);
            }
            c.get_frame(timeout_ms);
            return c.shared_frame();
        },
        py::arg("timeout_ms"), "Get a processed frame from the camera");
    cls.def(
        "add_stream",
        [](camera& c, stream_type type, frame_source source) {
            add_offline_stream(c, type, std::move(source));
        },
        "Add a stream (only for offline camera)");
}

void bind_create_camera_offline(py::module_& m) {
    m.def("create_camera_offline", &create_camera_offline, "Create an offline camera");
}

}  // namespace vorlake::tessaro::python
