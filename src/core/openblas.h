// OpenBLAS from the scipy-openblas32 wheel, loaded by wexo itself rather than by the dynamic linker, so that the
// settings it loads with are wexo's to give.
#pragma once

#include <cblas.h>

namespace wexo::openblas {

// The entry points wexo calls.
struct Functions {
    decltype(&scipy_cblas_sgemm) sgemm;
    decltype(&scipy_openblas_get_num_threads) get_num_threads;
    decltype(&scipy_openblas_set_num_threads) set_num_threads;
    decltype(&scipy_openblas_set_threads_callback_function) set_threads_callback;
};

// Loads the library on the first call (searched beside the module, where pip installs scipy_openblas32); aborts
// when it cannot be loaded, and the next call tries again.
const Functions& functions();

}  // namespace wexo::openblas
