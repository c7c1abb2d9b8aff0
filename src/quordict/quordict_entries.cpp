// The bodies of QuorDict's constructor, methods and property, each run in the
// call frame. A body's steps come in a fixed order (parsing, receiver check,
// receiver borrow, argument conversions, argument borrow, the operation,
// releases), and that order decides which error a caller sees when several
// apply. Guards release borrows and references on every way out.
#include "quordict/quordict_entries.hpp"

#include <array>

#include "binding/borrow.hpp"
#include "binding/conversions.hpp"
#include "binding/frame.hpp"
#include "binding/signature.hpp"
#include "quordict/class_object.hpp"
#include "quordict/conversion.hpp"
#include "quordict/derivation.hpp"
#include "quordict/instance.hpp"
#include "storage/reductions.hpp"

namespace quorvex {
namespace {

constexpr std::string_view dict_parameters[] = {"dict"};
constexpr std::string_view value_parameters[] = {"value"};
constexpr std::string_view aligned_parameters[] = {"other", "fill"};

constexpr CallSignature new_signature{"QuorDict", "__new__", dict_parameters, 0, 1, {}};

constexpr CallSignature scalar_signature(const char* name) {
    return CallSignature{"QuorDict", name, value_parameters, 0, 1, {}};
}
constexpr CallSignature aligned_signature(const char* name) {
    return CallSignature{"QuorDict", name, aligned_parameters, 0, 1, {}};
}

constexpr CallSignature add_scalar_signature = scalar_signature("add_scalar");
constexpr CallSignature subtract_scalar_signature = scalar_signature("subtract_scalar");
constexpr CallSignature multiply_scalar_signature = scalar_signature("multiply_scalar");
constexpr CallSignature divide_scalar_signature = scalar_signature("divide_scalar");
constexpr CallSignature reset_signature = scalar_signature("reset");
constexpr CallSignature add_signature = aligned_signature("add");
constexpr CallSignature subtract_signature = aligned_signature("subtract");
constexpr CallSignature multiply_signature = aligned_signature("multiply");
constexpr CallSignature divide_signature = aligned_signature("divide");

// The constructor's argument check: a dict or a dict subclass.
Status check_dict_argument(PyObject* object) {
    if (PyDict_Check(object)) {
        return success();
    }
    return wrap_argument_error("dict", cast_error(object, "dict"));
}

Result<OwnedRef> construct(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    std::array<PyObject*, 1> slots{};
    if (Status parsed = parse_tuple_arguments(new_signature, args, kwargs, slots.data()); !parsed.ok()) {
        return parsed.take_error();
    }
    if (Status checked = check_dict_argument(slots[0]); !checked.ok()) {
        return checked.take_error();
    }
    return construct_from_dict(subtype, slots[0]);
}

Result<OwnedRef> scalar_body(const CallSignature& signature, ScalarRule rule, PyObject* self, PyObject* const* args,
                             Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 1> slots{};
    if (Status parsed = parse_vector_arguments(signature, args, nargs, kwnames, slots.data()); !parsed.ok()) {
        return parsed.take_error();
    }
    Result<QuorDictObject*> receiver = extract_instance(self);
    if (!receiver.ok()) {
        return receiver.take_error();
    }
    Result<InstanceBorrow> borrowed = InstanceBorrow::of_receiver(receiver.value());
    if (!borrowed.ok()) {
        return borrowed.take_error();
    }
    Result<double> scalar = extract_float(slots[0]);
    if (!scalar.ok()) {
        return wrap_argument_error("value", scalar.take_error());
    }
    const QuorDictObject* source = borrowed.value().get();
    return new_derived_instance(source, scalar_values(source, rule, scalar.value()));
}

Result<OwnedRef> aligned_body(const CallSignature& signature, AlignedRule rule, double default_fill, PyObject* self,
                              PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    std::array<PyObject*, 2> slots{};
    if (Status parsed = parse_vector_arguments(signature, args, nargs, kwnames, slots.data()); !parsed.ok()) {
        return parsed.take_error();
    }
    Result<QuorDictObject*> receiver = extract_instance(self);
    if (!receiver.ok()) {
        return receiver.take_error();
    }
    Result<InstanceBorrow> borrowed = InstanceBorrow::of_receiver(receiver.value());
    if (!borrowed.ok()) {
        return borrowed.take_error();
    }
    Result<QuorDictObject*> other = extract_instance(slots[0]);
    if (!other.ok()) {
        return wrap_argument_error("other", other.take_error());
    }
    double fill = default_fill;
    if (slots[1] != nullptr) {
        Result<double> given = extract_float(slots[1]);
        if (!given.ok()) {
            return wrap_argument_error("fill", given.take_error());
        }
        fill = given.value();
    }
    const QuorDictObject* source = borrowed.value().get();
    CountedRef<ValueArray> values;
    {
        const ArgumentInstanceBorrow other_borrowed(other.value());
        values = aligned_values(source, other_borrowed.get(), rule, fill);
    }
    return new_derived_instance(source, std::move(values));
}

template <double (*Reduce)(const double*, std::size_t)>
Result<OwnedRef> reduction_body(PyObject* self) {
    Result<QuorDictObject*> receiver = extract_instance(self);
    if (!receiver.ok()) {
        return receiver.take_error();
    }
    Result<InstanceBorrow> borrowed = InstanceBorrow::of_receiver(receiver.value());
    if (!borrowed.ok()) {
        return borrowed.take_error();
    }
    const ValueArray& values = values_of(borrowed.value().get());
    return float_result(Reduce(values.data(), values.size()));
}

}  // namespace

PyObject* quordict_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
    return run_in_frame([&] { return construct(subtype, args, kwargs); });
}

