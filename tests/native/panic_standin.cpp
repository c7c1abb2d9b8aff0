// Test-program replacement for the module's panic: prints the message to
// stdout and exits with status 3, so a driver can assert on both.
#include <cstdio>
#include <cstdlib>

#include "binding/panic.hpp"

namespace quorvex {

void panic(std::string message, std::source_location) {
    std::printf("%s\n", message.c_str());
    std::fflush(stdout);
    std::exit(3);
}

}  // namespace quorvex
