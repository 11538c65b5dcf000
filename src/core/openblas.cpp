// Loading OpenBLAS. It reads its settings once, as it loads, and then starts one worker per extra thread, which
// spins for 2^28 clock ticks (about 0.1 s) before it sleeps: beside a busy process that slowed the first epochs of a
// small network by half. Its parallel jobs never reach those workers (they run on threads of ours, see
// core/blas_threads.cpp), so it is loaded with OPENBLAS_THREAD_TIMEOUT at its least, and they sleep at once.
#include "core/openblas.h"

#include <dlfcn.h>

#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/check.h"

namespace wexo::openblas {

namespace {

constexpr const char* kLibrary = "libscipy_openblas.so";
constexpr const char* kTimeout = "OPENBLAS_THREAD_TIMEOUT";

// The directories the dynamic linker searches for a library this module needs, run path first, $ORIGIN expanded.
// A dlopen by bare name searches the run path of the module the call returns to, and a sanitizer's dlopen wrapper
// returns to itself, so the module's own list is asked for and the library opened by its full name.
std::vector<std::string> search_path() {
    std::vector<std::string> dirs;
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&search_path), &info) == 0 || info.dli_fname == nullptr) return dirs;
    void* self = ::dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD);
    if (self == nullptr) return dirs;  // a program rather than a module: the bare name was its only way
    Dl_serinfo size{};
    if (::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) == 0 && size.dls_size >= sizeof(Dl_serinfo)) {
        std::vector<std::max_align_t> buffer(size.dls_size / sizeof(std::max_align_t) + 1);
        auto* list = reinterpret_cast<Dl_serinfo*>(buffer.data());
        if (::dlinfo(self, RTLD_DI_SERINFOSIZE, list) == 0 && ::dlinfo(self, RTLD_DI_SERINFO, list) == 0)
            for (unsigned i = 0; i < list->dls_cnt; ++i) dirs.emplace_back(list->dls_serpath[i].dls_name);
    }
    ::dlclose(self);
    return dirs;
}

void* open_library() {
    void* handle = ::dlopen(kLibrary, RTLD_NOW | RTLD_LOCAL);
    if (handle != nullptr) return handle;
    const char* why = ::dlerror();
    const std::string error = why ? why : "unknown error";
    for (const std::string& dir : search_path())
        if (void* h = ::dlopen((dir + "/" + kLibrary).c_str(), RTLD_NOW | RTLD_LOCAL)) return h;
    fail(std::string("cannot load OpenBLAS (") + kLibrary + ", from the scipy-openblas32 package): " + error);
}

// OPENBLAS_THREAD_TIMEOUT at its least while it lives, when the user has not set it.
class LoadSetting {
public:
    LoadSetting() : set_(std::getenv(kTimeout) == nullptr && ::setenv(kTimeout, "4", 0) == 0) {}
    ~LoadSetting() {
        if (set_) ::unsetenv(kTimeout);
    }
    LoadSetting(const LoadSetting&) = delete;
    LoadSetting& operator=(const LoadSetting&) = delete;

private:
    bool set_;
};

template <class F>
void resolve(void* handle, const char* name, F& f) {
    void* p = ::dlsym(handle, name);
    if (p == nullptr) fail(std::string("OpenBLAS (") + kLibrary + ") has no " + name);
    f = reinterpret_cast<F>(p);
}

Functions load() {
    // The variable is set only for the load, and only when the user has not set it; a library that is already
    // loaded (by the tests, or through ctypes) keeps the setting it loaded with.
    void* handle = nullptr;
    {
        const LoadSetting timeout;
        handle = open_library();  // from the module's run path: the scipy_openblas32 package beside it
    }
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
