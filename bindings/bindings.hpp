// What the translation units of the pelorin module share: the opaque vector types, the class
// handles and the registration steps that module.cpp runs in order.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include <pybind11/pybind11.h>

#include <vorlake/tessaro/camera.hpp>
#include <vorlake/tessaro/camera_manager.hpp>
#include <vorlake/tessaro/types.hpp>

// The frame's vectors cross into Python as views of the record, never as converted lists.
PYBIND11_MAKE_OPAQUE(std::vector<std::uint8_t>)
PYBIND11_MAKE_OPAQUE(std::vector<std::uint32_t>)
PYBIND11_MAKE_OPAQUE(std::vector<float>)
PYBIND11_MAKE_OPAQUE(std::vector<vorlake::tessaro::peak_status>)
PYBIND11_MAKE_OPAQUE(std::vector<vorlake::tessaro::point3f>)
PYBIND11_MAKE_OPAQUE(std::vector<vorlake::tessaro::histogram_bins_t>)
PYBIND11_MAKE_OPAQUE(std::vector<vorlake::tessaro::pdc_counts_t>)

namespace vorlake::tessaro::python {

namespace py = pybind11;

// The process-wide manager outlives every Python object bound to it.
struct never_delete {
    void operator()(camera_manager*) const noexcept {}
};

using camera_manager_class = py::class_<camera_manager, std::unique_ptr<camera_manager, never_delete>>;
using camera_class = py::class_<camera, std::shared_ptr<camera>>;
// Frames and sensor reports are shared with the camera, so that a Python object keeps the record
// it shows alive after the camera has replaced or dropped it.
using frame_buffer_class = py::class_<frame_buffer, std::shared_ptr<frame_buffer>>;
using sensor_info_class = py::class_<sensor_info, std::shared_ptr<sensor_info>>;

// Each step registers its classes in the order the module lists them. A class whose methods
// name classes registered after it is created first and filled in by a later step, so that every
// signature shows Python class names.
void bind_camera_manager(camera_manager_class& cls);
void bind_camera(camera_class& cls);
// The camera class's type setup: made by a call only, and seen by the garbage collector.
void collectable_camera(PyHeapTypeObject* heap_type);
void bind_create_camera_offline(py::module_& m);
void bind_dual_depth_params(py::module_& m);
void bind_enums(py::module_& m);
void bind_camera_output_configuration(py::module_& m);
void bind_laser_status_flags(py::module_& m);
void bind_sensor_info(py::module_& m);
void bind_frame_buffer(frame_buffer_class& cls);
void bind_vectors(py::module_& m);
void bind_frame_timing(frame_buffer_class& frame_cls, camera_class& camera_cls);
void bind_frame_copies(py::module_& m, camera_class& camera_cls);

// get_frame's work inside the camera's gate: the frame record it returns.
std::shared_ptr<frame_buffer> fetch_frame(const std::shared_ptr<camera>& c, unsigned int timeout_ms);
// The frame's times and counters as frame_buffer._timing_fields() returns them; with a host
// time, that time third, in the order of tessaro's Timing record.
py::tuple timing_fields(const frame_buffer& f);
py::tuple timing_fields(const frame_buffer& f, double host_time);
void bind_messages(py::module_& m);

}  // namespace vorlake::tessaro::python
