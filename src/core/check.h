// The one failure type of the core and the always-on checks that raise it.
#pragma once

#include <cstddef>
#include <source_location>
#include <stdexcept>
#include <string>
#include <string_view>

namespace wexo {

// Every failure inside the core ends the whole call; the Python boundary turns it into the abort exception.
struct Abort : std::runtime_error {
    Abort(const std::string& msg, std::source_location where_) : std::runtime_error(msg), where(where_) {}
    std::source_location where;
};

[[noreturn]] void fail(std::string msg, std::source_location where = std::source_location::current());

// a * b, aborting instead of wrapping around
std::size_t checked_mul(std::size_t a, std::size_t b,
                        std::source_location where = std::source_location::current());

// The operating system's error errno value `err` as one text for every message that carries it:
// Os { code: 2, kind: NotFound, message: "No such file or directory" }
std::string os_error_text(int err);

// The message for an index past the end of its array: "<what> index 3 out of range for 3 <items>"
// ("class index 3 out of range for 3 output columns").
std::string index_out_of_range(std::string_view what, long long index, std::size_t n, std::string_view items);

// Aborts unless `n_have` entries (targets, prediction rows) cover the `n_needed` samples the caller reads:
// "only 10 targets for 12 samples".
void check_samples(std::size_t n_have, std::size_t n_needed, const char* what,
                   std::source_location where = std::source_location::current());

}  // namespace wexo

#define WEXO_CHECK(cond, msg)                      \
    do {                                           \
        if (!(cond)) [[unlikely]] ::wexo::fail(msg); \
    } while (0)
