#include "runtime/fault.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace quelvar {
namespace {

constexpr const char* BACKTRACE_VARIABLE = "QUELVAR_CORE_BACKTRACE";

// Writes everything or gives up quietly: a fault report must never fault.
void write_all(std::string_view text) {
    while (!text.empty()) {
        ssize_t written = ::write(STDERR_FILENO, text.data(), text.size());
        if (written <= 0) return;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
}

// Source paths are reported from "src/" on, independent of the build folder.
std::string_view project_relative(const char* path) {
    std::string_view full(path);
    std::size_t at = full.rfind("/src/");
    return at == std::string_view::npos ? full : full.substr(at + 1);
}

void write_thread_line(std::string_view place) {
    long thread_id = ::syscall(SYS_gettid);
    const char* thread_name = thread_id == ::getpid() ? "main" : "<unnamed>";
    char head[160];
    int n = std::snprintf(head, sizeof head, "thread '%s' (%ld) hit an internal fault in quelvar_core_rs at ",
                          thread_name, thread_id);
    write_all(std::string_view(head, n > 0 ? static_cast<std::size_t>(n) : 0));
    write_all(place);
    write_all(":\n");
}

void write_backtrace_or_note() {
    const char* wanted = std::getenv(BACKTRACE_VARIABLE);
    if (wanted != nullptr && wanted[0] != '\0' && std::strcmp(wanted, "0") != 0) {
        void* frames[64];
        int depth = ::backtrace(frames, 64);
        write_all("stack trace:\n");
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    } else {
        write_all("note: set the environment variable QUELVAR_CORE_BACKTRACE=1 to print a stack trace\n");
    }
}

}  // namespace

[[noreturn]] void terminate_process() { std::abort(); }

[[noreturn]] void internal_fault(std::string_view message, SourceLocation where) {
    char place[512];
    int n =
        std::snprintf(place, sizeof place, "%.*s:%u:%u", static_cast<int>(project_relative(where.file_name()).size()),
                      project_relative(where.file_name()).data(), where.line(), where.column());
    write_thread_line(std::string_view(place, n > 0 ? static_cast<std::size_t>(n) : 0));
    write_all(message);
    write_all("\n");
    write_backtrace_or_note();
    terminate_process();
}

[[noreturn]] void allocation_failure(std::size_t bytes) {
    // No allocation here: memory is what ran out.
    char line[96];
    int n = std::snprintf(line, sizeof line, "memory allocation of %zu bytes failed\n", bytes);
    write_all(std::string_view(line, n > 0 ? static_cast<std::size_t>(n) : 0));
    terminate_process();
}

}  // namespace quelvar
