// placeholder until the binding layer lands
#include <Python.h>
static PyModuleDef wexo_def = {PyModuleDef_HEAD_INIT, "wexo", "", -1, nullptr, nullptr, nullptr, nullptr, nullptr};
PyMODINIT_FUNC PyInit_wexo(void) { return PyModule_Create(&wexo_def); }
