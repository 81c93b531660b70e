// The pelorin extension module: the registration order of its contents.
#include "bindings.hpp"

namespace py = pybind11;
using namespace vorlake::tessaro;
using namespace vorlake::tessaro::python;

PYBIND11_MODULE(pelorin, m) {
    m.doc() = "Bindings for Vorlake dToF library";

    camera_manager_class manager_cls(m, "camera_manager");
    camera_class camera_cls(m, "camera");
    bind_create_camera_offline(m);
    bind_dual_depth_params(m);
    bind_enums(m);
    bind_camera_output_configuration(m);
    bind_laser_status_flags(m);
    bind_sensor_info(m);
    frame_buffer_class frame_cls(m, "frame_buffer");
    bind_vectors(m);

    bind_frame_buffer(frame_cls);
    bind_camera_manager(manager_cls);
    bind_camera(camera_cls);
    bind_frame_timing(frame_cls, camera_cls);
    bind_messages(m);
}
