#include "construction_guard.hpp"

#include <utility>

namespace vorlake::tessaro::python {

namespace py = pybind11;

namespace {

// The class whose call is under way on this thread, until its __new__ has run. Only the
// outermost __new__ of that call is let through: code that runs inside __init__ cannot borrow it.
thread_local PyObject* class_being_called = nullptr;

extern "C" PyObject* call_class(PyObject* type, PyObject* args, PyObject* kwargs) {
    PyObject* const outer = std::exchange(class_being_called, type);
    PyObject* const result = py::detail::pybind11_meta_call(type, args, kwargs);
    class_being_called = outer;
    return result;
}

extern "C" PyObject* new_in_call(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    if (class_being_called != reinterpret_cast<PyObject*>(type)) {
        PyErr_Format(PyExc_TypeError, "%s objects are made by calling the class, not by __new__ alone",
                     type->tp_name);
        return nullptr;
    }
    class_being_called = nullptr;
    return py::detail::pybind11_object_new(type, args, kwargs);
}

}  // namespace

py::metaclass constructed_by_call() {
    // Created once and kept for the life of the process, like the classes that use it.
    static PyObject* const metaclass = [] {
        static PyType_Slot slots[] = {{Py_tp_call, reinterpret_cast<void*>(call_class)}, {0, nullptr}};
        static PyType_Spec type_description = {"pelorin.constructed_by_call", 0, 0,
                                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE, slots};
        auto* base = reinterpret_cast<PyObject*>(py::detail::get_internals().default_metaclass);
        PyObject* created = PyType_FromSpecWithBases(&type_description, base);
        if (created == nullptr)
            throw py::error_already_set();
        return created;
    }();
    return py::metaclass(metaclass);
}

void refuse_bare_new(PyHeapTypeObject* heap_type) { heap_type->ht_type.tp_new = new_in_call; }

}  // namespace vorlake::tessaro::python
