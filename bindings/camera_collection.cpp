// The camera's Python object takes part in garbage collection, so that a camera whose frame
// source refers back to it is freed once nothing else refers to either.
#include "bindings.hpp"
#include "construction_guard.hpp"
#include "offline_stream.hpp"

namespace vorlake::tessaro::python {

namespace {

// The camera that only this Python object holds: what another holder (the camera manager, C++
// code) keeps alive is not this object's to report or to clear.
const camera* sole_camera(PyObject* self) {
    auto* inst = reinterpret_cast<py::detail::instance*>(self);
    const py::detail::value_and_holder v_h = inst->get_value_and_holder();
    if (!v_h.holder_constructed())
        return nullptr;
    const auto& holder = v_h.holder<std::shared_ptr<camera>>();
    return holder.use_count() == 1 ? holder.get() : nullptr;
}

extern "C" int traverse_camera(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    const camera* owned = sole_camera(self);
    return owned ? visit_sources(*owned, visit, arg) : 0;
}

extern "C" int clear_camera(PyObject* self) {
    if (const camera* owned = sole_camera(self))
        clear_sources(*owned);
    return 0;
}

}  // namespace

void collectable_camera(PyHeapTypeObject* heap_type) {
    refuse_bare_new(heap_type);
    PyTypeObject& type = heap_type->ht_type;
    type.tp_flags |= Py_TPFLAGS_HAVE_GC;
    type.tp_traverse = traverse_camera;
    type.tp_clear = clear_camera;
}

}  // namespace vorlake::tessaro::python
