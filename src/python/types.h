// The three Python classes whose instances each own one record.
#pragma once

#include <Python.h>

#include "model/records.h"
#include "optimizer/optimizer.h"
#include "python/ref.h"

namespace wexo::python {

// R is LinearModel, CategoricalModel or DynamicOptimizer.

// The class name as Python shows it, e.g. "LinearModel".
template <class R>
const char* record_name() noexcept;

// R's class, created on first use and kept for the process; throws PyErrorSet if creation fails. Borrowed.
template <class R>
PyTypeObject* record_type();

// A new instance owning record. Returns a new reference.
template <class R>
Ref wrap(R record);

// The record inside o, or nullptr unless o's type is exactly R's class (the classes have no subclasses).
// Borrowed from o.
template <class R>
const R* record_of(PyObject* o);

}  // namespace wexo::python
