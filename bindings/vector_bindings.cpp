// The vector classes: three list-like ones and four that only export their memory.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <sstream>
#include <string>

#include <pybind11/operators.h>

#include "bindings.hpp"
#include "buffer_exports.hpp"
#include "construction_guard.hpp"

namespace vorlake::tessaro::python {

namespace {

using diff_t = std::ptrdiff_t;

// A Python index into a vector of n elements, negative ones counting from the end.
std::size_t wrap_index(diff_t i, std::size_t n) {
    if (i < 0)
        i += static_cast<diff_t>(n);
    if (i < 0 || static_cast<std::size_t>(i) >= n)
        throw py::index_error();
    return static_cast<std::size_t>(i);
}

// Iterates by position and checks the size at every step, so that an iterator stays harmless
// when the list methods resize the vector while it is alive.
template <typename Vector>
struct position_iterator {
    const Vector* vector;
    std::size_t position;

    typename Vector::value_type operator*() const { return (*vector)[position]; }
    position_iterator& operator++() {
        ++position;
        return *this;
    }
};

struct end_of_vector {};

template <typename Vector>
bool operator==(const position_iterator<Vector>& it, end_of_vector) {
    return it.position >= it.vector->size();
}

template <typename Vector>
const Vector* vector_of(PyObject* object) {
    py::detail::make_caster<Vector> caster;
    if (!caster.load(object, false))
        return nullptr;
    return static_cast<const Vector*>(caster.value);
}

// Buffer export of the list-like classes: pybind11's own, plus the count that lets the resizing
// methods refuse to run while a buffer points into the vector.
template <typename Vector>
int counted_getbuffer(PyObject* object, Py_buffer* view, int flags) {
    if (py::detail::pybind11_getbuffer(object, view, flags) != 0)
        return -1;
    try {
        note_buffer_exported(vector_of<Vector>(object));
    } catch (...) {
        py::detail::pybind11_releasebuffer(object, view);
        Py_CLEAR(view->obj);
        PyErr_NoMemory();
        return -1;
    }
    return 0;
}

template <typename Vector>
void counted_releasebuffer(PyObject* object, Py_buffer* view) {
    try {
        note_buffer_released(vector_of<Vector>(object), view->buf);
    } catch (...) {
        // Nothing here is expected to throw; a C callback must not let anything escape.
    }
    py::detail::pybind11_releasebuffer(object, view);
}

// Counts the buffers exported from a vector, and refuses __new__ alone like every class.
template <typename Vector>
void count_buffer_exports(PyHeapTypeObject* heap_type) {
    heap_type->as_buffer.bf_getbuffer = counted_getbuffer<Vector>;
    heap_type->as_buffer.bf_releasebuffer = counted_releasebuffer<Vector>;
    refuse_bare_new(heap_type);
}

// The members of pybind11's bind_vector, in its order and with its docstrings, except that the
// methods which change the size refuse to while buffers are exported, extending a vector with
// itself is well defined, and iteration goes by position.
template <typename T>
void bind_list_vector(py::module_& m, const char* name) {
    using vector = std::vector<T>;
    py::class_<vector> cls(m, name, py::buffer_protocol(), py::module_local(), constructed_by_call(),
                           py::custom_type_setup(count_buffer_exports<vector>));

    cls.def_buffer([](vector& v) {
        return py::buffer_info(v.data(), static_cast<py::ssize_t>(sizeof(T)),
                               py::format_descriptor<T>::format(), 1,
                               {static_cast<py::ssize_t>(v.size())},
                               {static_cast<py::ssize_t>(sizeof(T))});
    });
    cls.def(py::init([](const py::buffer& buffer) {
        auto info = buffer.request();
        if (info.ndim != 1 || info.strides[0] % static_cast<py::ssize_t>(sizeof(T)))
            throw py::type_error("Only valid 1D buffers can be copied to a vector");
        if (!py::detail::compare_buffer_info<T>::compare(info) ||
            static_cast<py::ssize_t>(sizeof(T)) != info.itemsize)
            throw py::type_error("Format mismatch (Python: " + info.format +
                                 " C++: " + py::format_descriptor<T>::format() + ")");
        const T* p = static_cast<const T*>(info.ptr);
        const py::ssize_t step = info.strides[0] / static_cast<py::ssize_t>(sizeof(T));
        if (step == 1)
            return vector(p, p + info.shape[0]);
        vector v;
        v.reserve(static_cast<std::size_t>(info.shape[0]));
        for (py::ssize_t i = 0; i < info.shape[0]; ++i)
            v.push_back(p[i * step]);
        return v;
    }));
    cls.def(py::init<>());
    cls.def(py::init<const vector&>(), "Copy constructor");

    cls.def(py::self == py::self);
    cls.def(py::self != py::self);
    cls.def(
        "count", [](const vector& v, const T& x) { return std::count(v.begin(), v.end(), x); },
        py::arg("x"), "Return the number of times ``x`` appears in the list");
    cls.def(
        "remove",
        [](vector& v, const T& x) {
            refuse_resize_while_exported(&v);
            auto found = std::find(v.begin(), v.end(), x);
            if (found == v.end())
                throw py::value_error();
            v.erase(found);
        },
        py::arg("x"),
        "Remove the first item from the list whose value is x. "
        "It is an error if there is no such item.");
    cls.def(
        "__contains__",
        [](const vector& v, const T& x) { return std::find(v.begin(), v.end(), x) != v.end(); },
        py::arg("x"), "Return true the container contains ``x``");

    cls.def(
        "__repr__",
        [name = std::string(name)](const vector& v) {
            std::ostringstream s;
            s << name << '[';
            for (std::size_t i = 0; i < v.size(); ++i)
                s << (i ? ", " : "") << v[i];
            s << ']';
            return s.str();
        },
        "Return the canonical string representation of this list.");

    cls.def(
        "append",
        [](vector& v, const T& x) {
            refuse_resize_while_exported(&v);
            v.push_back(x);
        },
        py::arg("x"), "Add an item to the end of the list");
    cls.def(py::init([](const py::iterable& items) {
        vector v;
        v.reserve(py::len_hint(items));
        for (py::handle item : items)
            v.push_back(item.cast<T>());
        return v;
    }));
    cls.def(
        "clear",
        [](vector& v) {
            refuse_resize_while_exported(&v);
            v.clear();
        },
        "Clear the contents");
    cls.def(
        "extend",
        [](vector& v, const vector& source) {
            refuse_resize_while_exported(&v);
            if (&source == &v) {
                const vector copy = source;
                v.insert(v.end(), copy.begin(), copy.end());
            } else {
                v.insert(v.end(), source.begin(), source.end());
            }
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");
    cls.def(
        "extend",
        [](vector& v, const py::iterable& items) {
            // Converting the items runs Python code, which may export a buffer of v; so the
            // items are gathered first and v is only resized once nothing can intervene.
            vector gathered;
            gathered.reserve(py::len_hint(items));
            for (py::handle item : items)
                gathered.push_back(item.cast<T>());
            refuse_resize_while_exported(&v);
            v.insert(v.end(), gathered.begin(), gathered.end());
        },
        py::arg("L"), "Extend the list by appending all the items in the given list");
    cls.def(
        "insert",
        [](vector& v, diff_t i, const T& x) {
            if (i < 0)
                i += static_cast<diff_t>(v.size());
            if (i < 0 || static_cast<std::size_t>(i) > v.size())
                throw py::index_error();
            refuse_resize_while_exported(&v);
            v.insert(v.begin() + i, x);
        },
        py::arg("i"), py::arg("x"), "Insert an item at a given position.");
    cls.def(
        "pop",
        [](vector& v) {
            if (v.empty())
                throw py::index_error();
            refuse_resize_while_exported(&v);
            T last = v.back();
            v.pop_back();
            return last;
        },
        "Remove and return the last item");
    cls.def(
        "pop",
        [](vector& v, diff_t i) {
            const std::size_t at = wrap_index(i, v.size());
            refuse_resize_while_exported(&v);
            T item = v[at];
            v.erase(v.begin() + static_cast<diff_t>(at));
            return item;
        },
        py::arg("i"), "Remove and return the item at index ``i``");
    cls.def("__setitem__",
            [](vector& v, diff_t i, const T& x) { v[wrap_index(i, v.size())] = x; });

    cls.def(
        "__getitem__",
        [](const vector& v, const py::slice& slice) {
            std::size_t start = 0, stop = 0, step = 0, length = 0;
            if (!slice.compute(v.size(), &start, &stop, &step, &length))
                throw py::error_already_set();
            vector result;
            result.reserve(length);
            for (std::size_t i = 0; i < length; ++i, start += step)
                result.push_back(v[start]);
            return result;
        },
        py::arg("s"), "Retrieve list elements using a slice object");
    cls.def(
        "__setitem__",
        [](vector& v, const py::slice& slice, const vector& value) {
            std::size_t start = 0, stop = 0, step = 0, length = 0;
            if (!slice.compute(v.size(), &start, &stop, &step, &length))
                throw py::error_already_set();
            if (length != value.size())
                throw std::runtime_error(
                    "Left and right hand size of slice assignment have different sizes!");
            const vector source = value;  // value may be v itself
            for (std::size_t i = 0; i < length; ++i, start += step)
                v[start] = source[i];
        },
        "Assign list elements using a slice object");
    cls.def(
        "__delitem__",
        [](vector& v, diff_t i) {
            const std::size_t at = wrap_index(i, v.size());
            refuse_resize_while_exported(&v);
            v.erase(v.begin() + static_cast<diff_t>(at));
        },
        "Delete the list elements at index ``i``");
    cls.def(
        "__delitem__",
        [](vector& v, const py::slice& slice) {
            py::ssize_t start = 0, stop = 0, step = 0, length = 0;
            if (!slice.compute(static_cast<py::ssize_t>(v.size()), &start, &stop, &step, &length))
                throw py::error_already_set();
            if (length == 0)
                return;
            refuse_resize_while_exported(&v);
            if (step == 1) {
                v.erase(v.begin() + start, v.begin() + start + length);
                return;
            }
            // From the highest index down, so that no erase shifts an index still to be erased.
            if (step > 0) {
                start += (length - 1) * step;
                step = -step;
            }
            for (; length > 0; --length, start += step)
                v.erase(v.begin() + start);
        },
        "Delete list elements using a slice object");

    cls.def("__getitem__", [](const vector& v, diff_t i) { return v[wrap_index(i, v.size())]; });
    cls.def(
        "__iter__",
        [](const vector& v) {
            return py::make_iterator<py::return_value_policy::copy>(
                position_iterator<vector>{&v, 0}, end_of_vector{});
        },
        py::keep_alive<0, 1>());
    cls.def(
        "__bool__", [](const vector& v) { return !v.empty(); },
        "Check whether the list is nonempty");
    cls.def("__len__", [](const vector& v) { return v.size(); });
}

// A class that only exports the vector's memory, each element as `columns` items of type Item.
template <typename Vector, typename Item, std::size_t columns>
void bind_buffer_vector(py::module_& m, const char* name) {
    static_assert(sizeof(typename Vector::value_type) == columns * sizeof(Item),
                  "elements must be packed arrays of their items");
    made_by_call<py::class_<Vector>>(m, name, py::buffer_protocol())
        .def(py::init<>())
        .def_buffer([](Vector& v) {
            constexpr auto item_size = static_cast<py::ssize_t>(sizeof(Item));
            constexpr auto element_size = static_cast<py::ssize_t>(sizeof(Item) * columns);
            const auto n = static_cast<py::ssize_t>(v.size());
            if constexpr (columns == 1)
                return py::buffer_info(v.data(), item_size, py::format_descriptor<Item>::format(),
                                       1, {n}, {item_size});
            else
                return py::buffer_info(v.data(), item_size, py::format_descriptor<Item>::format(),
                                       2, {n, static_cast<py::ssize_t>(columns)},
                                       {element_size, item_size});
        });
}

// The per-echo outputs are a vector per echo: a frame that keeps its own copies stacks them into
// one new array each. One call for all of them, since in the frame loop every call into numpy
// finds its code and data pushed out of the caches by the decoder.
py::list copy_stacked(const py::list& groups) {
    const auto refuse = [] {
        return py::value_error("_copy_stacked: each group must be a non-empty list of C-contiguous arrays of "
                               "one dtype and shape");
    };
    py::list stacked;
    for (const py::handle group : groups) {
        if (!py::isinstance<py::list>(group) || py::len(group) == 0)
            throw refuse();
        const auto parts = py::reinterpret_borrow<py::list>(group);
        std::vector<py::array> arrays;
        arrays.reserve(parts.size());
        for (const py::handle part : parts) {
            if (!py::isinstance<py::array>(part))
                throw refuse();
            arrays.push_back(py::reinterpret_borrow<py::array>(part));
        }
        const py::array& first = arrays.front();
        for (const py::array& part : arrays) {
            const bool same = part.dtype().num() == first.dtype().num() && part.ndim() == first.ndim() &&
                              std::equal(first.shape(), first.shape() + first.ndim(), part.shape());
            if (!same || (part.flags() & py::array::c_style) == 0)
                throw refuse();
        }
        std::vector<py::ssize_t> shape{static_cast<py::ssize_t>(arrays.size())};
        shape.insert(shape.end(), first.shape(), first.shape() + first.ndim());
        py::array out(first.dtype(), shape);
        auto* target = static_cast<std::uint8_t*>(out.mutable_data());
        const auto bytes = static_cast<std::size_t>(first.nbytes());
        for (std::size_t k = 0; k < arrays.size(); ++k)
            std::memcpy(target + k * bytes, arrays[k].data(), bytes);
        stacked.append(std::move(out));
    }
    return stacked;
}

}  // namespace

void bind_vectors(py::module_& m) {
    bind_list_vector<std::uint8_t>(m, "vector_uint8");
    bind_list_vector<std::uint32_t>(m, "vector_uint32");
    bind_list_vector<float>(m, "vector_float");
    bind_buffer_vector<std::vector<peak_status>, std::uint8_t, 1>(m, "vector_peak_status");
    bind_buffer_vector<std::vector<point3f>, float, 3>(m, "vector_vector3");
    bind_buffer_vector<std::vector<histogram_bins_t>, std::uint32_t, histogram_bins>(
        m, "vector_histogram");
    bind_buffer_vector<std::vector<pdc_counts_t>, std::uint32_t, pdc_channels>(m, "vector_pdc");
    m.def("_copy_stacked", &copy_stacked, py::arg("groups"),
          "For each group of equally shaped C-contiguous arrays, a new array of them stacked along a new "
          "first axis (numpy.stack of copies, in one call)");
}

}  // namespace vorlake::tessaro::python
