// Allocation of float buffers: large ones aligned to huge pages.
#include "core/matrix.h"

#include <sys/mman.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace wexo {

namespace {
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kHugeFrom = 2 * kHugePage;  // below this, ordinary allocation is as fast
// Rows start on a cache line where their width allows: a vector store that straddles two lines costs two.
constexpr std::align_val_t kLine{64};
}  // namespace

void* buffer_allocate(std::size_t n_bytes) {
    if (n_bytes < kHugeFrom) return ::operator new(n_bytes, kLine);
    const std::size_t rounded = (n_bytes + kHugePage - 1) / kHugePage * kHugePage;
    // Aligned, so that a system that backs memory with huge pages by default can use them. No MADV_HUGEPAGE: a fresh
    // process then spent three times the kernel time faulting its buffers in (each fault clears 2 MiB at once, and
    // with the common defrag=madvise setting may first compact memory) as page by page.
    void* p = std::aligned_alloc(kHugePage, rounded);
    if (p == nullptr) throw std::bad_alloc();
    return p;
}

void prefault_for_write(void* p, std::size_t n_bytes) noexcept {
#ifdef MADV_POPULATE_WRITE
    // Only buffer_allocate's large buffers: they start on a page and end on a whole huge page. Best effort: a kernel
    // without the call (before 5.14) leaves the pages to fault in one by one.
    if (n_bytes >= kHugeFrom) ::madvise(p, n_bytes, MADV_POPULATE_WRITE);
#else
    (void)p;
    (void)n_bytes;
#endif
}

void copy_to_new_buffer(void* buffer, const void* from, std::size_t n_bytes) noexcept {
    if (n_bytes < kHugeFrom) {
        if (n_bytes > 0) std::memcpy(buffer, from, n_bytes);
        return;
    }
    constexpr std::size_t kChunk = std::size_t{1} << 20;  // a multiple of the page size, within L2
    auto* to = static_cast<char*>(buffer);
    const auto* src = static_cast<const char*>(from);
    for (std::size_t done = 0; done < n_bytes; done += kChunk) {
        const std::size_t count = std::min(kChunk, n_bytes - done);
#ifdef MADV_POPULATE_WRITE
        ::madvise(to + done, count, MADV_POPULATE_WRITE);  // best effort, as in prefault_for_write
#endif
        std::memcpy(to + done, src + done, count);
    }
}

void buffer_free(void* p, std::size_t n_bytes) noexcept {
    if (n_bytes < kHugeFrom)
        ::operator delete(p, kLine);
    else
        std::free(p);
}

std::string shape_text(std::size_t rows, std::size_t cols) {
    std::string s = "(";
    s.append(std::to_string(rows)).append(", ").append(std::to_string(cols)).append(")");
    return s;
}

void fail_not_covering(Shape big, Shape small, std::string_view context, std::string_view big_name,
                       std::string_view verb, std::string_view small_name, std::source_location where) {
    std::string msg(context);
    msg.append(": ").append(big_name).append(" ").append(shape_text(big)).append(" ").append(verb);
    msg.append(" not cover ").append(small_name).append(" ").append(shape_text(small));
    fail(msg, where);
}

}  // namespace wexo
