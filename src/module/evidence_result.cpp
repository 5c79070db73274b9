#include "module/evidence_result.hpp"

#include <cmath>
#include <cstdint>

#include "module/convert.hpp"
#include "module/feature_dict.hpp"
#include "module/interned.hpp"

namespace quelvar {
namespace {

InternedStrings<MOVE_FIGURE_COUNT> MOVE_KEYS(MOVE_FIGURE_NAMES);
// The entries after the figure lists: the whole path's figures, and the
// webdriver flag as the collector's contract reads it.
InternedStrings<3> EXTRA_KEYS({"whole", "webdriver", "finite"});

// Every figure of a move of one point but `points` is 0.0, and such moves
// are common where the client's clock is coarse: one float object serves for
// every 0.0 (a float cannot change; only its identity tells it is shared).
py::Owned figure_value(double value) {
    static PyObject* const zero = require_object(PyFloat_FromDouble(0.0)).release();
    if (value == 0.0 && !std::signbit(value)) return py::Owned::share(zero);
    return to_python(value);
}
py::Owned figure_value(std::uint64_t value) { return to_python(value); }

// One figure of every move, as a list made at its final length.
template <class Value>
py::Owned figure_list(const std::vector<Move>& moves, Value Move::*figure) {
    py::Owned list = require_object(PyList_New(static_cast<Py_ssize_t>(moves.size())));
    for (std::size_t i = 0; i < moves.size(); ++i) {
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), figure_value(moves[i].*figure).release());
    }
    return list;
}

// The figures of one move, as a dictionary of the same keys.
Result<py::Owned> build_figure_dict(const Move& move) {
    py::Owned dict = new_dict(MOVE_FIGURE_COUNT);
    PyObject* const* keys = MOVE_KEYS.get();
    std::size_t key = 0;
#define QUELVAR_WHOLE_ENTRY(name, type, doc)                                                                \
    if (Status inserted = dict_insert(dict.get(), keys[key++], figure_value(move.name).get()); !inserted) { \
        return std::move(inserted).error();                                                                 \
    }
    QUELVAR_MOVE_FIGURES(QUELVAR_WHOLE_ENTRY)
#undef QUELVAR_WHOLE_ENTRY
    return dict;
}

Result<py::Owned> build_move_dict(const Evidence& evidence) {
    const std::vector<Move>& moves = evidence.moves;
    py::Owned dict = new_dict(MOVE_FIGURE_COUNT + 3);
    PyObject* const* keys = MOVE_KEYS.get();
    std::size_t key = 0;
    // The n-th figure of the list writes the n-th key.
#define QUELVAR_MOVE_ENTRY(name, type, doc)                                                                         \
    if (Status inserted = dict_insert(dict.get(), keys[key++], figure_list(moves, &Move::name).get()); !inserted) { \
        return std::move(inserted).error();                                                                         \
    }
    QUELVAR_MOVE_FIGURES(QUELVAR_MOVE_ENTRY)
#undef QUELVAR_MOVE_ENTRY
    PyObject* const* extra = EXTRA_KEYS.get();
    Result<py::Owned> whole = build_figure_dict(evidence.whole);
    if (!whole) return std::move(whole).error();
    if (Status inserted = dict_insert(dict.get(), extra[0], whole->get()); !inserted) {
        return std::move(inserted).error();
    }
    if (Status inserted = dict_insert(dict.get(), extra[1], to_python(evidence.webdriver).get()); !inserted) {
        return std::move(inserted).error();
    }
    if (Status inserted = dict_insert(dict.get(), extra[2], to_python(evidence.finite).get()); !inserted) {
        return std::move(inserted).error();
    }
    return dict;
}

}  // namespace

Result<py::Owned> build_evidence_result(const Evidence& evidence) {
    Result<py::Owned> features = build_feature_dict(evidence.features);
    if (!features) return std::move(features).error();
    Result<py::Owned> moves = build_move_dict(evidence);
    if (!moves) return std::move(moves).error();
    py::Owned pair = require_object(PyTuple_New(2));
    PyTuple_SET_ITEM(pair.get(), 0, (*std::move(features)).release());
    PyTuple_SET_ITEM(pair.get(), 1, (*std::move(moves)).release());
    return pair;
}

}  // namespace quelvar
