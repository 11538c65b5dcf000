// Loading OpenBLAS. It reads its settings once, as it loads, and then starts one worker per extra thread, which
// spins for 2^28 clock ticks (about 0.1 s) before it sleeps: beside a busy process that slowed the first epochs of a
// small network by half. Its parallel jobs never reach those workers (they run on threads of ours, see
// core/blas_threads.cpp), so it is loaded with OPENBLAS_THREAD_TIMEOUT at its least, and they sleep at once.
#include "core/openblas.h"

#include <dlfcn.h>

#include <cstdlib>
#include <string>

#include "core/check.h"

namespace wexo::openblas {

namespace {

constexpr const char* kLibrary = "libscipy_openblas.so";
constexpr const char* kTimeout = "OPENBLAS_THREAD_TIMEOUT";

template <class F>
void resolve(void* handle, const char* name, F& f) {
    void* p = ::dlsym(handle, name);
    if (p == nullptr) fail(std::string("OpenBLAS (") + kLibrary + ") has no " + name);
    f = reinterpret_cast<F>(p);
}

Functions load() {
    // The variable is set only for the load, and only when the user has not set it; a library that is already
    // loaded (by the tests, or through ctypes) keeps the setting it loaded with.
    const bool set_here = std::getenv(kTimeout) == nullptr && ::setenv(kTimeout, "4", 0) == 0;
    // dlopen searches the calling module's run path: the scipy_openblas32 package beside it
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    const char* error = handle ? nullptr : ::dlerror();
    if (set_here) ::unsetenv(kTimeout);
    if (handle == nullptr)
        fail(std::string("cannot load OpenBLAS (") + kLibrary + ", from the scipy-openblas32 package): " +
             (error ? error : "unknown error"));
    Functions f{};
    resolve(handle, "scipy_cblas_sgemm", f.sgemm);
    resolve(handle, "scipy_openblas_get_num_threads", f.get_num_threads);
    resolve(handle, "scipy_openblas_set_num_threads", f.set_num_threads);
    resolve(handle, "scipy_openblas_set_threads_callback_function", f.set_threads_callback);
    return f;  // the handle stays open for the life of the process
}

}  // namespace

const Functions& functions() {
    static const Functions f = load();
    return f;
}

}  // namespace wexo::openblas
