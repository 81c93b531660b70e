// pybind11 builds an object's C++ part in __init__. An object made by __new__ alone has none, and
// every method would then run on uninitialised memory; the classes bound with these attributes
// refuse __new__ outside a call of the class itself.
#pragma once

#include <pybind11/pybind11.h>

namespace vorlake::tessaro::python {

// The metaclass that lets a call of the class through to __new__ (Python subclasses included).
pybind11::metaclass constructed_by_call();

// A custom_type_setup callback that makes the class's __new__ refuse everything else.
void refuse_bare_new(PyHeapTypeObject* heap_type);

// Registers a class that only a call of it can make.
template <typename Class, typename... Options>
Class made_by_call(pybind11::handle scope, const char* name, const Options&... options) {
    return Class(scope, name, constructed_by_call(), pybind11::custom_type_setup(refuse_bare_new),
                 options...);
}

}  // namespace vorlake::tessaro::python
