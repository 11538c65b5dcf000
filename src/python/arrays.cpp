// The only user of NumPy's C API: array checks and strided copies.
#include "python/arrays.h"

#include <numpy/arrayobject.h>

#include <cstring>
#include <string>
#include <type_traits>

#include "core/check.h"
#include "python/boundary.h"
#include "python/ref.h"

namespace wexo::python {
namespace {

// NumPy is imported at the first array argument, not with the module: building models needs no NumPy.
void import_numpy() {
    if (PyArray_API) return;
    if (_import_array() == 0) return;
    PyArray_API = nullptr;  // a failed version check leaves the table set
    std::string reason = "unknown error";
    if (Ref error = fetch_error()) {
        if (Ref text = Ref::steal(PyObject_Str(error.get()))) {
            if (const char* s = PyUnicode_AsUTF8(text.get())) reason = s;
        }
        PyErr_Clear();
    }
    fail("numpy could not be imported: " + reason);
}

PyArrayObject* as_array(PyObject* checked) { return reinterpret_cast<PyArrayObject*>(checked); }

// Rows [first, first + n_rows) of a checked rank-1 (one row) or rank-2 array, n_cols elements each, in logical order.
template <class T>
void copy_elements(PyArrayObject* a, std::size_t first, std::size_t n_rows, std::size_t n_cols, T* out) {
    if (n_rows == 0 || n_cols == 0) return;
    const char* base = PyArray_BYTES(a);
    // Strides are in bytes and may be negative, zero or unaligned; memcpy reads each element safely.
    const npy_intp* strides = PyArray_STRIDES(a);
    const npy_intp row_stride = PyArray_NDIM(a) == 2 ? strides[0] : 0;
    const npy_intp col_stride = strides[PyArray_NDIM(a) - 1];
    if (PyArray_IS_C_CONTIGUOUS(a)) {
        // the caller sized out for these rows, and they lie within the array
        std::memcpy(out, base + static_cast<npy_intp>(first) * row_stride, n_rows * n_cols * sizeof(T));
        return;
    }
    for (std::size_t i = first; i < first + n_rows; ++i) {
        const char* row = base + static_cast<npy_intp>(i) * row_stride;
        for (std::size_t j = 0; j < n_cols; ++j)
            std::memcpy(out++, row + static_cast<npy_intp>(j) * col_stride, sizeof(T));
    }
}

std::size_t dim(PyArrayObject* a, int i) { return static_cast<std::size_t>(PyArray_DIM(a, i)); }

}  // namespace

bool check_array(PyObject* o, Element element, int rank) {
    import_numpy();
    if (!PyArray_Check(o)) {
        raise_not_instance(o, "ndarray");
        return false;
    }
    PyArrayObject* a = as_array(o);
    if (PyArray_NDIM(a) != rank) {
        PyErr_Format(PyExc_TypeError, "dimensionality mismatch:\n from=%d, to=%d", PyArray_NDIM(a), rank);
        return false;
    }
    const bool is_float = element == Element::float32;
    // Equivalence, not conversion: same kind and size in native byte order; byte-swapped data is refused.
    Ref wanted = owned(reinterpret_cast<PyObject*>(PyArray_DescrFromType(is_float ? NPY_FLOAT32 : NPY_INT32)));
    if (!PyArray_EquivTypes(PyArray_DESCR(a), reinterpret_cast<PyArray_Descr*>(wanted.get()))) {
        Ref got = owned(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(a))));
        PyErr_Format(PyExc_TypeError, "type mismatch:\n from=%U, to=%s", got.get(), is_float ? "float32" : "int32");
        return false;
    }
    return true;
}

namespace {

// An aligned C-order array is copied straight in: zero-filling the buffer first would add a full pass over
// memory that is about to be overwritten.
template <class T, class Allocator>
void copy_into(PyArrayObject* a, std::size_t n_rows, std::size_t n_cols, std::vector<T, Allocator>& out) {
    const std::size_t n = checked_mul(n_rows, n_cols);
    constexpr bool from_buffer_allocate = std::is_same_v<Allocator, BufferAllocator<T>>;
    if constexpr (from_buffer_allocate) {
        out.clear();
        out.reserve(n);  // exactly n: the pages faulted in are the ones the copy writes
    }
    if (n > 0 && PyArray_IS_C_CONTIGUOUS(a) && PyArray_ISALIGNED(a)) {
        const T* first = reinterpret_cast<const T*>(PyArray_BYTES(a));
        if constexpr (from_buffer_allocate) {
            out.resize(n);  // uninitialised
            copy_to_new_buffer(out.data(), first, n * sizeof(T));
        } else {
            out.assign(first, first + n);
        }
        return;
    }
    if constexpr (from_buffer_allocate) prefault_for_write(out.data(), n * sizeof(T));
    out.resize(n);
    copy_elements(a, 0, n_rows, n_cols, out.data());
}

}  // namespace

Matrix copy_matrix(PyObject* array) {
    PyArrayObject* a = as_array(array);
    Matrix m;
    copy_into(a, dim(a, 0), dim(a, 1), m.values);
    m.n_rows = dim(a, 0);
    m.n_cols = dim(a, 1);
    return m;
}

std::size_t rows(PyObject* array) { return dim(as_array(array), 0); }
std::size_t columns(PyObject* array) { return dim(as_array(array), 1); }

void copy_rows(PyObject* array, std::size_t first, std::size_t count, float* out) {
    PyArrayObject* a = as_array(array);
    WEXO_CHECK(first <= dim(a, 0) && count <= dim(a, 0) - first, "rows beyond the end of the array");
    copy_elements(a, first, count, dim(a, 1), out);
}

Vector copy_vector(PyObject* array) {
    PyArrayObject* a = as_array(array);
    Vector v;
    copy_into(a, 1, dim(a, 0), v);
    return v;
}

ClassVector copy_class_vector(PyObject* array) {
    PyArrayObject* a = as_array(array);
    ClassVector v;
    copy_into(a, 1, dim(a, 0), v);
    return v;
}

}  // namespace wexo::python
