// The tessaro package's per-frame call, private to it (underscore names, outside pelorin's API):
// get_frame, the frame's times and counters and copies of the outputs a frame keeps, in one
// crossing into the module. Each crossing and each Python object made per frame costs more in the
// frame loop than in isolation: the decoder has pushed the interpreter's code and data out of the
// caches by the time it runs.
#include <ctime>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <pybind11/numpy.h>
#include <pybind11/typing.h>

#include "bindings.hpp"
#include "camera_gate.hpp"
#include "construction_guard.hpp"

namespace vorlake::tessaro::python {

namespace {

enum class field_id { radial_depth, cartesian_depth, peak_height, point_cloud, peak_status, noise_level, histogram, pdc };

struct field_kind {
    const char* name;
    field_id id;
    bool per_echo;
    py::ssize_t columns;  // items per zone: 3 for a point, 144 for a histogram
};

constexpr field_kind field_kinds[] = {
    {"radial_depth", field_id::radial_depth, true, 1},   {"cartesian_depth", field_id::cartesian_depth, true, 1},
    {"peak_height", field_id::peak_height, true, 1},     {"point_cloud", field_id::point_cloud, true, 3},
    {"peak_status", field_id::peak_status, true, 1},     {"noise_level", field_id::noise_level, false, 1},
    {"histogram", field_id::histogram, false, histogram_bins}, {"pdc", field_id::pdc, false, pdc_channels},
};

// Where one vector of the record keeps its elements.
struct stored {
    const void* data;
    std::size_t size;
    std::size_t element_bytes;
};

template <typename Element>
stored stored_of(const std::vector<Element>& v) {
    return {v.data(), v.size(), sizeof(Element)};
}

// The vector of `field` for echo `echo` (ignored by the outputs that are not per echo); size 0
// when the record has no such echo slot.
stored vector_of(const frame_buffer& f, field_id field, std::size_t echo) {
    const auto slot = [echo](const auto& per_echo) {
        return echo < per_echo.size() ? stored_of(per_echo[echo]) : stored{nullptr, 0, 0};
    };
    switch (field) {
        case field_id::radial_depth: return slot(f.radial_depth);
        case field_id::cartesian_depth: return slot(f.cartesian_depth);
        case field_id::peak_height: return slot(f.peak_height);
        case field_id::point_cloud: return slot(f.point_cloud);
        case field_id::peak_status: return slot(f.peak_status);
        case field_id::noise_level: return stored_of(f.noise_level);
        case field_id::histogram: return stored_of(f.histogram);
        case field_id::pdc: return stored_of(f.pdc);
    }
    return {nullptr, 0, 0};
}

py::dtype dtype_of(field_id field) {
    switch (field) {
        case field_id::peak_status: return py::dtype::of<std::uint8_t>();
        case field_id::histogram:
        case field_id::pdc: return py::dtype::of<std::uint32_t>();
        default: return py::dtype::of<float>();
    }
}

// What a frame of one device copies out of each record: the outputs in the order the frame
// lists them, each under its name and in its shape by zone (per-echo outputs stacked along a
// leading echo axis; the others with a leading axis of 2, near and far, in dual-depth modes).
class copy_plan {
public:
    copy_plan(const py::sequence& names, const py::sequence& fields, unsigned echoes, unsigned rows,
              unsigned columns, bool dual)
        : echoes(echoes), zones(std::size_t{rows} * columns), sub_frames(dual ? 2 : 1) {
        if (names.size() != fields.size())
            throw py::value_error("_copy_plan: one field per name");
        for (std::size_t k = 0; k < names.size(); ++k) {
            const auto field = fields[k].cast<std::string>();
            const field_kind* kind = nullptr;
            for (const field_kind& candidate : field_kinds)
                kind = field == candidate.name ? &candidate : kind;
            if (kind == nullptr)
                throw py::value_error("_copy_plan: no output field '" + field + "'");
            std::vector<Py_intptr_t> shape{static_cast<Py_intptr_t>(kind->per_echo ? echoes : sub_frames)};
            if (shape[0] == 1 && !kind->per_echo)
                shape.clear();
            shape.insert(shape.end(), {static_cast<Py_intptr_t>(rows), static_cast<Py_intptr_t>(columns)});
            if (kind->columns > 1)
                shape.push_back(kind->columns);
            outputs.push_back({py::str(names[k].cast<std::string>()), kind->id, kind->per_echo, dtype_of(kind->id), std::move(shape)});
        }
    }

