// Starting, reporting and resuming panics, and the process abort that ends a
// panic which reached a place that must not unwind.
#include "binding/panic.hpp"

#include <execinfo.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string_view>

namespace quorvex {
namespace {

// Source paths are reported from the project's src/ folder on, as they stand
// in the repository, whatever directory the build ran in.
const char* project_relative(const char* path) {
    const char* found = nullptr;
    for (const char* at = std::strstr(path, "src/"); at != nullptr; at = std::strstr(at + 1, "src/")) {
        found = at;
    }
    return found != nullptr ? found : path;
}

std::string thread_label() {
    const long tid = ::syscall(SYS_gettid);
    const char* name = tid == static_cast<long>(::getpid()) ? "main" : "<unnamed>";
    return std::string("'") + name + "' (" + std::to_string(tid) + ")";
}

bool backtrace_requested() {
    const char* setting = std::getenv("RUST_BACKTRACE");
    return setting != nullptr && std::strcmp(setting, "0") != 0;
}

// The whole report goes out in one write so that reports of two threads never
// interleave line by line; without memory for it, it goes out piece by piece.
void write_report(std::string_view message, const std::source_location& where) noexcept {
    const bool with_backtrace = backtrace_requested();
    const char* closing = with_backtrace
                              ? "stack backtrace:\n"
                              : "note: run with `RUST_BACKTRACE=1` environment variable to display a backtrace\n";
    std::fflush(stderr);
    try {
        std::string report = "\nthread " + thread_label() + " panicked at " + project_relative(where.file_name()) +
                             ":" + std::to_string(where.line()) + ":" + std::to_string(where.column()) + ":\n";
        report.append(message);
        report += "\n";
        report += closing;
        std::fwrite(report.data(), 1, report.size(), stderr);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "\nthread panicked at %s:%u:%u:\n", project_relative(where.file_name()),
                     static_cast<unsigned>(where.line()), static_cast<unsigned>(where.column()));
        std::fwrite(message.data(), 1, message.size(), stderr);
        std::fputs("\n", stderr);
        std::fputs(closing, stderr);
    }
    std::fflush(stderr);
    if (with_backtrace) {
        void* frames[128];
        const int depth = ::backtrace(frames, 128);
        ::backtrace_symbols_fd(frames, depth, STDERR_FILENO);
    }
}

}  // namespace

const char* payload_text(const PanicPayload& payload) {
    if (const auto* owned = std::get_if<std::string>(&payload)) {
        return owned->c_str();
    }
    if (const auto* fixed = std::get_if<const char*>(&payload)) {
        return *fixed;
    }
    return nullptr;
}

void panic(std::string message, std::source_location where) {
    panic_with_payload(PanicPayload(std::move(message)), where);
}

void panic_with_payload(PanicPayload payload, std::source_location where) {
    if (const auto* owned = std::get_if<std::string>(&payload)) {
        write_report(*owned, where);  // whole, NUL characters included
    } else {
        const char* text = payload_text(payload);
        write_report(text != nullptr ? text : "Box<dyn Any>", where);
    }
    throw Panic{std::move(payload)};
}

void resume_panic(std::string message) {
    throw Panic{PanicPayload(std::move(message))};
}

void abort_after_uncaught_panic(const char* message, std::source_location where) {
    write_report(message, where);
    static const char closing[] = "thread caused non-unwinding panic. aborting.\n";
    std::fwrite(closing, 1, sizeof closing - 1, stderr);
    std::fflush(stderr);
    std::abort();
}

}  // namespace quorvex
