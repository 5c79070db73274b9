// Internal faults: a broken invariant or exhausted memory. Both write a short
// report to standard error and end the process at once (abort), so that no
// caller can ever observe state that a half-finished operation left behind.
// Nothing here touches the Python interpreter.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace quelvar {

[[noreturn]] void internal_fault(std::string_view message,
                                 std::source_location where = std::source_location::current());

// The report of an allocation that could not be satisfied, with its size.
[[noreturn]] void allocation_failure(std::size_t bytes);

// Ends the process without a report (the caller has already written one).
[[noreturn]] void terminate_process();

}  // namespace quelvar
