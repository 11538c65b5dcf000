// Model files: one field list per record drives both the exact writer and the strict reader.
#include "model/model_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "core/check.h"
#include "core/text.h"
#include "io/file.h"
#include "io/json.h"

namespace wexo::model_file {
namespace {

constexpr std::string_view kLabel = "model file";

// The fields in declared order, which is the key order of a file: f(key, field) for each.
template <class L, class F>
void for_each_layer_field(L& l, F&& f) {
    f("layer_type", l.layer_type);
    f("activation_type", l.activation_type);
    f("n_inputs", l.n_inputs);
    f("n_neurons", l.n_neurons);
    f("weights", l.weights);
    f("biases", l.biases);
    f("weight_regularizer_l1", l.weight_regularizer_l1);
    f("weight_regularizer_l2", l.weight_regularizer_l2);
    f("bias_regularizer_l1", l.bias_regularizer_l1);
    f("bias_regularizer_l2", l.bias_regularizer_l2);
    f("inputs", l.inputs);
    f("activation_inputs", l.activation_inputs);
    f("dweights", l.dweights);
    f("dbiases", l.dbiases);
    f("weight_momentums", l.weight_momentums);
    f("weight_cache", l.weight_cache);
    f("bias_momentums", l.bias_momentums);
    f("bias_cache", l.bias_cache);
    f("dropout_rate", l.dropout_rate);
    f("binary_mask", l.binary_mask);
}

// Both model kinds: a linear model adds only its tolerance.
template <class M, class F>
void for_each_model_field(M& m, F&& f) {
    f("layers", m.layers);
    f("output_type", m.output_type);
    f("loss_type", m.loss_type);
    f("acc_type", m.acc_type);
    if constexpr (requires { m.acc_precision; }) f("acc_precision", m.acc_precision);
    f("save_best_params", m.save_best_params);
}

template <class T>
constexpr std::string_view kRecordName = std::is_same_v<std::remove_const_t<T>, Layer>         ? "Layer"
                                         : std::is_same_v<std::remove_const_t<T>, LinearModel> ? "LinearModel"
                                                                                               : "CategoricalModel";

template <class T, class F>
void for_each_field(T& record, F&& f) {
    if constexpr (std::is_same_v<std::remove_const_t<T>, Layer>)
        for_each_layer_field(record, f);
    else
        for_each_model_field(record, f);
}

// ---- writing

// The file writer's share of a session: what this write may copy and where it puts each constant matrix.
struct Reuse {
    WriteSession& session;
    file::Replacement& out;
    const std::string& path;
    bool copy;                                 // the previous file passed its checks
    std::vector<WriteSession::Range> ranges;  // in the file being written
    std::uint64_t copied = 0;
    // The last stored pre-activation matrix written and where its numbers' text lies in the file being written:
    // the next layer's inputs hold many of the same floats (relu keeps every positive one), whose text is then
    // read back from the file instead of formatted again.
    const Matrix* below = nullptr;
    std::uint64_t below_offset = 0;
    std::uint64_t below_length = 0;
};

// The previous file changed or ended early under a copy: the write starts again, formatting everything.
struct CopyFailed {};

struct Emit {
    json::Writer& w;
    Reuse* reuse = nullptr;       // null for text in memory and for a device or pipe written in place
    const Layer* layer = nullptr;  // the layer being written
};

void write_value(Emit& e, const std::string& s) { e.w.string(s); }
void write_value(Emit& e, std::uint64_t v) { e.w.u64(v); }
void write_value(Emit& e, float v) { e.w.f32(v); }

[[noreturn]] void fail_write(const std::string& path, int err) {
    fail("cannot write " + std::string(kLabel) + " '" + path + "': " + file::os_error_text(err));
}

WriteSession::Stamp stamp_of(const struct stat& st) {
    return {static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
            static_cast<std::uint64_t>(st.st_size), st.st_mtim.tv_sec, st.st_mtim.tv_nsec, st.st_ctim.tv_sec,
            st.st_ctim.tv_nsec};
}

bool previous_unchanged(const WriteSession& s) {
    struct stat st;
    return s.previous_fd >= 0 && ::fstat(s.previous_fd, &st) == 0 && S_ISREG(st.st_mode) &&
           stamp_of(st) == s.previous;
}

std::uint64_t position(const Reuse& r) {
    const off_t at = ::lseek(r.out.fd(), 0, SEEK_CUR);
    if (at < 0) fail_write(r.path, errno);
    return static_cast<std::uint64_t>(at);
}

// length bytes at offset of the previous file appended to the output: in the kernel where the file systems
// allow it, else through a buffer. A short source (the file shrank) throws CopyFailed; output errors abort.
void copy_previous(Reuse& r, std::uint64_t offset, std::uint64_t length) {
    const int from = r.session.previous_fd;
    const int to = r.out.fd();
    auto off = static_cast<off_t>(offset);
    while (length > 0) {
        const ssize_t n = ::copy_file_range(from, &off, to, nullptr, std::min<std::uint64_t>(length, 1 << 30), 0);
        if (n > 0) {
            length -= static_cast<std::uint64_t>(n);
            continue;
        }
        if (n == 0) throw CopyFailed{};
        if (errno == EINTR) continue;
        if (errno == ENOSPC || errno == EDQUOT || errno == EFBIG || errno == EIO) fail_write(r.path, errno);
        break;  // not supported between these files: the buffered copy below
    }
    std::vector<char> buf(length > 0 ? json::kChunk : 0);
    while (length > 0) {
        const ssize_t n = ::pread(from, buf.data(), std::min<std::uint64_t>(length, buf.size()), off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) throw CopyFailed{};
        r.out.write(buf.data(), static_cast<std::size_t>(n));
        off += n;
        length -= static_cast<std::uint64_t>(n);
    }
}

// Index of the constant matrix whose shape and bits m has, or -1.
long constant_match(const WriteSession& s, const Matrix& m) {
    for (std::size_t i = 0; i < s.constant.size(); ++i) {
        const WriteSession::Constant& c = s.constant[i];
        // the same buffer (a training call stores its batch as the first layer's inputs) needs no comparison
        if (c.n_rows == m.n_rows && c.n_cols == m.n_cols && !m.values.empty() &&
            (c.values == m.values.data() ||
             std::memcmp(c.values, m.values.data(), m.values.size() * sizeof(float)) == 0))
            return static_cast<long>(i);
    }
    return -1;
}

// {"v":1,"dim":[...],"data":[ ... ]}: the part before the numbers.
void open_array(json::Writer& w, std::initializer_list<std::uint64_t> dim) {
    w.raw("{\"v\":1,\"dim\":[");
    bool first = true;
    for (const std::uint64_t d : dim) {
        if (!first) w.raw(",");
        w.u64(d);
        first = false;
    }
    w.raw("],\"data\":[");
}

constexpr char kZeroText[text::kMaxJsonFloat] = "0.0";  // +0.0 as a file writes it, padded for fixed moves

// Appends to out the offsets of the commas in p[0, n) and returns how many there were. Reads whole 64-byte blocks:
// up to 63 bytes past n must be readable. The offsets come from bit masks, so finding one does not wait for the
// one before it.
std::size_t find_commas(const char* p, std::size_t n, std::uint32_t* out) {
    std::size_t count = 0;
    for (std::size_t base = 0; base < n; base += 64) {
        std::uint64_t mask = 0;
#if defined(__SSE2__)
        const __m128i comma = _mm_set1_epi8(',');
        for (int q = 0; q < 4; ++q) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + base + 16 * q));
            mask |= std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, comma)))}
                    << (16 * q);
        }
