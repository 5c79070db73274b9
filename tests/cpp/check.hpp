// A minimal harness for the C++ core tests: TEST(name) registers a case,
// CHECK records a failure with its place, run_all() prints the failures and
// a closing count.
#pragma once

#include <cstdio>
#include <vector>

namespace check {

struct Case {
    const char* name;
    void (*body)();
};

inline std::vector<Case>& registry() {
    static std::vector<Case> cases;
    return cases;
}

inline int failures = 0;

inline void fail(const char* file, int line, const char* condition) {
    std::printf("  %s:%d: CHECK(%s) failed\n", file, line, condition);
    ++failures;
}

inline int run_all() {
    int passed = 0, failed = 0;
    for (const Case& c : registry()) {
        const int before = failures;
        c.body();
        if (failures == before) {
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

#define TEST(name)                                                                            \
    static void name();                                                                       \
    static const bool name##_registered = (check::registry().push_back({#name, name}), true); \
    static void name()
#define CHECK(condition) ((condition) ? void() : check::fail(__FILE__, __LINE__, #condition))
