#pragma once

// Owned and borrowed references to Python objects. Every call site states the
// transfer: PyRef::steal() adopts a new reference, PyRef::borrow() adds one.

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace ov::py {

class PyRef {
public:
    PyRef() = default;
    ~PyRef() { Py_XDECREF(ptr_); }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    PyRef(PyRef&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept {
        if (this != &other) {
            Py_XDECREF(ptr_);
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }

    [[nodiscard]] static PyRef steal(PyObject* ptr) {
        PyRef r;
        r.ptr_ = ptr;
        return r;
    }
    [[nodiscard]] static PyRef borrow(PyObject* ptr) {
        Py_XINCREF(ptr);
        return steal(ptr);
    }

    PyObject* get() const { return ptr_; }
    explicit operator bool() const { return ptr_ != nullptr; }
    // Hands our reference to CPython (a return value, a slot that steals).
    [[nodiscard]] PyObject* release() { return std::exchange(ptr_, nullptr); }

private:
    PyObject* ptr_ = nullptr;
};

// A reference that someone else keeps alive for as long as we use it.
class Borrowed {
public:
    explicit Borrowed(PyObject* ptr) : ptr_(ptr) {}
    PyObject* get() const { return ptr_; }
    PyRef new_ref() const { return PyRef::borrow(ptr_); }

private:
    PyObject* ptr_;
};

// Saves the exception pending on this thread and restores it on scope exit, so
// code in between may call into Python without losing or leaking it.
class PendingErrorGuard {
public:
    PendingErrorGuard();
    ~PendingErrorGuard();
    PendingErrorGuard(const PendingErrorGuard&) = delete;
    PendingErrorGuard& operator=(const PendingErrorGuard&) = delete;

private:
#if PY_VERSION_HEX >= 0x030C0000
    PyObject* exception_;
#else
    PyObject* type_;
    PyObject* value_;
    PyObject* traceback_;
#endif
};

// Releases the interpreter lock for the lifetime of the guard.
class GilRelease {
public:
    GilRelease() : state_(PyEval_SaveThread()) {}
    ~GilRelease() { PyEval_RestoreThread(state_); }
    GilRelease(const GilRelease&) = delete;
    GilRelease& operator=(const GilRelease&) = delete;

private:
    PyThreadState* state_;
};

}  // namespace ov::py
