// The reducer of QuorDict instances. An instance reduces to
//
//     (functools.reduce, (operator.call, ("quorvex:QuorDict", contents), pkgutil.resolve_name))
//
// which a loader evaluates as
//
//     operator.call(operator.call(pkgutil.resolve_name, "quorvex:QuorDict"), contents)
//
// The class cannot be named by pickle (its module is builtins), and nothing may
// be added to the class or the module for pickle to find. Every callable in the
// recipe is a standard-library function that pickle stores by reference, and
// the loader reaches the class through the public module and builds the
// instance through the public constructor, so a damaged recipe meets the
// constructor's own argument checks and nothing else of ours.
//
// `contents` is the instance's to_dict: it lists the keys in storage order,
// and construction keeps the order of its source dict, so the loaded instance
// stores its values in the same order and its reductions round the same way.
// The bytes of a pickle therefore depend on the contents and their order only,
// never on the table's hash seed.
#include "quordict/pickling.hpp"

#include "binding/frame.hpp"
#include "quordict/quordict_entries.hpp"

namespace quorvex {
namespace {

// The parts of the recipe that are the same for every instance:
// (functools.reduce, operator.call, "quorvex:QuorDict", pkgutil.resolve_name).
// Sharing one name string lets pickle's memo write it once for all instances
// in one pickle.
enum RecipePart : Py_ssize_t { reduce_part, call_part, name_part, resolve_part };

Result<OwnedRef> module_attribute(const char* module_name, const char* attribute) {
    OwnedRef module = OwnedRef::steal(PyImport_ImportModule(module_name));
    if (!module) {
        return PyErr::fetch();
    }
    OwnedRef value = OwnedRef::steal(PyObject_GetAttrString(module.get(), attribute));
    if (!value) {
        return PyErr::fetch();
    }
    return value;
}

Result<OwnedRef> recipe_parts() {
    Result<OwnedRef> reduce = module_attribute("functools", "reduce");
    if (!reduce.ok()) {
        return reduce.take_error();
    }
    Result<OwnedRef> call = module_attribute("operator", "call");
    if (!call.ok()) {
        return call.take_error();
    }
    Result<OwnedRef> resolve = module_attribute("pkgutil", "resolve_name");
    if (!resolve.ok()) {
        return resolve.take_error();
    }
    return expect_object(
        Py_BuildValue("(OOsO)", reduce.value().get(), call.value().get(), "quorvex:QuorDict", resolve.value().get()));
}

// The recipe parts, made on the first reduction and kept for the life of the
// process. They are not made when the module executes because importing
// pkgutil pulls in typing, re and importlib.util, which would multiply the
// import time of a program that never pickles. A failed attempt leaves the
// cell empty, so the next reduction tries again.
Result<PyObject*> shared_recipe_parts() {
    static PyObject* parts = nullptr;
    if (parts == nullptr) {
        Result<OwnedRef> made = recipe_parts();
        if (!made.ok()) {
            return made.take_error();
        }
        // The imports may let another thread fill the cell first; its parts are
        // as good as these, which are then released.
        if (parts == nullptr) {
            parts = made.value().release();
        }
    }
    return parts;
}

Result<OwnedRef> reduce_body(PyObject* instance) {
    // quordict_to_dict checks the instance and holds its shared borrow while
    // it copies the contents out.
    Result<OwnedRef> contents = quordict_to_dict(instance);
    if (!contents.ok()) {
        return contents.take_error();
    }
    Result<PyObject*> shared = shared_recipe_parts();
    if (!shared.ok()) {
        return shared.take_error();
    }
    PyObject* parts = shared.value();
    return expect_object(Py_BuildValue("(O(O(OO)O))", PyTuple_GET_ITEM(parts, reduce_part),
                                       PyTuple_GET_ITEM(parts, call_part), PyTuple_GET_ITEM(parts, name_part),
                                       contents.value().get(), PyTuple_GET_ITEM(parts, resolve_part)));
}

PyObject* quordict_reduce(PyObject*, PyObject* instance) {
    return run_in_frame([&] { return reduce_body(instance); });
}

PyMethodDef quordict_reduce_def = {
    "quordict_reduce",
    quordict_reduce,
    METH_O,
    "The pickle recipe of a QuorDict: its contents in storage order, rebuilt\n"
    "through quorvex.QuorDict when loaded.",
};

}  // namespace

Status register_quordict_reducer(PyTypeObject* type) {
    OwnedRef reducer = OwnedRef::steal(PyCFunction_NewEx(&quordict_reduce_def, nullptr, nullptr));
    if (!reducer) {
        return PyErr::fetch();
    }
    Result<OwnedRef> pickle = module_attribute("copyreg", "pickle");
    if (!pickle.ok()) {
        return pickle.take_error();
    }
    OwnedRef registered = OwnedRef::steal(
        PyObject_CallFunctionObjArgs(pickle.value().get(), reinterpret_cast<PyObject*>(type), reducer.get(), nullptr));
    if (!registered) {
        return PyErr::fetch();
    }
    return success();
}

}  // namespace quorvex
