// Ref: the one owner of a Python reference in the binding layer.
#pragma once

#include <Python.h>

#include <utility>

namespace wexo::python {

class Ref {
public:
    static Ref steal(PyObject* p) noexcept { return Ref(p); }  // takes over a new reference
    static Ref borrow(PyObject* p) noexcept {
        Py_XINCREF(p);
        return Ref(p);
    }

    Ref() = default;
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        // Install the new pointer before dropping the old one: a decref may run arbitrary Python code.
        PyObject* old = std::exchange(p_, std::exchange(o.p_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Py_XDECREF(p_); }

    PyObject* get() const noexcept { return p_; }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    PyObject* release() noexcept { return std::exchange(p_, nullptr); }  // hands it to the interpreter

private:
    explicit Ref(PyObject* p) noexcept : p_(p) {}
    PyObject* p_ = nullptr;
};

}  // namespace wexo::python
