// Owning handle for PyObject references: borrow and steal are spelled out at every use.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vk {

class Ref {
  public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
    Ref& operator=(Ref&& other) noexcept {
        PyObject* old = p_;
        p_ = other.p_;
        other.p_ = nullptr;
        Py_XDECREF(old);
        return *this;
    }
    ~Ref() { Py_XDECREF(p_); }

    // Takes over a new reference (NULL allowed: the error stays set for the caller).
    static Ref steal(PyObject* o) noexcept {
        Ref r;
        r.p_ = o;
        return r;
    }
    // Adds a reference to a borrowed object.
    static Ref borrow(PyObject* o) noexcept {
        Py_XINCREF(o);
        return steal(o);
    }

    PyObject* get() const noexcept { return p_; }
    PyObject* release() noexcept {
        PyObject* o = p_;
        p_ = nullptr;
        return o;
    }
    // A new reference for the caller, keeping ours.
    PyObject* newref() const noexcept { return Py_XNewRef(p_); }
    explicit operator bool() const noexcept { return p_ != nullptr; }
    void reset() noexcept { Py_CLEAR(p_); }

  private:
    PyObject* p_ = nullptr;
};

}  // namespace vk
