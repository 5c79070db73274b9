// A minimal test harness for the C++ core tests: TEST(name) registers a case,
// CHECK and CHECK_EQ record failures with their place, and run_all() prints
// one line per failure and a closing count.
#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>
#include <vector>

namespace check {

struct Case {
    const char* name;
    std::function<void()> body;
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int& failures_in_case() {
    static int count = 0;
    return count;
}

struct Registrar {
    Registrar(const char* name, std::function<void()> body) { registry().push_back({name, std::move(body)}); }
};

inline void fail(const char* file, int line, const std::string& what) {
    std::printf("  %s:%d: %s\n", file, line, what.c_str());
    ++failures_in_case();
}

template <class T>
std::ostream& operator<<(std::ostream& out, const std::optional<T>& value) {
    return value ? out << *value : out << "nothing";
}

template <class A, class B>
void check_eq(const A& actual, const B& expected, const char* text, const char* file, int line) {
    if (actual == expected) return;
    std::ostringstream out;
    out << text << ": got " << actual << ", expected " << expected;
    fail(file, line, out.str());
}

inline int run_all() {
    int passed = 0;
    int failed = 0;
    for (const Case& c : registry()) {
        failures_in_case() = 0;
        c.body();
        if (failures_in_case() == 0) {
            ++passed;
        } else {
            ++failed;
            std::printf("FAILED %s\n", c.name);
        }
    }
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}

}  // namespace check

#define CHECK_CONCAT_(a, b) a##b
#define CHECK_CONCAT(a, b) CHECK_CONCAT_(a, b)
#define TEST(name)                                                                          \
    static void name();                                                                     \
    static check::Registrar CHECK_CONCAT(registrar_, name)(#name, name);                    \
    static void name()
#define CHECK(condition) \
    ((condition) ? void() : check::fail(__FILE__, __LINE__, "CHECK(" #condition ") failed"))
#define CHECK_EQ(actual, expected) check::check_eq((actual), (expected), #actual, __FILE__, __LINE__)