#else
        for (unsigned b = 0; b < 64; ++b) mask |= std::uint64_t{p[base + b] == ','} << b;
#endif
        if (n - base < 64) mask &= (std::uint64_t{1} << (n - base)) - 1;
        for (; mask != 0; mask &= mask - 1)
            out[count++] = static_cast<std::uint32_t>(base + static_cast<unsigned>(std::countr_zero(mask)));
    }
    return count;
}

// m's numbers, where each one that has the bits of the same element of the layer below's pre-activation matrix
// takes that number's text from the file being written (read back a chunk at a time) and only the others are
// formatted. The text read back is what this write produced, so it splits at its commas into exactly one
// number per element.
void write_numbers_from_below(Emit& e, const Matrix& m) {
    Reuse& r = *e.reuse;
    json::Writer& w = e.w;
    w.finish();  // the text to read back may still be in the writer's buffer
    const float* v = m.values.data();
    const float* old = r.below->values.data();
    const std::size_t n = m.values.size();
    constexpr std::size_t kCapacity = json::kChunk;
    constexpr std::size_t kBatch = 256;  // numbers laid out per reservation of the writer's buffer
    static_assert(kBatch * (text::kMaxJsonFloat + 1) <= json::kChunk);
    // one more byte for the comma that ends the last number, and room for whole blocks and 32-byte moves past it
    std::vector<char> buf(kCapacity + 1 + 64 + text::kMaxJsonFloat);
    // one offset per byte scanned at most, whatever the bytes read back turn out to be
    std::vector<std::uint32_t> commas(kCapacity + 1);
    std::uint64_t from = r.below_offset;
    std::uint64_t left = r.below_length;
    std::size_t have = 0;  // bytes of text in buf: the unfinished number of the last chunk, then the next chunk
    std::size_t i = 0;     // the next element
    const auto fail_split = [] { fail("model file: the text read back does not split into numbers"); };
    for (;;) {
        while (have < kCapacity && left > 0) {
            const ssize_t got = ::pread(r.out.fd(), buf.data() + have, std::min<std::uint64_t>(kCapacity - have, left),
                                        static_cast<off_t>(from));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) fail_write(r.path, got < 0 ? errno : EIO);
            have += static_cast<std::size_t>(got);
            from += static_cast<std::uint64_t>(got);
            left -= static_cast<std::uint64_t>(got);
        }
        const bool last = left == 0;
        if (last) buf[have] = ',';  // the last number ends at the text's end
        const std::size_t n_commas = find_commas(buf.data(), have + (last ? 1 : 0), commas.data());
        WEXO_CHECK(n_commas <= n - i, "model file: the text read back holds another number count");
        std::size_t start = 0;  // the next number's text
        for (std::size_t k = 0; k < n_commas;) {
            const std::size_t batch = std::min(kBatch, n_commas - k);
            char* p = w.reserve(batch * (text::kMaxJsonFloat + 1));
            for (const std::size_t k_end = k + batch; k < k_end; ++k, ++i) {
                const char* text = buf.data() + start;
                const std::size_t len = commas[k] - start;
                if (len == 0 || len > text::kMaxJsonFloat) fail_split();
                if (i > 0) *p++ = ',';
                const std::uint32_t bits = std::bit_cast<std::uint32_t>(v[i]);
                const std::uint32_t diff = bits ^ std::bit_cast<std::uint32_t>(old[i]);
                const bool same = diff == 0;
                // neither the same bits nor +0.0: one test, as the product of two 32-bit numbers is 0 only when one
                // of them is (a test of same alone would be as random as the choice below)
                if (std::uint64_t{diff} * bits != 0) [[unlikely]] {
                    p = text::write_json_float(p, v[i]);
                } else {
                    // Under relu every element is one or the other at random, so the choice is made with a mask:
                    // a branch on it was mispredicted half the time. The writer keeps only their length.
                    const std::uintptr_t keep = -std::uintptr_t{same};
                    const auto source = (reinterpret_cast<std::uintptr_t>(text) & keep) |
                                        (reinterpret_cast<std::uintptr_t>(kZeroText) & ~keep);
                    std::memcpy(p, reinterpret_cast<const char*>(source), text::kMaxJsonFloat);
                    p += (len & keep) | (3 & ~keep);
                }
                start = commas[k] + 1;
            }
            w.wrote(p);
        }
        if (last) {
            if (start != have + 1) fail_split();
            break;
        }
        if (start == 0) fail_split();  // a whole chunk without a comma
        have -= start;
        std::memmove(buf.data(), buf.data() + start, have);
    }
    r.session.reread_numbers += n;
    WEXO_CHECK(i == n, "model file: the text read back holds another number count");
}

