// Panics: internal failures that abandon the current computation.
//
// A panic is a C++ exception of type `Panic`. It unwinds through destructors,
// so every guard between the failure and the call frame releases what it holds
// (references, shared borrows, storage), and only the call frame catches it.
// `Panic` deliberately does not derive from std::exception, so that no
// generic handler can swallow one by accident.
//
// Starting a panic writes the runtime's report to stderr first (thread,
// location, message, and a backtrace when RUST_BACKTRACE asks for one).
// Resuming a panic that came back from Python writes no new report.
#pragma once

#include <any>
#include <source_location>
#include <string>
#include <variant>

namespace quorvex {

// What a panic carries: an owned text, a static text, or any other value.
// Only the two text forms have a message.
using PanicPayload = std::variant<std::string, const char*, std::any>;

struct Panic {
    PanicPayload payload;
};

// Writes the panic report for `message` and throws a Panic carrying it.
[[noreturn]] void panic(std::string message, std::source_location where = std::source_location::current());

// Same, for any payload (a payload without text reports "Box<dyn Any>").
[[noreturn]] void panic_with_payload(PanicPayload payload,
                                     std::source_location where = std::source_location::current());

// Continues a panic whose report was already written elsewhere.
[[noreturn]] void resume_panic(std::string message);

// The text a payload reports itself by, or nullptr when it has none.
const char* payload_text(const PanicPayload& payload);

// Ends the process after a panic reached a place that must not unwind.
[[noreturn]] void abort_after_uncaught_panic(const char* message,
                                             std::source_location where = std::source_location::current());

}  // namespace quorvex
