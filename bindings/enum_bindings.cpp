// The two enumerations, pybind11's classic enums with their members exported into the module.
#include "bindings.hpp"

namespace vorlake::tessaro::python {

void bind_enums(py::module_& m) {
    py::enum_<camera_sync_mode> sync_mode(m, "camera_sync_mode");
    sync_mode.value("camera_sync_undefined", camera_sync_mode::camera_sync_undefined)
        .value("camera_sync_master_mode", camera_sync_mode::camera_sync_master_mode)
        .value("camera_sync_slave_mode", camera_sync_mode::camera_sync_slave_mode)
        .export_values();
    // The C++ enumeration is scoped, but sync modes have always compared equal to their integer
    // values in Python, as members of an unscoped enumeration do: against a member or an int the
    // values are compared, against anything else the members are unequal.
    sync_mode.attr("__eq__") = py::cpp_function(
        [](const py::object& self, const py::object& other) {
            return !other.is_none() && py::int_(self).equal(other);
        },
        py::name("__eq__"), py::is_method(sync_mode), py::arg("other"));
    sync_mode.attr("__ne__") = py::cpp_function(
        [](const py::object& self, const py::object& other) {
            return other.is_none() || !py::int_(self).equal(other);
        },
        py::name("__ne__"), py::is_method(sync_mode), py::arg("other"));

    py::enum_<stream_type>(m, "stream_type")
        .value("stream_image", stream_type::stream_image)
        .value("stream_ebd", stream_type::stream_ebd)
        .export_values();
}

}  // namespace vorlake::tessaro::python