// The numbers of a matrix that a file being written may hold already (the session's constant matrices, the
// inputs that a layer's pre-activation matrix mostly repeats) or that a later matrix may repeat.
void write_numbers_reusing(Emit& e, const Matrix& m) {
    Reuse& r = *e.reuse;
    json::Writer& w = e.w;
    const long constant = constant_match(r.session, m);
    const bool pre_activation = e.layer != nullptr && &m == &e.layer->activation_inputs;
    const bool from_below = e.layer != nullptr && &m == &e.layer->inputs && r.below != nullptr &&
                            r.below->n_rows == m.n_rows && r.below->n_cols == m.n_cols;
    if (constant < 0 && !pre_activation && !from_below) {
        w.f32_list(m.values.data(), m.values.size());
        return;
    }
    w.finish();  // hands the buffer on, so that the file position is the numbers' offset
    const std::uint64_t start = position(r);
    const auto index = static_cast<std::size_t>(constant);
    const auto before = std::find_if(r.session.ranges.begin(), r.session.ranges.end(),
                                     [&](const WriteSession::Range& g) { return g.matrix == index; });
    if (constant >= 0 && r.copy && before != r.session.ranges.end()) {
        copy_previous(r, before->offset, before->length);
        r.copied += before->length;
    } else if (constant < 0 && from_below) {
        write_numbers_from_below(e, m);
    } else {
        w.f32_list(m.values.data(), m.values.size());
    }
    w.finish();
    const std::uint64_t length = position(r) - start;
    if (constant >= 0) r.ranges.push_back({index, start, length});
    if (pre_activation) {
        r.below = &m;
        r.below_offset = start;
        r.below_length = length;
    }
}

