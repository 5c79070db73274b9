// Internal faults: a broken invariant or exhausted memory. Both write a short
// report to standard error and end the process at once (abort), so that no
// caller can ever observe state that a half-finished operation left behind.
// Nothing here touches the Python interpreter.
#pragma once

#include <cstddef>
#include <source_location>
#include <string_view>

namespace quelvar {

// Where a fault was detected, taken by a defaulted argument at the caller:
// the one spelling of a source location in the project.
#if defined(__cpp_lib_source_location)
using SourceLocation = std::source_location;
#else
// A standard library whose <source_location> needs more of the compiler than
// it has (libstdc++ 12 under clang 14, which builds the fuzzers): the same
// three facts from clang's builtins (g++ 12 has no __builtin_COLUMN, but its
// library has std::source_location).
class SourceLocation {
public:
    static constexpr SourceLocation current(const char* file = __builtin_FILE(), unsigned line = __builtin_LINE(),
                                            unsigned column = __builtin_COLUMN()) noexcept {
        return SourceLocation(file, line, column);
    }
    constexpr const char* file_name() const noexcept { return file_; }
    constexpr unsigned line() const noexcept { return line_; }
    constexpr unsigned column() const noexcept { return column_; }

private:
    constexpr SourceLocation(const char* file, unsigned line, unsigned column) noexcept
        : file_(file), line_(line), column_(column) {}
    const char* file_;
    unsigned line_;
    unsigned column_;
};
#endif

[[noreturn]] void internal_fault(std::string_view message, SourceLocation where = SourceLocation::current());

// The report of an allocation that could not be satisfied, with its size.
[[noreturn]] void allocation_failure(std::size_t bytes);

// Ends the process without a report (the caller has already written one).
[[noreturn]] void terminate_process();

}  // namespace quelvar
