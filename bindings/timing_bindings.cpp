// The frame's timing fields and the camera's count of lost frames.
#include "bindings.hpp"
#include "camera_gate.hpp"

namespace vorlake::tessaro::python {

namespace {

py::object known(bool has, std::uint64_t value) { return has ? py::object(py::int_(value)) : py::object(py::none()); }

}  // namespace

py::tuple timing_fields(const frame_buffer& f) {
    return py::make_tuple(f.frame_id, f.timestamp, known(f.has_capture_time, f.capture_time_ns),
                          known(f.has_sequence, f.sequence), known(f.has_sensor_time, f.frame_index),
                          known(f.has_sensor_time, f.sensor_timestamp), f.dropped_frames);
}

py::tuple timing_fields(const frame_buffer& f, double host_time) {
    return py::make_tuple(f.frame_id, f.timestamp, host_time, known(f.has_capture_time, f.capture_time_ns),
                          known(f.has_sequence, f.sequence), known(f.has_sensor_time, f.frame_index),
                          known(f.has_sensor_time, f.sensor_timestamp), f.dropped_frames);
}

void bind_frame_timing(frame_buffer_class& frame_cls, camera_class& camera_cls) {
    frame_cls.def_readonly("has_capture_time", &frame_buffer::has_capture_time);
    frame_cls.def_readonly("capture_time_ns", &frame_buffer::capture_time_ns,
                           "CLOCK_MONOTONIC (time.monotonic_ns) when the frame was captured; 0 when unknown");
    frame_cls.def_readonly("has_sequence", &frame_buffer::has_sequence);
    frame_cls.def_readonly("sequence", &frame_buffer::sequence,
                           "the image stream's frame number; 0 when unknown");
    frame_cls.def_readonly("has_sensor_time", &frame_buffer::has_sensor_time);
    frame_cls.def_readonly("frame_index", &frame_buffer::frame_index,
                           "the sensor's frame counter, unwrapped to 64 bits; 0 without embedded data");
    frame_cls.def_readonly("sensor_timestamp", &frame_buffer::sensor_timestamp,
                           "the sensor's time, unwrapped to 64 bits; 0 without embedded data");
    frame_cls.def_readonly("dropped_frames", &frame_buffer::dropped_frames,
                           "frames lost between the previous frame and this one");
    // The same fields in one call, for a per-frame path that would otherwise cross into the
    // module once for each of them.
    frame_cls.def(
        "_timing_fields", [](const frame_buffer& f) { return timing_fields(f); },
        "(frame_id, timestamp, capture_time_ns, sequence, frame_index, sensor_timestamp, dropped_frames); "
        "the four in the middle are None where the frame does not know them");
    camera_cls.def("get_dropped_frames", gated("get_dropped_frames", waits::no, &camera::get_dropped_frames),
                    "Frames lost since the last start");
}

}  // namespace vorlake::tessaro::python