void write_value(Emit& e, const Matrix& m) {
    open_array(e.w, {m.n_rows, m.n_cols});
    if (e.reuse != nullptr && !m.values.empty())
        write_numbers_reusing(e, m);
    else
        e.w.f32_list(m.values.data(), m.values.size());
    e.w.raw("]}");
}

void write_value(Emit& e, const Vector& v) {
    open_array(e.w, {v.size()});
    e.w.f32_list(v.data(), v.size());
    e.w.raw("]}");
}

template <class Record>
void write_record(Emit& e, const Record& r);

void write_value(Emit& e, const std::vector<Layer>& layers) {
    e.w.raw("[");
    for (std::size_t i = 0; i < layers.size(); ++i) {
        if (i > 0) e.w.raw(",");
        e.layer = &layers[i];
        write_record(e, layers[i]);
    }
    e.layer = nullptr;
    e.w.raw("]");
}

template <class Record>
void write_record(Emit& e, const Record& r) {
    bool first = true;
    for_each_field(r, [&](std::string_view key, const auto& field) {
        e.w.raw(first ? "{\"" : ",\"");
        e.w.raw(key);
        e.w.raw("\":");
        write_value(e, field);
        first = false;
    });
    e.w.raw("}");
}

template <class Model>
void write_file(const Model& m, const std::string& path) {
    file::Replacement out(path, kLabel);
    {
        json::Writer w(out);
        Emit e{w};
        write_record(e, m);
        w.finish();
    }
    out.commit();
}

// Keeps a read-only descriptor on the file just written, when the path still names it, for the next write.
void remember_written(WriteSession& s, const std::string& path, const struct stat& written,
                      std::vector<WriteSession::Range> ranges) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return;
    struct stat st;
    if (::fstat(fd, &st) != 0 || st.st_dev != written.st_dev || st.st_ino != written.st_ino ||
        st.st_size != written.st_size) {
        ::close(fd);
        return;
    }
    s.previous_fd = fd;
    s.previous = stamp_of(st);
    s.ranges = std::move(ranges);
}

template <class Model>
void write_file(const Model& m, const std::string& path, WriteSession& session) {
    session.reused_bytes = 0;
    session.reread_numbers = 0;
    file::Replacement out(path, kLabel);
    struct stat st;
    if (::fstat(out.fd(), &st) != 0) fail_write(path, errno);
    // Only a fresh regular file can be started again, and the previous file must not be the one being written.
    const bool regular = S_ISREG(st.st_mode) && out.readable();
    bool copy = regular && previous_unchanged(session) &&
                !(session.previous.dev == static_cast<std::uint64_t>(st.st_dev) &&
                  session.previous.ino == static_cast<std::uint64_t>(st.st_ino));
    std::vector<WriteSession::Range> ranges;
    for (;;) {
        Reuse reuse{session, out, path, copy, {}};
        try {
            json::Writer w(out);
            Emit e{w, regular ? &reuse : nullptr};
            write_record(e, m);
            w.finish();
            // a change during the copies (a write keeps the size but moves the times) means start again
            if (reuse.copied > 0 && !previous_unchanged(session)) throw CopyFailed{};
        } catch (const CopyFailed&) {
            copy = false;
            session.reread_numbers = 0;
            if (::ftruncate(out.fd(), 0) != 0 || ::lseek(out.fd(), 0, SEEK_SET) != 0) fail_write(path, errno);
            continue;
        }
        session.reused_bytes = reuse.copied;
        ranges = std::move(reuse.ranges);
        break;
    }
    if (regular && ::fstat(out.fd(), &st) != 0) fail_write(path, errno);
    if (session.previous_fd >= 0) ::close(std::exchange(session.previous_fd, -1));
    session.ranges.clear();
    out.commit();
    if (regular) remember_written(session, path, st, std::move(ranges));
}

