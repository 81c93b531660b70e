// camera_manager, camera and create_camera_offline.
#include <string>

#include <pybind11/functional.h>

#include "bindings.hpp"
#include "buffer_exports.hpp"
#include "camera_gate.hpp"
#include "camera_info_dict.hpp"
#include "offline_stream.hpp"

namespace vorlake::tessaro::python {

namespace {

using camera_ptr = std::shared_ptr<camera>;

}  // namespace

std::shared_ptr<frame_buffer> fetch_frame(const camera_ptr& c, unsigned int timeout_ms) {
    // The stream may write a raw frame larger than the record holds; buffers Python exported
    // from the raw bytes keep the storage they point into.
    if (auto current = c->shared_frame()) {
        detach_exported_storage(current->raw_image);
        detach_exported_storage(current->raw_ebd);
    }
    if (releases_interpreter_lock(c)) {
        auto wait = [&] { c->get_frame(timeout_ms); };
        without_interpreter_lock(wait);
    } else {
        c->get_frame(timeout_ms);
    }
    return c->shared_frame();
}

void bind_camera_manager(camera_manager_class& cls) {
    cls.def(py::init([] {
        return std::unique_ptr<camera_manager, never_delete>(&camera_manager::instance());
    }));
    cls.def(
        "init", [](camera_manager& manager) { return with_messages_held([&] { return manager.init(); }); },
        "camera manager initialization");
    cls.def(
        "get_camera_list",
        [](const camera_manager& manager) {
            py::list cameras;
            for (const camera_info& info : manager.get_camera_list())
                cameras.append(camera_info_to_dict(info));
            return cameras;
        },
        "Return the list of Vorlake dToF camera found in system");
    cls.def(
        "get_camera",
        [](const camera_manager& manager, const std::string& id) {
            return with_messages_held([&] { return manager.get_camera(id); });
        },
        py::arg("id"), "Return the camera instance identified by the id parameter");
}

void bind_camera(camera_class& cls) {
    cls.def(
        "get_camera_info",
        [](const camera_ptr& c) {
            return run_gated(c, "get_camera_info", waits::no,
                             [&] { return camera_info_to_dict(c->get_camera_info()); });
        },
        "Get the camera information");
    cls.def("open", gated("open", waits::yes, &camera::open), py::arg("mode"), "Open the camera device");
    cls.def("close", gated("close", waits::yes, &camera::close), "Close the camera device");
    cls.def("configure_camera_dual_depth",
            gated("configure_camera_dual_depth", waits::no, &camera::configure_camera_dual_depth),
            py::arg("depth_params"), "Configure the camera dual depth mode");
    cls.def("configure_camera_echo", gated("configure_camera_echo", waits::no, &camera::configure_camera_echo),
            py::arg("number_of_echoes"), "Configure the number of echo to process");
    cls.def("configure_camera_output",
            gated("configure_camera_output", waits::no, &camera::configure_camera_output), py::arg("config"),
            "Enable/Disable output processing");
    cls.def("start", gated("start", waits::yes, &camera::start), "Start output processing");
    cls.def("stop", gated("stop", waits::yes, &camera::stop), "Stop output processing");
    // Both records are returned as the camera's shares of them: the Python object keeps the
    // record it shows alive after the camera replaced or dropped it, and while it lives pybind11
    // hands out that same object for the same record.
    cls.def(
        "get_sensor_info",
        [](const camera_ptr& c) {
            return run_gated(c, "get_sensor_info", waits::no, [&] {
                c->get_sensor_info();
                return c->shared_sensor_info();
            });
        },
        "Get sensor information");
    cls.def(
        "get_frame",
        [](const camera_ptr& c, unsigned int timeout_ms) {
            return run_gated(c, "get_frame", waits::no, [&] { return fetch_frame(c, timeout_ms); });
        },
        py::arg("timeout_ms"), "Get a processed frame from the camera");
    cls.def(
        "add_stream",
        [](const camera_ptr& c, stream_type type, frame_source source) {
            run_gated(c, "add_stream", waits::no,
                      [&] { add_offline_stream(*c, type, std::move(source)); });
        },
        "Add a stream (only for offline camera)");
    cls.def_property(
        "release_gil", [](const camera_ptr& c) { return releases_interpreter_lock(c); },
        [](const camera_ptr& c, bool release) { set_releases_interpreter_lock(c, release); },
        "False (the default): every call on this camera holds the interpreter lock, and other "
        "Python threads wait meanwhile. True: get_frame, open, close, start and stop run without "
        "it, so other threads run while this camera waits for a frame; a frame source of an "
        "offline camera is still called with the lock held. Either way one thread at a time is "
        "inside a camera: another thread's call waits for it, and a call from inside the "
        "camera's own operation (its frame source calling get_frame) raises RuntimeError. While "
        "get_frame waits without the lock, the camera writes into its current frame record: "
        "read a frame from another thread only through copies.");
}

void bind_create_camera_offline(py::module_& m) {
    m.def("create_camera_offline", &create_camera_offline, "Create an offline camera");
}

}  // namespace vorlake::tessaro::python
