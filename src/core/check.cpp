// Raising the core's abort and overflow-checked size arithmetic.
#include "core/check.h"

namespace wexo {

void fail(std::string msg, std::source_location where) { throw Abort(msg, where); }

std::size_t checked_mul(std::size_t a, std::size_t b, std::source_location where) {
    std::size_t r = 0;
    if (__builtin_mul_overflow(a, b, &r)) [[unlikely]]
        fail("size overflow: " + std::to_string(a) + " x " + std::to_string(b), where);
    return r;
}

void check_samples(std::size_t n_have, std::size_t n_needed, const char* what, std::source_location where) {
    if (n_have < n_needed) [[unlikely]] {
        std::string msg = "sample index ";
        msg.append(std::to_string(n_have)).append(" out of range for ").append(std::to_string(n_have));
        fail(msg.append(" ").append(what), where);
    }
}

}  // namespace wexo
