// The library's only export. Multi-phase initialisation: the interpreter
// creates the module object and runs the definition's exec step itself.
#include "quordict/module.hpp"

PyMODINIT_FUNC PyInit_quorvex(void) {
    return PyModuleDef_Init(&quorvex::quorvex_module_def);
}
