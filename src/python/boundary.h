// Where C++ failures become Python exceptions: the one catch site and the abort exception.
#pragma once

#include <Python.h>

#include <source_location>
#include <string_view>

#include "python/ref.h"

namespace wexo::python {

// Thrown once a Python exception is set, so that RAII unwinds the C++ frames on the way out.
struct PyErrorSet {};

// Takes over a new reference; a null one means the call that made it has set an error.
inline Ref owned(PyObject* new_reference) {
    if (!new_reference) throw PyErrorSet{};
    return Ref::steal(new_reference);
}

// Writes the one-line diagnostic to stderr and raises pyo3_runtime.PanicException(msg). Returns nullptr.
PyObject* raise_abort(std::string_view msg, std::source_location where) noexcept;

// Raises TypeError "'<type of o>' object is not an instance of '<expected>'".
void raise_not_instance(PyObject* o, const char* expected) noexcept;

// The pending exception, normalised, with the error indicator cleared; empty when none is pending.
Ref fetch_error() noexcept;

// Runs call(body) and turns whatever escapes it into a Python exception. Returns call's result, or nullptr
// with an exception set.
PyObject* run_guarded(PyObject* (*call)(void*), void* body) noexcept;

template <class Body>
PyObject* guarded(Body body) noexcept {
    return run_guarded([](void* b) -> PyObject* { return (*static_cast<Body*>(b))(); }, &body);
}

}  // namespace wexo::python