#define QUORVEX_SCALAR_ENTRY(entry, signature, rule)                                                   \
    PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {      \
        return run_in_frame([&] { return scalar_body(signature, rule, self, args, nargs, kwnames); }); \
    }

QUORVEX_SCALAR_ENTRY(quordict_add_scalar, add_scalar_signature, ScalarRule::add)
QUORVEX_SCALAR_ENTRY(quordict_subtract_scalar, subtract_scalar_signature, ScalarRule::subtract)
QUORVEX_SCALAR_ENTRY(quordict_multiply_scalar, multiply_scalar_signature, ScalarRule::multiply)
QUORVEX_SCALAR_ENTRY(quordict_divide_scalar, divide_scalar_signature, ScalarRule::divide)
QUORVEX_SCALAR_ENTRY(quordict_reset, reset_signature, ScalarRule::reset)
#undef QUORVEX_SCALAR_ENTRY

#define QUORVEX_ALIGNED_ENTRY(entry, signature, rule, default_fill)                                                   \
    PyObject* entry(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {                     \
        return run_in_frame([&] { return aligned_body(signature, rule, default_fill, self, args, nargs, kwnames); }); \
    }

QUORVEX_ALIGNED_ENTRY(quordict_add, add_signature, AlignedRule::add, 0.0)
QUORVEX_ALIGNED_ENTRY(quordict_subtract, subtract_signature, AlignedRule::subtract, 0.0)
QUORVEX_ALIGNED_ENTRY(quordict_multiply, multiply_signature, AlignedRule::multiply, 1.0)
QUORVEX_ALIGNED_ENTRY(quordict_divide, divide_signature, AlignedRule::divide, 1.0)
#undef QUORVEX_ALIGNED_ENTRY

PyObject* quordict_sum(PyObject* self, PyObject*) {
    return run_in_frame([&] { return reduction_body<sequential_sum>(self); });
}

PyObject* quordict_product(PyObject* self, PyObject*) {
    return run_in_frame([&] { return reduction_body<sequential_product>(self); });
}

Result<OwnedRef> quordict_to_dict(PyObject* self) {
    Result<QuorDictObject*> receiver = extract_instance(self);
    if (!receiver.ok()) {
        return receiver.take_error();
    }
    Result<InstanceBorrow> borrowed = InstanceBorrow::of_receiver(receiver.value());
    if (!borrowed.ok()) {
        return borrowed.take_error();
    }
    return build_dict(borrowed.value().get());
}

}  // namespace quorvex