template <class Model>
std::string to_text(const Model& m) {
    std::string out;
    json::Writer w(out);
    Emit e{w};
    write_record(e, m);
    w.finish();
    return out;
}

// ---- reading

void read_value(json::Reader& r, std::string& s) { r.read_string(s); }
void read_value(json::Reader& r, std::uint64_t& v) { v = r.read_unsigned(UINT64_MAX, "usize"); }
void read_value(json::Reader& r, float& v) { v = r.read_f32(); }

// The element count a shape claims; false when it does not fit 64 bits.
template <std::size_t Rank>
bool element_count(const std::array<std::uint64_t, Rank>& dim, std::uint64_t& count) {
    count = 1;
    for (const std::uint64_t d : dim)
        if (__builtin_mul_overflow(count, d, &count)) return false;
    return true;
}

// An array object {"v":1,"dim":[...],"data":[...]} (keys in any order, a repeated one replacing the earlier)
// or [1,[...],[...]], of Rank dimensions.
template <std::size_t Rank>
void read_array(json::Reader& r, std::array<std::uint64_t, Rank>& dim, Vector& data) {
    const std::string rank_text = std::to_string(Rank);
    const auto read_version = [&] {
        const std::uint64_t v = r.read_unsigned(255, "u8");
        if (v != 1) r.fail("unknown array version: " + std::to_string(v));
    };
    bool have_dim = false;
    const auto read_dim = [&] {
        if (r.peek() != '[') r.fail_invalid_type("an array of length " + rank_text);
        r.begin_array();
        for (std::size_t i = 0; i < Rank; ++i) {
            if (!r.next_element(i == 0))
                r.fail("invalid length " + std::to_string(i) + ", expected an array of length " + rank_text);
            dim[i] = r.read_unsigned(UINT64_MAX, "usize");
        }
        r.end_fixed_array();
        have_dim = true;
    };
    const auto read_data = [&] {
        // Room for what the shape claims, but never more than the input can still hold (each number takes
        // at least two bytes with its comma): a forged shape cannot make the reader allocate.
        std::uint64_t claimed = 0;
        if (have_dim && !element_count(dim, claimed)) claimed = 0;
        const std::uint64_t left = r.bytes_left();
        const std::uint64_t cap = left == UINT64_MAX ? std::uint64_t{1} << 16 : left / 2 + 1;
        r.read_f32_array(data, static_cast<std::size_t>(std::min(claimed, cap)));
    };
    const int c = r.peek();
    if (c == '{') {
        r.begin_object();
        bool have_v = false;
        bool have_data = false;
        std::string key;
        for (bool first = true; r.next_key(first, &key); first = false) {
            if (key == "v") {
                read_version();
                have_v = true;
            } else if (key == "dim") {
                read_dim();
            } else if (key == "data") {
                read_data();
                have_data = true;
            } else {
                r.fail("unknown field `" + key + "`, expected one of `v`, `dim`, `data`");
            }
        }
        if (!have_v) r.fail("missing field `v`");
        if (!have_dim) r.fail("missing field `dim`");
        if (!have_data) r.fail("missing field `data`");
    } else if (c == '[') {
        r.begin_array();
        const auto element = [&](std::size_t i) {
            if (!r.next_element(i == 0)) r.fail("invalid length " + std::to_string(i) + ", expected an array object with 3 elements");
        };
        element(0);
        read_version();
        element(1);
        read_dim();
        element(2);
        read_data();
        r.end_fixed_array();
    } else {
        r.fail_invalid_type("an array object");
    }
    std::uint64_t count = 0;
    if (!element_count(dim, count) || count != data.size()) r.fail("data and dimension must match in size");
    if (data.capacity() > data.size() + data.size() / 8) data.shrink_to_fit();  // the shape came late
}

