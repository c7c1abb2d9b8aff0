// Which vector loop kinds the element loops and the UTF-8 key conversions may
// use: the widest the processor supports, less the kinds a caller has asked
// to skip. Skipping a kind lets every loop run on one machine (tests do this through the environment
// variable QUORVEX_DISABLE_CPU_FEATURES, which the module reads at import);
// every kind computes the same bits, so the choice changes speed only.
#pragma once

#include <string>
#include <string_view>

namespace quorvex::loops {

enum class Width { baseline, avx2, avx512 };

// The widest kind that may run: supported by the processor and not skipped.
Width widest();

// Replaces the set of skipped kinds with the one `names` gives: feature names
// separated by commas or white space, in any case. "avx512f" skips the
// AVX-512 loops; "avx2" skips the AVX2 loops and with them the AVX-512 ones,
// since AVX-512 builds on AVX2. The baseline loops cannot be skipped. Returns
// the names that select no kind, comma-separated (empty when every name was
// understood); they change nothing, and the caller decides how to report them.
std::string skip_cpu_features(std::string_view names);

}  // namespace quorvex::loops
