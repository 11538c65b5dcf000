// The shared argument binder and the scalar conversions.
#include "python/args.h"

#include <string>

namespace wexo::python {
namespace {

// Index of the parameter named by a keyword, or n_params.
std::size_t find_param(const Signature& sig, PyObject* keyword) {
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(keyword, &size);
    if (!utf8) {  // a lone surrogate names no parameter
        PyErr_Clear();
        return sig.n_params;
    }
    const std::string_view name(utf8, static_cast<std::size_t>(size));
    std::size_t i = 0;
    while (i < sig.n_params && sig.params[i] != name) ++i;
    return i;
}

// "'a'", "'a' and 'b'", "'a', 'b', and 'c'", as CPython lists missing arguments.
std::string quoted_list(const std::array<std::string_view, kMaxParams>& names, std::size_t n) {
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        if (i > 0) out += n == 2 ? " and " : (i + 1 == n ? ", and " : ", ");
        out += '\'';
        out += names[i];
        out += '\'';
    }
    return out;
}

}  // namespace

void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots) {
    const auto n_positional = static_cast<std::size_t>(nargs);
    if (n_positional > sig.n_params) {
        std::size_t n_required = 0;
        for (std::size_t i = 0; i < sig.n_params; ++i) n_required += sig.optional[i] ? 0 : 1;
        const char* plural = sig.n_params == 1 ? "" : "s";
        const char* verb = n_positional == 1 ? "was" : "were";
        if (n_required == sig.n_params)
            PyErr_Format(PyExc_TypeError, "%s() takes %zu positional argument%s but %zu %s given", sig.function,
                         sig.n_params, plural, n_positional, verb);
        else
            PyErr_Format(PyExc_TypeError, "%s() takes from %zu to %zu positional argument%s but %zu %s given",
                         sig.function, n_required, sig.n_params, plural, n_positional, verb);
        throw PyErrorSet{};
    }
    for (std::size_t i = 0; i < n_positional; ++i) slots[i] = args[i];

    const Py_ssize_t n_keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    for (Py_ssize_t k = 0; k < n_keywords; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);  // borrowed
        const std::size_t i = find_param(sig, keyword);
        if (i == sig.n_params) {
            PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", sig.function, keyword);
            throw PyErrorSet{};
        }
        if (slots[i]) {
            PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", sig.function, keyword);
            throw PyErrorSet{};
        }
        slots[i] = args[nargs + k];
    }

    std::array<std::string_view, kMaxParams> missing{};
    std::size_t n_missing = 0;
    for (std::size_t i = 0; i < sig.n_params; ++i) {
        if (!slots[i] && !sig.optional[i]) missing[n_missing++] = sig.params[i];
        if (slots[i] == Py_None && sig.optional[i]) slots[i] = nullptr;
    }
    if (n_missing > 0) {
        PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", sig.function, n_missing,
                     n_missing == 1 ? "" : "s", quoted_list(missing, n_missing).c_str());
        throw PyErrorSet{};
    }
}

void prefix_type_error(std::string_view name) noexcept {
    if (PyErr_Occurred() != PyExc_TypeError) return;  // subclasses and other types pass through
    Ref error = fetch_error();
    if (!error || Py_TYPE(error.get()) != reinterpret_cast<PyTypeObject*>(PyExc_TypeError)) {
        // Normalisation can change the type; put it back as it is.
        if (error) PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        return;
    }
    Ref param = Ref::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!param) return;
    Ref message = Ref::steal(PyUnicode_FromFormat("argument '%U': %S", param.get(), error.get()));
    if (!message) return;
    Ref renamed = Ref::steal(PyObject_CallOneArg(PyExc_TypeError, message.get()));
    if (!renamed) return;
    if (PyObject* cause = PyException_GetCause(error.get())) PyException_SetCause(renamed.get(), cause);  // steals
    PyErr_SetObject(PyExc_TypeError, renamed.get());
}

bool convert(PyObject* o, std::string& out) {
    if (!PyUnicode_Check(o)) {
        raise_not_instance(o, "str");
        return false;
    }
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(o, &size);  // UnicodeEncodeError for lone surrogates
    if (!utf8) return false;
    out.assign(utf8, static_cast<std::size_t>(size));
    return true;
}

bool convert(PyObject* o, float& out) {
    const double value = PyFloat_AsDouble(o);
    if (value == -1.0 && PyErr_Occurred()) return false;
    out = static_cast<float>(value);  // round to nearest; beyond the float range gives infinity (IEEE 754)
    return true;
}

bool convert(PyObject* o, std::uint64_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));  // floats and other non-integral objects: TypeError
    if (!index) return false;
    const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());  // OverflowError: negative, too big
    if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
    out = value;
    return true;
}

bool convert(PyObject* o, std::uint16_t& out) {
    Ref index = Ref::steal(PyNumber_Index(o));
    if (!index) return false;
    const long long value = PyLong_AsLongLong(index.get());  // beyond 64 bits: the interpreter's OverflowError
    if (value == -1 && PyErr_Occurred()) return false;
    if (value < 0 || value > 0xFFFF) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    out = static_cast<std::uint16_t>(value);
    return true;
}

}  // namespace wexo::python
