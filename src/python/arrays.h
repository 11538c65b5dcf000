// NumPy array arguments: checked when the call binds them, copied once into the core's containers later.
#pragma once

#include <Python.h>

#include <cstdint>

#include "core/matrix.h"

namespace wexo::python {

// An argument that passed the checks for element type T and rank Rank. The call only reads it.
template <class T, int Rank>
struct ArrayArg {
    PyObject* array = nullptr;  // borrowed from the call's arguments
};

enum class Element { float32, int32 };

// True when o is an ndarray (or subclass) of that rank and an equivalent native element type.
// Otherwise raises TypeError and returns false. Aborts when NumPy cannot be imported.
bool check_array(PyObject* o, Element element, int rank);

// Element-by-element copies in logical order, whatever the strides.
Matrix copy_matrix(PyObject* array);            // checked rank-2 float32
Vector copy_vector(PyObject* array);            // checked rank-1 float32
// A checked rank-2 float32 array's shape, and rows [first, first + count) of it into out (count * columns floats).
std::size_t rows(PyObject* array);
std::size_t columns(PyObject* array);
void copy_rows(PyObject* array, std::size_t first, std::size_t count, float* out);
ClassVector copy_class_vector(PyObject* array);  // checked rank-1 int32

inline bool convert(PyObject* o, ArrayArg<float, 2>& out) {
    out.array = o;
    return check_array(o, Element::float32, 2);
}
inline bool convert(PyObject* o, ArrayArg<float, 1>& out) {
    out.array = o;
    return check_array(o, Element::float32, 1);
}
inline bool convert(PyObject* o, ArrayArg<std::int32_t, 1>& out) {
    out.array = o;
    return check_array(o, Element::int32, 1);
}

inline Matrix copy(ArrayArg<float, 2> a) { return copy_matrix(a.array); }
inline Vector copy(ArrayArg<float, 1> a) { return copy_vector(a.array); }
inline ClassVector copy(ArrayArg<std::int32_t, 1> a) { return copy_class_vector(a.array); }

}  // namespace wexo::python
