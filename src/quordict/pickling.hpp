// How QuorDict instances cross process boundaries: through copyreg, so that
// the class and the module namespace stay exactly as they are.
#pragma once

#include "binding/error.hpp"

namespace quorvex {

// Registers the class's reducer with copyreg, the dispatch table that pickle,
// copy and multiprocessing consult. Registering again (a fresh import of the
// module) replaces the earlier reducer with an equivalent one.
Status register_quordict_reducer(PyTypeObject* type);

}  // namespace quorvex