void read_value(json::Reader& r, Matrix& m) {
    std::array<std::uint64_t, 2> dim{};
    Vector data;
    read_array(r, dim, data);
    m.n_rows = dim[0];
    m.n_cols = dim[1];
    m.values = std::move(data);
}

void read_value(json::Reader& r, Vector& v) {
    std::array<std::uint64_t, 1> dim{};
    read_array(r, dim, v);
}

template <class Record>
void read_record(json::Reader& r, Record& record);

void read_value(json::Reader& r, std::vector<Layer>& layers) {
    if (r.peek() != '[') r.fail_invalid_type("a sequence");
    r.begin_array();
    layers.clear();
    for (bool first = true; r.next_element(first); first = false) read_record(r, layers.emplace_back());
}

// A record as an object (every field once, in any order; unknown keys skipped with their value) or as an
// array of all its field values in declared order.
template <class Record>
void read_record(json::Reader& r, Record& record) {
    const std::string name(kRecordName<Record>);
    std::size_t n_fields = 0;
    for_each_field(record, [&](std::string_view, auto&) { ++n_fields; });
    const int c = r.peek();
    if (c == '{') {
        r.begin_object();
        std::uint32_t seen = 0;  // bit i: field i was read
        std::string key;
        for (bool first = true; r.next_key(first, &key); first = false) {
            std::size_t i = 0;
            bool known = false;
            for_each_field(record, [&](std::string_view field_name, auto& field) {
                if (!known && field_name == key) {
                    known = true;
                    if (seen & (1u << i)) r.fail("duplicate field `" + key + "`");
                    seen |= 1u << i;
                    read_value(r, field);
                }
                ++i;
            });
            if (!known) r.skip_value();
        }
        std::size_t i = 0;
        std::string_view missing;
        for_each_field(record, [&](std::string_view field_name, auto&) {
            if (missing.empty() && !(seen & (1u << i))) missing = field_name;
            ++i;
        });
        if (!missing.empty()) r.fail("missing field `" + std::string(missing) + "`");
    } else if (c == '[') {
        r.begin_array();
        std::size_t i = 0;
        for_each_field(record, [&](std::string_view, auto& field) {
            if (!r.next_element(i == 0))
                r.fail("invalid length " + std::to_string(i) + ", expected struct " + name + " with " +
                       std::to_string(n_fields) + " elements");
            read_value(r, field);
            ++i;
        });
        r.end_fixed_array();
    } else {
        r.fail_invalid_type("struct " + name);
    }
}

template <class Model>
Model parse(json::Reader& r) {
    Model m;
    read_record(r, m);
    r.finish();
    return m;
}

template <class Model>
Model read_file(const std::string& path) {
    const file::Input in(path, kLabel);
    json::Reader r(in.fd(), "cannot read model file '" + path + "': ", in.size());
    return parse<Model>(r);
}

template <class Model>
Model parse_text(std::string_view text, std::size_t chunk) {
    json::Reader r(text, chunk);
    return parse<Model>(r);
}

}  // namespace

void write(const LinearModel& model, const std::string& path) { write_file(model, path); }
void write(const CategoricalModel& model, const std::string& path) { write_file(model, path); }
void write(const LinearModel& model, const std::string& path, WriteSession& session) {
    write_file(model, path, session);
}
void write(const CategoricalModel& model, const std::string& path, WriteSession& session) {
    write_file(model, path, session);
}

WriteSession::WriteSession(std::vector<Constant> constant_matrices) : constant(std::move(constant_matrices)) {}

WriteSession::~WriteSession() {
    if (previous_fd >= 0) ::close(previous_fd);
}

std::string to_json(const LinearModel& model) { return to_text(model); }
std::string to_json(const CategoricalModel& model) { return to_text(model); }

LinearModel read_linear(const std::string& path) { return read_file<LinearModel>(path); }
CategoricalModel read_categorical(const std::string& path) { return read_file<CategoricalModel>(path); }

LinearModel parse_linear(std::string_view json, std::size_t chunk) { return parse_text<LinearModel>(json, chunk); }
CategoricalModel parse_categorical(std::string_view json, std::size_t chunk) {
    return parse_text<CategoricalModel>(json, chunk);
}

}  // namespace wexo::model_file
