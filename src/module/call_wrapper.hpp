// The frame around every function body: run it, hand its result to the
// interpreter or raise its error. No C++ exception leaves this frame.
#pragma once

#include <exception>
#include <string>

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
    } catch (const std::exception& unexpected) {
        // Never a std::bad_alloc for exhausted memory: the module's own
        // operator new (runtime/memory.cpp) ends the process with its report.
        internal_fault(std::string("unexpected C++ exception: ") + unexpected.what());
    } catch (...) {
        internal_fault("unexpected C++ exception");
    }
}

}  // namespace quelvar
