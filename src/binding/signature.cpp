// Argument parsing against a CallSignature, with the messages of every
// parsing failure.
#include "binding/signature.hpp"

#include <string>
#include <vector>

namespace quorvex {
namespace {

std::string full_name(const CallSignature& signature) {
    std::string name;
    if (signature.class_name != nullptr) {
        name = std::string(signature.class_name) + ".";
    }
    return name + signature.function_name + "()";
}

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'.
std::string name_list(const std::vector<std::string_view>& names) {
    std::string list;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) {
            if (names.size() > 2) {
                list += ",";
            }
            list += i + 1 == names.size() ? " and " : " ";
        }
        list += "'";
        list += names[i];
        list += "'";
    }
    return list;
}

PyErr type_error(std::string message) {
    return PyErr::with_message(PyExc_TypeError, std::move(message));
}

PyErr too_many_positional(const CallSignature& signature, Py_ssize_t nargs) {
    const std::size_t most = signature.positional.size();
    const std::size_t least = signature.required_positional;
    const char* verb = nargs == 1 ? "was" : "were";
    if (least == most) {
        return type_error(full_name(signature) + " takes " + std::to_string(most) + " positional arguments but " +
                          std::to_string(nargs) + " " + verb + " given");
    }
    return type_error(full_name(signature) + " takes from " + std::to_string(least) + " to " + std::to_string(most) +
                      " positional arguments but " + std::to_string(nargs) + " " + verb + " given");
}

PyErr unexpected_keyword(const CallSignature& signature, PyObject* name) {
    return type_error(full_name(signature) + " got an unexpected keyword argument '" + display_object(name) + "'");
}

PyErr multiple_values(const CallSignature& signature, std::string_view name) {
    return type_error(full_name(signature) + " got multiple values for argument '" + std::string(name) + "'");
}

PyErr missing_arguments(const CallSignature& signature, const char* kind, const std::vector<std::string_view>& names) {
    return type_error(full_name(signature) + " missing " + std::to_string(names.size()) + " required " + kind + " " +
                      (names.size() == 1 ? "argument" : "arguments") + ": " + name_list(names));
}

// The shared procedure once positional values are in place. `keywords`
// yields (name, value) pairs in the order the caller gave them.
template <class ForEachKeyword>
Status parse_common(const CallSignature& signature, Py_ssize_t nargs, PyObject** slots,
                    ForEachKeyword&& for_each_keyword) {
    const std::size_t positional_count = signature.positional.size();
    std::vector<std::string_view> misused_positional_only;
    std::optional<PyErr> failure;

    for_each_keyword([&](PyObject* name, PyObject* value) -> bool {
        Py_ssize_t size = 0;
        const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
        if (text == nullptr) {
            throw_if_out_of_memory();
            PyErr_Clear();
            failure = unexpected_keyword(signature, name);
            return false;
        }
        const std::string_view given(text, static_cast<std::size_t>(size));
        for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
            if (signature.keyword_only[i].name == given) {
                PyObject*& slot = slots[positional_count + i];
                if (slot != nullptr) {
                    failure = multiple_values(signature, given);
                    return false;
                }
                slot = value;
                return true;
            }
        }
        for (std::size_t k = 0; k < positional_count; ++k) {
            if (signature.positional[k] == given) {
                if (k < signature.positional_only) {
                    misused_positional_only.push_back(signature.positional[k]);
                    return true;
                }
                if (slots[k] != nullptr) {
                    failure = multiple_values(signature, given);
                    return false;
                }
                slots[k] = value;
                return true;
            }
        }
        failure = unexpected_keyword(signature, name);
        return false;
    });
    if (failure) {
        return std::move(*failure);
    }
    if (!misused_positional_only.empty()) {
        return type_error(full_name(signature) + " got some positional-only arguments passed as keyword arguments: " +
                          name_list(misused_positional_only));
    }
    const std::size_t required = signature.required_positional;
    if (static_cast<std::size_t>(nargs) < required) {
        bool any_missing = false;
        for (std::size_t k = static_cast<std::size_t>(nargs); k < required; ++k) {
            any_missing = any_missing || slots[k] == nullptr;
        }
        if (any_missing) {
            std::vector<std::string_view> missing;
            for (std::size_t k = 0; k < required; ++k) {
                if (slots[k] == nullptr) {
                    missing.push_back(signature.positional[k]);
                }
            }
            return missing_arguments(signature, "positional", missing);
        }
    }
    std::vector<std::string_view> missing_keywords;
    for (std::size_t i = 0; i < signature.keyword_only.size(); ++i) {
        if (signature.keyword_only[i].required && slots[positional_count + i] == nullptr) {
            missing_keywords.push_back(signature.keyword_only[i].name);
        }
    }
    if (!missing_keywords.empty()) {
        return missing_arguments(signature, "keyword", missing_keywords);
    }
    return success();
}

}  // namespace

Status parse_vector_arguments(const CallSignature& signature, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames, PyObject** slots) {
    const std::size_t positional_count = signature.positional.size();
    const std::size_t copied = std::min(static_cast<std::size_t>(nargs), positional_count);
    for (std::size_t i = 0; i < copied; ++i) {
        slots[i] = args[i];
    }
    if (static_cast<std::size_t>(nargs) > positional_count) {
        return too_many_positional(signature, nargs);
    }
    return parse_common(signature, nargs, slots, [&](auto&& visit) {
        if (kwnames == nullptr) {
            return;
        }
        const Py_ssize_t count = PyTuple_GET_SIZE(kwnames);
        for (Py_ssize_t j = 0; j < count; ++j) {
            if (!visit(PyTuple_GET_ITEM(kwnames, j), args[nargs + j])) {
                return;
            }
        }
    });
}

Status parse_tuple_arguments(const CallSignature& signature, PyObject* args, PyObject* kwargs, PyObject** slots) {
    const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
    const std::size_t positional_count = signature.positional.size();
    const std::size_t copied = std::min(static_cast<std::size_t>(nargs), positional_count);
    for (std::size_t i = 0; i < copied; ++i) {
        slots[i] = PyTuple_GET_ITEM(args, static_cast<Py_ssize_t>(i));
    }
    if (static_cast<std::size_t>(nargs) > positional_count) {
        return too_many_positional(signature, nargs);
    }
    return parse_common(signature, nargs, slots, [&](auto&& visit) {
        if (kwargs == nullptr) {
            return;
        }
        Py_ssize_t position = 0;
        PyObject* name = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &position, &name, &value)) {
            if (!visit(name, value)) {
                return;
            }
        }
    });
}

}  // namespace quorvex
