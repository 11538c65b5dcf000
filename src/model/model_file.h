// Model files: the exact compact JSON image of a model record, and the strict reader.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/records.h"

namespace wexo::model_file {

// Replaces the file at path with the model's JSON; aborts with the OS error when it cannot.
void write(const LinearModel& model, const std::string& path);
void write(const CategoricalModel& model, const std::string& path);

// What the writes of one training call share. A stored array equal to one of the call's constant matrices
// (the training batch: the call never changes it) has the same text in every file of the call, so a write
// copies that byte range from the file the session wrote last instead of formatting it again, when that file
// is provably the one written and unchanged (same device and inode, size, modification and change times,
// checked on a descriptor kept open); on any doubt the numbers are formatted. Within one file, a layer's
// stored inputs repeat most floats of the pre-activation matrix of the layer below (relu keeps the positive
// ones), so their text is read back from the new file; a device or pipe written in place, which cannot be read
// back, gets every number formatted. No text is held in memory.
struct WriteSession {
    // A matrix's shape and elements, borrowed: the elements must stay in place and unchanged while the session
    // lives (a vector's buffer stays put when the vector is moved or swapped).
    struct Constant {
        Constant(const Matrix& m) : n_rows(m.n_rows), n_cols(m.n_cols), values(m.values.data()) {}  // NOLINT
        std::size_t n_rows;
        std::size_t n_cols;
        const float* values;
    };

    explicit WriteSession(std::vector<Constant> constant_matrices);
    ~WriteSession();
    WriteSession(const WriteSession&) = delete;
    WriteSession& operator=(const WriteSession&) = delete;

    struct Range {
        std::size_t matrix;    // index into constant
        std::uint64_t offset;  // of the first number's text
        std::uint64_t length;
    };
    struct Stamp {
        std::uint64_t dev, ino, size;
        std::int64_t mtime_s, mtime_ns, ctime_s, ctime_ns;
        bool operator==(const Stamp&) const = default;
    };

    std::vector<Constant> constant;
    int previous_fd = -1;                 // read-only, on the file the last write produced
    Stamp previous{};                     // fstat of it right after that write
    std::vector<Range> ranges;            // where each constant matrix's numbers lie in it
    std::uint64_t reused_bytes = 0;       // copied instead of formatted by the last write
    std::uint64_t reread_numbers = 0;     // numbers of the last write laid out against text read back from it
};

void write(const LinearModel& model, const std::string& path, WriteSession& session);
void write(const CategoricalModel& model, const std::string& path, WriteSession& session);

// In-memory form of the same bytes (tests, benchmarks).
std::string to_json(const LinearModel& model);
std::string to_json(const CategoricalModel& model);

// Aborts with the OS error, or with Error("<message>", line: L, column: C).
LinearModel read_linear(const std::string& path);
CategoricalModel read_categorical(const std::string& path);

// The same reading from bytes in memory, fed to the reader `chunk` bytes at a time (tests); aborts with the
// bare Error(...) text.
LinearModel parse_linear(std::string_view json, std::size_t chunk = 1 << 16);
CategoricalModel parse_categorical(std::string_view json, std::size_t chunk = 1 << 16);

}  // namespace wexo::model_file
