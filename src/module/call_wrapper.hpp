// The frame around every function body: run it, hand its result to the
// interpreter or raise its error. No C++ exception leaves this frame.
#pragma once

#include <exception>
#include <new>

#include "module/result.hpp"
#include "runtime/fault.hpp"

namespace quelvar {

template <class Body>
PyObject* call_wrapper(Body&& body) noexcept {
    try {
        Result<py::Owned> outcome = body();
        if (outcome) return (*std::move(outcome)).release();
        std::move(outcome).error().restore();
        return nullptr;
    } catch (const std::bad_alloc&) {
        internal_fault("memory allocation failed inside the C++ runtime");
    } catch (const std::exception& unexpected) {
        internal_fault(std::string("unexpected C++ exception: ") + unexpected.what());
    } catch (...) {
        internal_fault("unexpected C++ exception");
    }
}

}  // namespace quelvar