    // The copies by name, or None when a vector of the record does not hold the plan's zones.
    py::object copies(const frame_buffer& f) const {
        for (const output& o : outputs) {
            for (std::size_t part = 0; part < parts(o); ++part)
                if (vector_of(f, o.field, part).size != elements(o))
                    return py::none();
        }
        py::dict copied;
        auto& numpy = py::detail::npy_api::get();
        for (const output& o : outputs) {
            // numpy's own constructor, which steals the reference to the dtype: no shape or
            // strides containers to build for each array.
            auto copy = py::reinterpret_steal<py::object>(numpy.PyArray_NewFromDescr_(
                numpy.PyArray_Type_, o.dtype.inc_ref().ptr(), static_cast<int>(o.shape.size()),
                o.shape.data(), nullptr, nullptr, 0, nullptr));
            if (!copy)
                throw py::error_already_set();
            char* target = py::detail::array_proxy(copy.ptr())->data;
            for (std::size_t part = 0; part < parts(o); ++part) {
                const stored from = vector_of(f, o.field, part);
                std::memcpy(target, from.data, from.size * from.element_bytes);
                target += from.size * from.element_bytes;
            }
            if (PyDict_SetItem(copied.ptr(), o.name.ptr(), copy.ptr()) != 0)
                throw py::error_already_set();
        }
        return copied;
    }

private:
    struct output {
        py::str name;
        field_id field;
        bool per_echo;
        py::dtype dtype;
        std::vector<Py_intptr_t> shape;
    };

    std::size_t parts(const output& o) const { return o.per_echo ? echoes : 1; }
    std::size_t elements(const output& o) const { return o.per_echo ? zones : zones * sub_frames; }

    std::size_t echoes;
    std::size_t zones;
    std::size_t sub_frames;
    std::vector<output> outputs;
};

// time.monotonic(): the same clock, read the same way.
double monotonic_seconds() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ns = static_cast<long long>(now.tv_sec) * 1'000'000'000LL + now.tv_nsec;
    return static_cast<double>(ns) / 1e9;
}

}  // namespace

void bind_frame_copies(py::module_& m, camera_class& camera_cls) {
    made_by_call<py::class_<copy_plan>>(m, "_copy_plan",
                                        "Private to the tessaro package: what its frames copy out of each record")
        .def(py::init<const py::sequence&, const py::sequence&, unsigned, unsigned, unsigned, bool>(),
             py::arg("names"), py::arg("fields"), py::arg("echoes"), py::arg("rows"), py::arg("columns"),
             py::arg("dual"));
    camera_cls.def(
        "_next_frame",
        [](const std::shared_ptr<camera>& c, unsigned int timeout_ms, const py::typing::Optional<copy_plan>& given) {
            const copy_plan* plan = given.is_none() ? nullptr : given.cast<const copy_plan*>();
            return run_gated(c, "get_frame", waits::no, [&]() -> py::tuple {
                const std::shared_ptr<frame_buffer> record = fetch_frame(c, timeout_ms);
                if (!record)
                    throw std::runtime_error("_next_frame: get_frame left no frame record");
                const double received = monotonic_seconds();
                const std::uint64_t dropped = c->get_dropped_frames();
                if (record->error != 0)
                    return py::make_tuple(record->error, dropped, py::none(), py::none());
                py::object outputs = plan != nullptr ? plan->copies(*record) : py::none();
                if (outputs.is_none())
                    outputs = py::cast(record);
                return py::make_tuple(0, dropped, timing_fields(*record, received), std::move(outputs));
            });
        },
        py::arg("timeout_ms"), py::arg("plan"),
        "Private to the tessaro package: get_frame, then (error, get_dropped_frames(), the frame's "
        "_timing_fields() with time.monotonic() on return third, and the copies of `plan` by name, or the "
        "frame record itself without a plan or when its outputs do not have the plan's sizes; the last two "
        "None on failure)");
}

}  // namespace vorlake::tessaro::python
