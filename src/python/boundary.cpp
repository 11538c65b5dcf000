// The binding layer's only catch blocks, and the abort exception they raise.
#include "python/boundary.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>

#include "core/check.h"

namespace wexo::python {
namespace {

// Created on first abort and kept for the whole process: a module attribute would tie it to one import.
PyObject* abort_type = nullptr;

// Paths from the compiler are absolute; from "src/" on is what a reader needs.
const char* source_path(const char* file) {
    const char* best = file;
    for (const char* p = std::strstr(file, "/src/"); p; p = std::strstr(p + 1, "/src/")) best = p + 1;
    return best;
}

}  // namespace

PyObject* raise_abort(std::string_view msg, std::source_location where) noexcept {
    // No allocation here: this also reports exhausted memory.
    std::fputs("wexo: aborted", stderr);
    if (where.line() != 0) std::fprintf(stderr, " at %s:%u", source_path(where.file_name()), where.line());
    std::fputs(": ", stderr);
    std::fwrite(msg.data(), 1, msg.size(), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);

    if (!abort_type) {
        abort_type = PyErr_NewException("pyo3_runtime.PanicException", PyExc_BaseException, nullptr);
        if (!abort_type) return nullptr;
    }
    // A core message may quote bytes from a file; never let decoding hide the abort.
    Ref text = Ref::steal(PyUnicode_DecodeUTF8(msg.data(), static_cast<Py_ssize_t>(msg.size()), "replace"));
    if (!text) return nullptr;
    PyErr_SetObject(abort_type, text.get());
    return nullptr;
}

void raise_not_instance(PyObject* o, const char* expected) noexcept {
    // tp_name is "module.Name" for static types; the message names the class only.
    const char* name = Py_TYPE(o)->tp_name;
    if (const char* dot = std::strrchr(name, '.')) name = dot + 1;
    PyErr_Format(PyExc_TypeError, "'%s' object is not an instance of '%s'", name, expected);
}

Ref fetch_error() noexcept {
#if PY_VERSION_HEX >= 0x030C0000
    return Ref::steal(PyErr_GetRaisedException());
#else
    PyObject* type = nullptr;
    PyObject* value = nullptr;
    PyObject* traceback = nullptr;
    PyErr_Fetch(&type, &value, &traceback);
    if (!type) return {};
    PyErr_NormalizeException(&type, &value, &traceback);
    if (value && traceback) PyException_SetTraceback(value, traceback);
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return Ref::steal(value);
#endif
}

PyObject* run_guarded(PyObject* (*call)(void*), void* body) noexcept {
    try {
        return call(body);
    } catch (const PyErrorSet&) {
        if (!PyErr_Occurred()) return raise_abort("internal error: error reported but none set", {});
        return nullptr;
    } catch (const Abort& e) {
        return raise_abort(e.what(), e.where);
    } catch (const std::bad_alloc&) {
        return raise_abort("memory allocation failed", {});
    } catch (const std::exception& e) {  // std::length_error from an impossible size, and the like
        return raise_abort(e.what(), {});
    } catch (...) {
        return raise_abort("internal error", {});
    }
}

}  // namespace wexo::python
