import numpy as np
import pytest

import pelorin

LIST_LIKE = [(pelorin.vector_uint8, np.uint8, "B", 1), (pelorin.vector_uint32, np.uint32, "I", 4),
             (pelorin.vector_float, np.float32, "f", 4)]
BUFFER_ONLY = [pelorin.vector_peak_status, pelorin.vector_vector3, pelorin.vector_histogram,
               pelorin.vector_pdc]


@pytest.mark.parametrize("cls, dtype, fmt, size", LIST_LIKE)
def test_list_like_vectors_export_their_elements(cls, dtype, fmt, size):
    v = cls([1, 2, 3])
    view = memoryview(v)
    assert (view.format, view.itemsize, view.shape, view.strides, view.readonly) == \
        (fmt, size, (3,), (size,), False)
    assert view.obj is v
    array = np.asarray(v)
    assert array.dtype == dtype
    array[1] = 9
    assert v[1] == 9


@pytest.mark.parametrize("cls, dtype, fmt, size", LIST_LIKE)
def test_construction_from_buffers(cls, dtype, fmt, size):
    assert list(cls(np.array([4, 5], dtype=dtype))) == [4, 5]
    assert list(cls(np.arange(6, dtype=dtype)[::2])) == [0, 2, 4]
    with pytest.raises(TypeError, match="Only valid 1D buffers"):
        cls(np.zeros((2, 2), dtype=dtype))
    with pytest.raises(TypeError, match="Format mismatch"):
        cls(np.zeros(2, dtype=np.float64))
    assert list(cls(cls([7]))) == [7]  # copy constructor
    assert list(cls()) == []


def test_list_methods():
    v = pelorin.vector_uint32([5, 6, 7])
    v.append(8)
    v.extend([9])
    v.extend(pelorin.vector_uint32([10]))
    v.insert(-1, 11)
    v.insert(len(v), 12)
    assert list(v) == [5, 6, 7, 8, 9, 11, 10, 12]
    assert (v.pop(), v.pop(0), v.pop(-2)) == (12, 5, 11)
    v.remove(7)
    assert list(v) == [6, 8, 9, 10]
    v[-1] = 1
    v[0:2] = pelorin.vector_uint32([3, 4])
    del v[::2]
    assert list(v) == [4, 1]
    del v[0]
    assert (len(v), bool(v), 1 in v, v.count(1)) == (1, True, True, 1)
    v.clear()
    assert not v and len(v) == 0
    v.extend(pelorin.vector_uint32([1, 2, 3]))
    v.extend(v)
    assert list(v) == [1, 2, 3, 1, 2, 3]
    assert list(v[1::2]) == [2, 1, 3] and isinstance(v[1::2], pelorin.vector_uint32)
    assert v == pelorin.vector_uint32([1, 2, 3, 1, 2, 3]) and v != pelorin.vector_uint32()


@pytest.mark.parametrize("call, error", [
    (lambda v: v[3], IndexError),
    (lambda v: v[-4], IndexError),
    (lambda v: v.pop(3), IndexError),
    (lambda v: pelorin.vector_float().pop(), IndexError),
    (lambda v: v.insert(5, 1.0), IndexError),
    (lambda v: v.remove(42.0), ValueError),
    (lambda v: v.__setitem__(slice(0, 2), pelorin.vector_float([1.0])), RuntimeError),
    (lambda v: pelorin.vector_uint8([256]), RuntimeError),  # items of an iterable: cast error
    (lambda v: pelorin.vector_uint8().append(-1), TypeError),
    (lambda v: pelorin.vector_uint32().append(1.5), TypeError),
    (lambda v: v.extend([1.0, "x"]), RuntimeError),
])
def test_list_method_failures(call, error):
    v = pelorin.vector_float([1.0, 2.0, 3.0])
    with pytest.raises(error):
        call(v)
    assert list(v) == [1.0, 2.0, 3.0]


def test_repr():
    assert repr(pelorin.vector_float([1, 2.5])) == "vector_float[1, 2.5]"
    assert repr(pelorin.vector_uint32([7, 4000000000])) == "vector_uint32[7, 4000000000]"
    assert repr(pelorin.vector_uint8([72, 105])) == "vector_uint8[H, i]"
    with pytest.raises(UnicodeDecodeError):
        repr(pelorin.vector_uint8([0xFF]))


def test_iterators_survive_resizing():
    v = pelorin.vector_uint32(range(4))
    it = iter(v)
    assert next(it) == 0
    v.extend(range(1000))  # reallocates
    v.clear()
    assert list(it) == []
    v.extend([1, 2])
    it = iter(v)
    del v
    assert list(it) == [1, 2]


@pytest.mark.parametrize("cls", BUFFER_ONLY)
def test_buffer_only_vectors_have_only_a_buffer(cls):
    v = cls()
    with pytest.raises(TypeError):
        len(v)
    with pytest.raises(TypeError):
        v[0]
    with pytest.raises(TypeError):
        iter(v)
    assert memoryview(v).nbytes == 0
    assert np.asarray(v).size == 0
