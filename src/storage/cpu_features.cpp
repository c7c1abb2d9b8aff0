#include "storage/cpu_features.hpp"

#include <algorithm>
#include <atomic>
#include <cctype>

namespace quorvex::loops {
namespace {

Width processor_widest() {
#if defined(__x86_64__)
    static const Width width = __builtin_cpu_supports("avx512f") ? Width::avx512
                               : __builtin_cpu_supports("avx2")  ? Width::avx2
                                                                 : Width::baseline;
    return width;
#else
    return Width::baseline;
#endif
}

// The widest kind not skipped. Read on every dispatch; relaxed ordering
// suffices, since every kind gives the same results.
std::atomic<Width> allowed{Width::avx512};

bool is_separator(char c) {
    return c == ',' || std::isspace(static_cast<unsigned char>(c));
}

std::string lowercase(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower;
}

}  // namespace

Width widest() {
    return std::min(processor_widest(), allowed.load(std::memory_order_relaxed));
}

std::string skip_cpu_features(std::string_view names) {
    Width ceiling = Width::avx512;
    std::string unknown;
    std::size_t start = 0;
    while (start < names.size()) {
        if (is_separator(names[start])) {
            ++start;
            continue;
        }
        std::size_t end = start;
        while (end < names.size() && !is_separator(names[end])) {
            ++end;
        }
        const std::string name = lowercase(names.substr(start, end - start));
        if (name == "avx2") {
            ceiling = Width::baseline;
        } else if (name == "avx512f") {
            ceiling = std::min(ceiling, Width::avx2);
        } else {
            unknown += unknown.empty() ? "" : ",";
            unknown.append(names.substr(start, end - start));
        }
        start = end;
    }
    allowed.store(ceiling, std::memory_order_relaxed);
    return unknown;
}

}  // namespace quorvex::loops
