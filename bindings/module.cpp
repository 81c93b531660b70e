// The pelorin extension module: the registration order of its contents.
#include "bindings.hpp"
#include "construction_guard.hpp"

namespace py = pybind11;
using namespace vorlake::tessaro;
using namespace vorlake::tessaro::python;

PYBIND11_MODULE(pelorin, m) {
    m.doc() = "Bindings for Vorlake dToF library";
    m.attr("__version__") = PELORIN_VERSION;

    auto manager_cls = made_by_call<camera_manager_class>(m, "camera_manager");
    camera_class camera_cls(m, "camera", constructed_by_call(), py::custom_type_setup(collectable_camera));
    bind_create_camera_offline(m);
    bind_dual_depth_params(m);
    bind_enums(m);
    bind_camera_output_configuration(m);
    bind_laser_status_flags(m);
    bind_sensor_info(m);
    auto frame_cls = made_by_call<frame_buffer_class>(m, "frame_buffer");
    bind_vectors(m);

    bind_frame_buffer(frame_cls);
    bind_camera_manager(manager_cls);
    bind_camera(camera_cls);
    bind_frame_timing(frame_cls, camera_cls);
    bind_frame_copies(m, camera_cls);
    bind_messages(m);
}
