// Typed Python references. An Owned holds one strong reference and releases
// it when it goes away; a Borrowed is a view of an object that someone else
// keeps alive. How a reference comes into being is spelled at the call site:
// Owned::steal for a new reference handed to us, Owned::share for a new
// reference taken to a borrowed object. Both types are one pointer wide.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace quelvar::py {

class Borrowed {
public:
    explicit Borrowed(PyObject* object) noexcept : object_(object) {}
    PyObject* get() const noexcept { return object_; }

private:
    PyObject* object_;
};

class Owned {
public:
    Owned() noexcept = default;
    // Takes over a new reference (possibly null, as returned by a failed call).
    static Owned steal(PyObject* new_reference) noexcept { return Owned(new_reference); }
    // Takes a new reference to an object that is only borrowed.
    static Owned share(PyObject* borrowed) noexcept {
        Py_XINCREF(borrowed);
        return Owned(borrowed);
    }

    Owned(Owned&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        Owned(std::move(other)).swap(*this);
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;
    ~Owned() { Py_XDECREF(object_); }

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    // Hands the reference to the interpreter (a function's return value).
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }
    void swap(Owned& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Owned(PyObject* object) noexcept : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace quelvar::py
