// The value records: configuration the caller fills in, and what the camera reports.
#include "bindings.hpp"
#include "construction_guard.hpp"

namespace vorlake::tessaro::python {

namespace {

template <typename Element>
using per_echo = std::vector<std::vector<Element>>;

// A per-echo field reads as a new list holding one view per echo slot; each view keeps the frame
// object alive, and a slot that already has a live view gets that same view back.
template <typename Element>
py::typing::List<std::vector<Element>> echo_views(py::handle self, per_echo<Element>& field) {
    py::list views(field.size());
    for (std::size_t slot = 0; slot < field.size(); ++slot)
        views[slot] = py::cast(&field[slot], py::return_value_policy::reference_internal, self);
    return views;
}

template <typename Element>
void def_per_echo(frame_buffer_class& cls, const char* name,
                  per_echo<Element> frame_buffer::* field) {
    cls.def_property_readonly(name, [field](py::object self) {
        return echo_views(self, self.cast<frame_buffer&>().*field);
    });
}

}  // namespace

void bind_dual_depth_params(py::module_& m) {
    made_by_call<py::class_<dual_depth_params>>(m, "dual_depth_params")
        .def(py::init<>())
        .def_readwrite("select_near", &dual_depth_params::select_near)
        .def_readwrite("select_far", &dual_depth_params::select_far)
        .def_readwrite("merge_window", &dual_depth_params::merge_window);
}

void bind_camera_output_configuration(py::module_& m) {
    using config = camera_output_configuration;
    made_by_call<py::class_<config>>(m, "camera_output_configuration")
        .def(py::init<>())
        .def_readwrite("enable_point_cloud", &config::enable_point_cloud)
        .def_readwrite("enable_cartesian_depth", &config::enable_cartesian_depth)
        .def_readwrite("enable_radial_depth", &config::enable_radial_depth)
        .def_readwrite("enable_noise_level", &config::enable_noise_level)
        .def_readwrite("enable_peak_height", &config::enable_peak_height)
        .def_readwrite("enable_peak_status", &config::enable_peak_status)
        .def_readwrite("enable_histogram", &config::enable_histogram)
        .def_readwrite("enable_pdc", &config::enable_pdc);
}

void bind_laser_status_flags(py::module_& m) {
    made_by_call<py::class_<laser_status_flags>>(m, "laser_status_flags")
        .def(py::init<>())
        .def_readonly("light_emitted", &laser_status_flags::light_emitted)
        .def_readonly("read_back", &laser_status_flags::read_back)
        .def_readonly("lvds_connection", &laser_status_flags::lvds_connection)
        .def_readonly("bank_check", &laser_status_flags::bank_check);
}

void bind_sensor_info(py::module_& m) {
    made_by_call<sensor_info_class>(m, "sensor_info")
        .def(py::init<>())
        .def_readonly("temperature", &sensor_info::temperature)
        .def_readonly("depth_num", &sensor_info::depth_num)
        .def_readonly("peak_order_selection", &sensor_info::peak_order_selection)
        .def_readonly("laser_status", &sensor_info::laser_status);
}

void bind_frame_buffer(frame_buffer_class& cls) {
    cls.def(py::init([](const camera_output_configuration& config, unsigned int echo_slots,
                        unsigned int point_count) {
        return std::make_shared<frame_buffer>(config, static_cast<std::uint8_t>(echo_slots),
                                              point_count);
    }));
    cls.def(py::init([](std::int32_t error) { return std::make_shared<frame_buffer>(error); }));

    cls.def_readonly("error", &frame_buffer::error);
    cls.def_readonly("frame_id", &frame_buffer::frame_id);
    cls.def_readonly("timestamp", &frame_buffer::timestamp);
    cls.def_readonly("max_depth_index", &frame_buffer::max_depth_index);
    def_per_echo(cls, "point_cloud", &frame_buffer::point_cloud);
    def_per_echo(cls, "cartesian_depth", &frame_buffer::cartesian_depth);
    def_per_echo(cls, "radial_depth", &frame_buffer::radial_depth);
    def_per_echo(cls, "peak_height", &frame_buffer::peak_height);
    def_per_echo(cls, "peak_status", &frame_buffer::peak_status);
    cls.def_readonly("noise_level", &frame_buffer::noise_level);
    cls.def_readonly("histogram", &frame_buffer::histogram);
    cls.def_readonly("pdc", &frame_buffer::pdc);
    cls.def_readonly("raw_image", &frame_buffer::raw_image);
    cls.def_readonly("raw_ebd", &frame_buffer::raw_ebd);
}

}  // namespace vorlake::tessaro::python
