// Compact JSON text: a writer into a string or a file, and a strict streaming reader that reports positions.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "core/matrix.h"

#include "core/text.h"
#include "io/file.h"

namespace wexo::json {

inline constexpr int kMaxDepth = 128;                 // nesting levels a document may use
inline constexpr std::size_t kChunk = 256 * 1024;     // bytes per read(2), and the writer's buffer

// Writes tokens front to back with no look-back; numbers are formatted straight into the buffer.
class Writer {
public:
    explicit Writer(std::string& out);        // appends to out (borrowed)
    explicit Writer(file::Replacement& out);  // borrowed; handed a full buffer at a time
    ~Writer();
    Writer(const Writer&) = delete;
    Writer& operator=(const Writer&) = delete;

    void raw(std::string_view s);     // copied as it is
    void string(std::string_view s);  // quoted: \" \\ \b \t \n \f \r, other bytes below 0x20 as \u00xx
    void u64(std::uint64_t v);
    void f32(float v);                       // model-file layout, non-finite as null
    void f32_list(const float* v, std::size_t n);  // n numbers separated by commas
    void finish();                           // hands on what is buffered

    // For a caller that lays out bytes itself: at least n (at most kChunk) writable bytes at the returned
    // pointer, then wrote() with the end of what it put there.
    char* reserve(std::size_t n) { return room(n); }
    void wrote(char* end) { cur_ = end; }

private:
    char* room(std::size_t n) {
        if (static_cast<std::size_t>(end_ - cur_) < n) [[unlikely]] make_room(n);
        return cur_;
    }
    void make_room(std::size_t n);

    std::string* str_ = nullptr;         // borrowed
    file::Replacement* file_ = nullptr;  // borrowed
    std::vector<char> buf_;
    char* begin_ = nullptr;
    char* cur_ = nullptr;
    char* end_ = nullptr;
};

// What one walk over a number's grammar finds: value = (-1)^negative * D * 10^(scale + exponent), D being the
// n_digits significant digits (from the first nonzero one).
struct Grammar {
    bool integer = true;  // no fraction and no exponent
    bool negative = false;
    std::uint64_t head = 0;     // D while n_digits <= 19 (its first 19 digits after that)
    std::int64_t n_digits = 0;
    std::int64_t scale = 0;     // minus the count of digits after the point
    std::int64_t exponent = 0;  // the exponent part, its magnitude capped far past any file's digit count

    // |value| < 1, zero included: decides which way a conversion left the range
    bool below_one() const { return n_digits == 0 || n_digits + scale + exponent <= 0; }
};

// A number token: its text (valid until the next read) and its grammar. Numbers too long to keep whole are
// shortened to an equivalent "digits e exponent" text, exact enough to round.
struct Number {
    std::string_view text;
    Grammar g;
};

// Reads one document from a descriptor through one buffer, so memory stays constant whatever the file size.
// Every failure aborts with `error_prefix` followed by Error("<message>", line: L, column: C): L counts from 1,
// C is the number of bytes read on that line, counting a byte that was looked at and found wrong, and the byte
// that ended a number (a byte-by-byte reader consumes it to see that the number is complete).
// Nesting is counted, containers being skipped included, and stops past kMaxDepth levels. Strings must be
// UTF-8 (stored texts are compared as UTF-8 bytes and written back unchanged), and a \u escape of a
// surrogate must be one half of a pair, in skipped values as in read ones.
class Reader {
public:
    // fd is borrowed. size_hint: the input's size when known, else 0.
    Reader(int fd, std::string error_prefix, std::uint64_t size_hint);
    // Bytes in memory, fed through the buffer `chunk` bytes at a time (tests cross every boundary with it).
    explicit Reader(std::string_view text, std::size_t chunk = kChunk);
    Reader(const Reader&) = delete;
    Reader& operator=(const Reader&) = delete;

    int peek();  // next byte after whitespace, not consumed; -1 at the end of the input

    // Containers. begin_* consume the bracket that peek() returned.
    void begin_object();
    void begin_array();
    // true: a key was read into *key (nullptr: validated and dropped) and its colon consumed; false: '}' read.
    bool next_key(bool first, std::string* key);
    // true: an element follows; false: ']' read.
    bool next_element(bool first);
    // After the last element a fixed-size array may hold: its ']' (extra elements: "trailing characters").
    void end_fixed_array();

    // Typed values; anything else fails with "invalid type: <what was found>, expected <expected>".
    void read_string(std::string& out);
    std::uint64_t read_unsigned(std::uint64_t max, std::string_view expected);  // plain integers only
    float read_f32();  // any number, rounded to the nearest float; magnitudes beyond float's range fail
    void read_f32_array(Vector& out, std::size_t reserve);  // [n, n, ...]
    void skip_value();  // validated, nothing kept
    void finish();      // only whitespace may follow the document

    // Bytes not read yet, or UINT64_MAX when unknown: bounds a count that the input itself claims.
    std::uint64_t bytes_left() const;

    [[noreturn]] void fail(std::string_view message) const;  // at the current position
    [[noreturn]] void fail_invalid_type(std::string_view expected);  // reads the value to name it

private:
    bool refill();  // keeps the unread bytes and reads more after them; false when none came
    int peek_raw();  // next byte as it is, not consumed; -1 at the end
    Number scan_number();
    Number scan_number_slow();
    template <bool kKeep>
    void string_body(std::string* out);
    template <bool kKeep>
    void escape(std::string* out);
    template <bool kKeep>
    void utf8_sequence(std::string* out);
    unsigned hex4();
    void literal(std::string_view word);
    float to_f32(const Number& n);
    std::string float_text(const Number& n);  // "1.5", "2.0": the number as a double, for messages
    std::uint64_t position(const char* p) const { return buf_pos_ + static_cast<std::uint64_t>(p - buf_.data()); }
    [[noreturn]] void fail_at(const char* p, std::string_view message) const;  // counting the byte at p

    int fd_ = -1;                  // borrowed; -1 when reading from memory
    std::string_view text_;        // memory input not yet fed
    std::size_t chunk_ = kChunk;
    std::vector<char> buf_;        // chunk_ bytes and a NUL that stops every scan at the end
    char* cur_ = nullptr;          // next unread byte
    char* end_ = nullptr;          // end of the bytes read
    bool eof_ = false;
    std::uint64_t buf_pos_ = 0;    // input offset of buf_[0]
    std::uint64_t size_hint_ = 0;
    std::uint64_t line_ = 1;
    std::uint64_t line_start_ = 0;  // input offset where the current line starts
    std::uint64_t number_end_ = UINT64_MAX;  // input offset just past the last number read
    int depth_ = 0;
    std::array<bool, kMaxDepth + 1> in_array_{};  // per open level: array, else object
    std::string scratch_;          // a number split across reads, names in messages
    std::string error_prefix_;
};

}  // namespace wexo::json
