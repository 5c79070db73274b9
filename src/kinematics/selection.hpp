// Exact order statistics of values that are not NaN, for the robust figures
// of the moves: the k-th smallest without sorting and without reordering the
// values.
#pragma once

#include <cstddef>
#include <utility>

namespace quelvar {

// How many values a pass may write past those it keeps.
inline constexpr std::size_t SELECTION_SLACK = 4;

// The scratch, in doubles, of kth_smallest and of trimmed_ends of `count` values.
constexpr std::size_t selection_scratch(std::size_t count) { return 3 * (count + SELECTION_SLACK); }
constexpr std::size_t ends_scratch(std::size_t count) {
    return 2 * (count + SELECTION_SLACK) + selection_scratch(count);
}

// The passes over the values: four at a time with AVX2 where the CPU has it
// (Best), or one at a time on any target; both give the same values.
enum class SelectionKernel { Best, Portable };

// The k-th smallest (from 0) of count values (none NaN), which are left as
// they are. Where -0.0 and 0.0 both rank k, which of them comes back is
// unspecified.
double kth_smallest(const double* values, std::size_t count, std::size_t k, double* scratch,
                    SelectionKernel kernel = SelectionKernel::Best);

// The trim-th smallest and the trim-th largest (kth_smallest of trim and of
// count - 1 - trim; 2 * trim < count) with one pass for both.
std::pair<double, double> trimmed_ends(const double* values, std::size_t count, std::size_t trim, double* scratch,
                                       SelectionKernel kernel = SelectionKernel::Best);

}  // namespace quelvar
