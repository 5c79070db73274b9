// The floor that consume_nonce_rs (a replay) and is_ip_banned_rs (a hit) are
// measured against: the work neither can avoid. Each function takes one str,
// takes a lock of the store's kind as the real call does, hashes the text
// with the same keyed hash and reads a table of the same kind; there is no
// argument matching beyond one positional str and no clock. Built only for
// bench/run_benchmarks.py, never part of the module or its wheel.
#include <mutex>
#include <optional>
#include <shared_mutex>
#include <string_view>

#include "module/object_views.hpp"
#include "module/pyref.hpp"
#include "state/ban_table.hpp"
#include "state/nonce_bucket.hpp"
#include "state/nonce_cache.hpp"
#include "state/rw_lock.hpp"
#include "state/state_engine.hpp"

namespace quelvar {
namespace {

// Expiry times are compared against a fixed second instead of the clock.
constexpr std::uint64_t FIXED_NOW = 1'700'000'000;

struct Tables {
    RwLock lock;
    NonceBucket nonces{NONCE_BUCKET_RESERVE, KeyedHash::random()};
    BanTable bans{BAN_TABLE_RESERVE, process_ban_hash()};
};

Tables& tables() {
    static Tables* const made = new Tables();  // lives for the process, like the store
    return *made;
}

std::optional<std::string_view> one_text(PyObject* const* args, Py_ssize_t nargs) {
    if (nargs != 1) {
        PyErr_SetString(PyExc_TypeError, "expected one str");
        return std::nullopt;
    }
    if (std::optional<std::string_view> ascii = ascii_view(args[0])) return ascii;
    if (!PyUnicode_Check(args[0])) {
        PyErr_SetString(PyExc_TypeError, "expected one str");
        return std::nullopt;
    }
    Py_ssize_t size = 0;
    const char* bytes = PyUnicode_AsUTF8AndSize(args[0], &size);
    if (bytes == nullptr) return std::nullopt;
    return std::string_view(bytes, static_cast<std::size_t>(size));
}

PyObject* as_bool(bool value) { return py::Owned::share(value ? Py_True : Py_False).release(); }

// A replay: the exclusive lock and one probe of one bucket.
PyObject* replay(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const std::optional<std::string_view> token = one_text(args, nargs);
    if (!token) return nullptr;
    Tables& t = tables();
    bool seen;
    {
        std::unique_lock exclusive(t.lock);
        seen = t.nonces.contains(*token, t.nonces.hash(*token));
    }
    return as_bool(!seen);
}

// A ban lookup: hashed before the shared lock, as the real call does.
PyObject* ban_hit(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const std::optional<std::string_view> address = one_text(args, nargs);
    if (!address) return nullptr;
    Tables& t = tables();
    const std::uint64_t hash = process_ban_hash()(*address);
    bool banned;
    {
        std::shared_lock shared(t.lock);
        banned = t.bans.is_active(*address, hash, FIXED_NOW);
    }
    return as_bool(banned);
}

// Setup, outside the timed calls.
PyObject* add_nonce(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const std::optional<std::string_view> token = one_text(args, nargs);
    if (!token) return nullptr;
    Tables& t = tables();
    const std::uint64_t hash = t.nonces.hash(*token);
    if (!t.nonces.contains(*token, hash)) t.nonces.insert_absent(*token, hash);
    return py::Owned::share(Py_None).release();
}

PyObject* add_ban(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
    const std::optional<std::string_view> address = one_text(args, nargs);
    if (!address) return nullptr;
    tables().bans.set(*address, FIXED_NOW + 3'600);
    return py::Owned::share(Py_None).release();
}

template <class Handler>
PyCFunction as_cfunction(Handler handler) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(handler));
}

PyMethodDef FUNCTIONS[] = {
    {"replay", as_cfunction(replay), METH_FASTCALL, nullptr},
    {"ban_hit", as_cfunction(ban_hit), METH_FASTCALL, nullptr},
    {"add_nonce", as_cfunction(add_nonce), METH_FASTCALL, nullptr},
    {"add_ban", as_cfunction(add_ban), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef DEFINITION = {
    PyModuleDef_HEAD_INIT, "quelvar_bench_floor", nullptr, 0, FUNCTIONS, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace
}  // namespace quelvar

PyMODINIT_FUNC PyInit_quelvar_bench_floor(void) { return PyModule_Create(&quelvar::DEFINITION); }
