// Call signatures and the two argument parsers.
//
// A `CallSignature` is a constant description of a function's parameters.
// The parsers fill an array of argument slots (borrowed references, empty for
// an optional parameter that was not given) from the interpreter's vector
// convention or from an argument tuple and keyword dict. Keyword names are
// matched by byte comparison against the signature's constant names, and
// nothing is allocated unless an error is reported; messages are composed
// only then.
#pragma once

#include <cstddef>
#include <span>
#include <string_view>

#include "binding/error.hpp"

namespace quorvex {

struct KeywordOnlyParameter {
    std::string_view name;
    bool required;
};

struct CallSignature {
    const char* class_name;  // null for a free function
    const char* function_name;
    std::span<const std::string_view> positional;
    std::size_t positional_only;
    std::size_t required_positional;
    std::span<const KeywordOnlyParameter> keyword_only;

    std::size_t slot_count() const { return positional.size() + keyword_only.size(); }
};

// Vector convention: `args` holds `nargs` positional values, then one value
// per name of `kwnames` (which may be null).
Status parse_vector_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** slots);

// Tuple-and-dict convention; `kwargs` may be null.
Status parse_tuple_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs, PyObject** slots);

}  // namespace quorvex
