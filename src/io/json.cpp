// The JSON writer and the strict, depth-capped streaming reader.
#include "io/json.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>

#include "core/check.h"

namespace wexo::json {
namespace {

constexpr std::size_t kFastNumber = 64;  // bytes kept in view so that a number is scanned in place
constexpr std::size_t kMaxDigits = 800;  // significant digits kept of a long number: past what rounding needs

bool is_digit(int c) { return c >= '0' && c <= '9'; }

// Bytes a string copies as they are: printable ASCII other than the quote and the backslash.
constexpr std::array<bool, 256> kPlain = [] {
    std::array<bool, 256> t{};
    for (int c = 0x20; c < 0x80; ++c) t[static_cast<std::size_t>(c)] = c != '"' && c != '\\';
    return t;
}();

bool plain(char c) { return kPlain[static_cast<unsigned char>(c)]; }

void append_utf8(std::string& out, unsigned cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Scans a JSON number in place. Returns its end, or nullptr with *bad at the byte that breaks the grammar.
// The NUL after the buffer ends every scan.
const char* number_end(const char* p, bool& integer, const char*& bad) {
    integer = true;
    if (*p == '-') ++p;
    if (*p == '0') {
        ++p;
        if (is_digit(*p)) {
            bad = p;
            return nullptr;
        }
    } else if (*p >= '1' && *p <= '9') {
        ++p;
        while (is_digit(*p)) ++p;
    } else {
        bad = p;
        return nullptr;
    }
    if (*p == '.') {
        integer = false;
        ++p;
        if (!is_digit(*p)) {
            bad = p;
            return nullptr;
        }
        while (is_digit(*p)) ++p;
    }
    if (*p == 'e' || *p == 'E') {
        integer = false;
        ++p;
        if (*p == '+' || *p == '-') ++p;
        if (!is_digit(*p)) {
            bad = p;
            return nullptr;
        }
        while (is_digit(*p)) ++p;
    }
    return p;
}

// A float read without the general conversion when the decimal allows an exact shortcut: up to 19 significant
// digits forming w <= 2^53 and a power of ten 10^k, |k| <= 22, are both exact doubles, so w * 10^k (or
// w / 10^-k) is the correctly rounded double q of the decimal value x. Rounding q to float gives the float
// nearest x unless q is exactly halfway between two floats: any such midpoint strictly between x and q would
// be a double nearer x than q. Returns the end of the number, or nullptr when the general path must decide
// (midpoints, other sizes, anything outside the grammar, a number that may go on after the buffer).
const char* fast_f32(const char* p, const char* buffer_end, bool at_eof, float& out) {
    static constexpr double kPow10[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                        1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
    const bool negative = *p == '-';
    p += negative;
    std::uint64_t w = 0;  // wraps past 19 digits; n_digits then sends the number to the general path
    int n_digits = 0;     // from the first nonzero one
    bool significant = false;
    int scale = 0;
    if (*p == '0') {
        ++p;
        if (is_digit(*p)) return nullptr;
    } else if (*p >= '1' && *p <= '9') {
        significant = true;
        for (; is_digit(*p); ++p) {
            w = w * 10 + static_cast<unsigned>(*p - '0');
            ++n_digits;
        }
    } else {
        return nullptr;
    }
    if (*p == '.') {
        ++p;
        if (!is_digit(*p)) return nullptr;
        for (; is_digit(*p); ++p) {
            w = w * 10 + static_cast<unsigned>(*p - '0');
            significant = significant || *p != '0';
            n_digits += significant;
            --scale;
        }
    }
    if (*p == 'e' || *p == 'E') {
        ++p;
        const bool exponent_negative = *p == '-';
        p += *p == '+' || *p == '-';
        if (!is_digit(*p)) return nullptr;
        int x = 0;
        for (; is_digit(*p); ++p)
            if (x < 10000) x = x * 10 + (*p - '0');
        scale += exponent_negative ? -x : x;
    }
    if (p == buffer_end && !at_eof) return nullptr;
    if (n_digits > 19) return nullptr;
    if (w == 0) {
        out = negative ? -0.0f : 0.0f;
        return p;
    }
    if (w > (std::uint64_t{1} << 53) || scale < -22 || scale > 22) return nullptr;
    const double q = scale < 0 ? static_cast<double>(w) / kPow10[-scale] : static_cast<double>(w) * kPow10[scale];
    std::uint64_t bits;
    std::memcpy(&bits, &q, sizeof bits);
    if ((bits & 0x1FFFFFFF) == 0x10000000) return nullptr;  // q is a float midpoint
    const auto f = static_cast<float>(q);
    out = negative ? -f : f;
    return p;
}

// Whether a number's magnitude is below one: decides which way a float conversion left the range.
bool below_one(std::string_view t) {
    std::size_t i = t[0] == '-' ? 1 : 0;
    std::int64_t magnitude = 0;  // digits before the point, or minus the zeros after it
    bool significant = false;
    for (; i < t.size() && is_digit(t[i]); ++i) {
        if (t[i] != '0') significant = true;
        if (significant) ++magnitude;
    }
    if (i < t.size() && t[i] == '.') {
        for (++i; i < t.size() && is_digit(t[i]); ++i) {
            if (t[i] != '0') significant = true;
            if (!significant) --magnitude;
        }
    }
    if (!significant) return true;
    if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
        ++i;
        const bool negative = i < t.size() && t[i] == '-';
        if (i < t.size() && (t[i] == '+' || t[i] == '-')) ++i;
        std::int64_t e = 0;
        for (; i < t.size(); ++i) e = std::min<std::int64_t>(e * 10 + (t[i] - '0'), 1'000'000'000'000);
        magnitude += negative ? -e : e;
    }
    return magnitude <= 0;
}

// How a string appears in a message: quoted, with quotes, backslashes and control bytes escaped.
std::string quoted(std::string_view s) {
    std::string out = "\"";
    for (const char c : s) {
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char buf[8];
                    std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(c));
                    out += buf;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

// ---- Writer

Writer::Writer(std::string& out) : str_(&out) {
    const std::size_t used = out.size();
    out.resize(used + 4096);
    begin_ = out.data();
    cur_ = begin_ + used;
    end_ = begin_ + out.size();
}

Writer::Writer(file::Replacement& out) : file_(&out), buf_(kChunk) {
    begin_ = buf_.data();
    cur_ = begin_;
    end_ = begin_ + buf_.size();
}

Writer::~Writer() {
    if (str_) str_->resize(static_cast<std::size_t>(cur_ - begin_));  // drop the unwritten tail
}

void Writer::make_room(std::size_t n) {
    const auto used = static_cast<std::size_t>(cur_ - begin_);
    if (str_) {
        str_->resize(std::max(str_->size() * 2, used + n));
        begin_ = str_->data();
        end_ = begin_ + str_->size();
    } else {
        WEXO_CHECK(n <= buf_.size(), "write buffer too small");
        file_->write(begin_, used);
    }
    cur_ = begin_ + (str_ ? used : 0);
}

void Writer::raw(std::string_view s) {
    while (!s.empty()) {
        if (cur_ == end_) make_room(1);
        const std::size_t n = std::min(s.size(), static_cast<std::size_t>(end_ - cur_));
        std::memcpy(cur_, s.data(), n);
        cur_ += n;
        s.remove_prefix(n);
    }
}

void Writer::string(std::string_view s) {
    raw("\"");
    std::size_t run = 0;  // start of the bytes copied as they are
    for (std::size_t i = 0; i < s.size(); ++i) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        raw(s.substr(run, i - run));
        run = i + 1;
        switch (c) {
            case '"': raw("\\\""); break;
            case '\\': raw("\\\\"); break;
            case '\b': raw("\\b"); break;
            case '\t': raw("\\t"); break;
            case '\n': raw("\\n"); break;
            case '\f': raw("\\f"); break;
            case '\r': raw("\\r"); break;
            default: {
                const char esc[6] = {'\\', 'u', '0', '0', "0123456789abcdef"[c >> 4], "0123456789abcdef"[c & 15]};
                raw(std::string_view(esc, 6));
            }
        }
    }
    raw(s.substr(run));
    raw("\"");
}

void Writer::u64(std::uint64_t v) { cur_ = text::write_u64(room(20), v); }

void Writer::f32(float v) { cur_ = text::write_json_float(room(text::kMaxJsonFloat), v); }

void Writer::f32_list(const float* v, std::size_t n) {
    constexpr std::size_t kBlock = 1024;  // numbers per room check
    for (std::size_t i = 0; i < n; i += kBlock) {
        const std::size_t count = std::min(kBlock, n - i);
        char* p = room(1 + count * (text::kMaxJsonFloat + 1));
        if (i > 0) *p++ = ',';
        cur_ = text::write_json_float_list(p, v + i, count);
    }
}

void Writer::finish() {
    if (file_) {
        file_->write(begin_, static_cast<std::size_t>(cur_ - begin_));
        cur_ = begin_;
    } else {
        str_->resize(static_cast<std::size_t>(cur_ - begin_));
        begin_ = str_->data();
        cur_ = end_ = begin_ + str_->size();
    }
}

// ---- Reader: input and positions

Reader::Reader(int fd, std::string error_prefix, std::uint64_t size_hint)
    : fd_(fd), buf_(kChunk + 1), size_hint_(size_hint), error_prefix_(std::move(error_prefix)) {
    cur_ = end_ = buf_.data();
    *end_ = '\0';
}

Reader::Reader(std::string_view text, std::size_t chunk)
    : text_(text), chunk_(std::max<std::size_t>(chunk, 1)), buf_(chunk_ + 1), size_hint_(text.size()) {
    cur_ = end_ = buf_.data();
    *end_ = '\0';
}

bool Reader::refill() {
    if (eof_) return false;
    const auto kept = static_cast<std::size_t>(end_ - cur_);
    buf_pos_ += static_cast<std::uint64_t>(cur_ - buf_.data());
    std::memmove(buf_.data(), cur_, kept);
    cur_ = buf_.data();
    end_ = cur_ + kept;
    const std::size_t room = buf_.size() - 1 - kept;
    std::size_t got = 0;
    if (room == 0) return false;
    if (fd_ < 0) {
        got = std::min(room, text_.size());
        std::memcpy(end_, text_.data(), got);
        text_.remove_prefix(got);
    } else {
        ssize_t n;
        while ((n = ::read(fd_, end_, room)) < 0 && errno == EINTR) {
        }
        if (n < 0) wexo::fail(error_prefix_ + file::os_error_text(errno));
        got = static_cast<std::size_t>(n);
    }
    if (got == 0) eof_ = true;
    end_ += got;
    *end_ = '\0';
    return got > 0;
}

std::uint64_t Reader::bytes_left() const {
    if (fd_ >= 0 && size_hint_ == 0) return std::numeric_limits<std::uint64_t>::max();
    const std::uint64_t read = position(cur_);
    return size_hint_ > read ? size_hint_ - read : 0;
}

void Reader::fail(std::string_view message) const {
    // right after a number, the byte that ended it counts as read
    const bool after_number = cur_ < end_ && position(cur_) == number_end_;
    fail_at(after_number ? cur_ : nullptr, message);
}

void Reader::fail_at(const char* p, std::string_view message) const {
    std::uint64_t line = line_;
    std::uint64_t column = 0;
    if (p != nullptr && p < end_ && *p == '\n') {
        ++line;  // the newline itself was the problem: the reader stands at the start of the next line
    } else {
        const std::uint64_t read = p != nullptr && p < end_ ? position(p) + 1 : position(p ? p : cur_);
        column = read - line_start_;
    }
    wexo::fail(error_prefix_ + "Error(\"" + std::string(message) + "\", line: " + std::to_string(line) +
               ", column: " + std::to_string(column) + ")");
}

int Reader::peek() {
    for (;;) {
        while (cur_ < end_) {
            const auto c = static_cast<unsigned char>(*cur_);
            if (c > ' ') return c;
            if (c == ' ' || c == '\t' || c == '\r') {
                ++cur_;
            } else if (c == '\n') {
                ++cur_;
                ++line_;
                line_start_ = position(cur_);
            } else {
                return c;  // other control bytes are not whitespace
            }
        }
        if (!refill()) return -1;
    }
}

int Reader::peek_raw() {
    if (cur_ == end_ && !refill()) return -1;
    return static_cast<unsigned char>(*cur_);
}

// ---- Reader: structure

void Reader::begin_object() {
    if (depth_ == kMaxDepth) fail_at(cur_, "recursion limit exceeded");
    in_array_[static_cast<std::size_t>(++depth_)] = false;
    ++cur_;
}

void Reader::begin_array() {
    if (depth_ == kMaxDepth) fail_at(cur_, "recursion limit exceeded");
    in_array_[static_cast<std::size_t>(++depth_)] = true;
    ++cur_;
}

bool Reader::next_key(bool first, std::string* key) {
    int c = peek();
    if (c == '}') {
        ++cur_;
        --depth_;
        return false;
    }
    if (!first) {
        if (c == -1) fail("EOF while parsing an object");
        if (c != ',') fail_at(cur_, "expected `,` or `}`");
        ++cur_;
        c = peek();
        if (c == '}') fail_at(cur_, "trailing comma");
    }
    if (c == -1) fail("EOF while parsing an object");
    if (c != '"') fail_at(cur_, "key must be a string");
    ++cur_;
    if (key) {
        key->clear();
        string_body<true>(key);
    } else {
        string_body<false>(nullptr);
    }
    c = peek();
    if (c != ':') {
        if (c == -1) fail("EOF while parsing an object");
        fail_at(cur_, "expected `:`");
    }
    ++cur_;
    return true;
}

bool Reader::next_element(bool first) {
    int c = peek();
    if (c == ']') {
        ++cur_;
        --depth_;
        return false;
    }
    if (c == -1) fail("EOF while parsing a list");
    if (first) return true;
    if (c != ',') fail_at(cur_, "expected `,` or `]`");
    ++cur_;
    if (peek() == ']') fail_at(cur_, "trailing comma");
    return true;
}

void Reader::end_fixed_array() {
    const int c = peek();
    if (c == ']') {
        ++cur_;
        --depth_;
        return;
    }
    if (c == -1) fail("EOF while parsing a list");
    if (c != ',') fail_at(cur_, "expected `,` or `]`");
    ++cur_;
    const bool trailing_comma = peek() == ']';  // peek may move cur_: read it afterwards
    fail_at(cur_, trailing_comma ? "trailing comma" : "trailing characters");
}

void Reader::finish() {
    if (peek() != -1) fail_at(cur_, "trailing characters");
}

void Reader::skip_value() {
    const int base = depth_;
    for (;;) {
        const int c = peek();
        switch (c) {
            case '{':
                begin_object();
                if (next_key(true, nullptr)) continue;
                break;
            case '[':
                begin_array();
                if (next_element(true)) continue;
                break;
            case '"':
                ++cur_;
                string_body<false>(nullptr);
                break;
            case 't': literal("true"); break;
            case 'f': literal("false"); break;
            case 'n': literal("null"); break;
            case -1: fail("EOF while parsing a value");
            default:
                if (c != '-' && !is_digit(c)) fail_at(cur_, "expected value");
                scan_number();
        }
        // a value ended: close the containers it completes, up to the next value
        while (depth_ > base) {
            const bool more = in_array_[static_cast<std::size_t>(depth_)] ? next_element(false) : next_key(false, nullptr);
            if (more) break;
        }
        if (depth_ == base) return;
    }
}

void Reader::literal(std::string_view word) {
    ++cur_;  // the first letter, already peeked
    for (std::size_t i = 1; i < word.size(); ++i) {
        const int c = peek_raw();
        if (c == -1) fail("EOF while parsing a value");
        if (c != word[i]) fail_at(cur_, "expected ident");
        ++cur_;
    }
}

// ---- Reader: strings

template <bool kKeep>
void Reader::string_body(std::string* out) {
    for (;;) {
        const char* run = cur_;
        while (plain(*cur_)) ++cur_;  // the NUL at end_ is not plain
        if constexpr (kKeep) out->append(run, static_cast<std::size_t>(cur_ - run));
        if (cur_ == end_) {
            if (!refill()) fail("EOF while parsing a string");
            continue;
        }
        const auto c = static_cast<unsigned char>(*cur_);
        if (c == '"') {
            ++cur_;
            return;
        }
        if (c == '\\') {
            ++cur_;
            escape<kKeep>(out);
        } else if (c < 0x20) {
            fail_at(cur_, "control character (\\u0000-\\u001F) found while parsing a string");
        } else {
            utf8_sequence<kKeep>(out);
        }
    }
}

template <bool kKeep>
void Reader::escape(std::string* out) {
    const int c = peek_raw();
    if (c == -1) fail("EOF while parsing a string");
    if (!std::strchr("\"\\/bfnrtu", c) || c == 0) fail_at(cur_, "invalid escape");
    ++cur_;
    char decoded = 0;
    switch (c) {
        case '"': decoded = '"'; break;
        case '\\': decoded = '\\'; break;
        case '/': decoded = '/'; break;
        case 'b': decoded = '\b'; break;
        case 'f': decoded = '\f'; break;
        case 'n': decoded = '\n'; break;
        case 'r': decoded = '\r'; break;
        case 't': decoded = '\t'; break;
        case 'u': {
            unsigned cp = hex4();
            if (cp >= 0xDC00 && cp <= 0xDFFF) fail("lone trailing surrogate in hex escape");
            if (cp >= 0xD800 && cp <= 0xDBFF) {
                // only a pair of escapes encodes a character beyond the first plane
                for (const char want : {'\\', 'u'}) {
                    const int got = peek_raw();
                    if (got == -1) fail("EOF while parsing a string");
                    if (got != want) fail_at(cur_, "lone leading surrogate in hex escape");
                    ++cur_;
                }
                const unsigned low = hex4();
                if (low < 0xDC00 || low > 0xDFFF) fail("lone leading surrogate in hex escape");
                cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            }
            if constexpr (kKeep) append_utf8(*out, cp);
            return;
        }
    }
    if constexpr (kKeep) out->push_back(decoded);
}

unsigned Reader::hex4() {
    unsigned v = 0;
    for (int i = 0; i < 4; ++i) {
        const int c = peek_raw();
        if (c == -1) fail("EOF while parsing a string");
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else fail_at(cur_, "invalid escape");
        ++cur_;
        v = v * 16 + d;
    }
    return v;
}

// Stored texts are UTF-8, so a string must be: no stray continuation bytes, overlong forms, encoded
// surrogates or code points past U+10FFFF.
template <bool kKeep>
void Reader::utf8_sequence(std::string* out) {
    const int lead = peek_raw();
    int n_cont = 0;
    int lo = 0x80;
    int hi = 0xBF;  // range of the first continuation byte
    if (lead >= 0xC2 && lead <= 0xDF) {
        n_cont = 1;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        n_cont = 2;
        if (lead == 0xE0) lo = 0xA0;
        if (lead == 0xED) hi = 0x9F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        n_cont = 3;
        if (lead == 0xF0) lo = 0x90;
        if (lead == 0xF4) hi = 0x8F;
    } else {
        fail_at(cur_, "invalid unicode code point");
    }
    ++cur_;
    if constexpr (kKeep) out->push_back(static_cast<char>(lead));
    for (int i = 0; i < n_cont; ++i) {
        const int c = peek_raw();
        if (c == -1) fail("EOF while parsing a string");
        if (c < lo || c > hi) fail_at(cur_, "invalid unicode code point");
        ++cur_;
        if constexpr (kKeep) out->push_back(static_cast<char>(c));
        lo = 0x80;
        hi = 0xBF;
    }
}

void Reader::read_string(std::string& out) {
    if (peek() != '"') fail_invalid_type("a string");
    ++cur_;
    out.clear();
    string_body<true>(&out);
}

// ---- Reader: numbers

Number Reader::scan_number() {
    if (static_cast<std::size_t>(end_ - cur_) < kFastNumber && !eof_) refill();
    const char* start = cur_;
    bool integer = true;
    const char* bad = nullptr;
    const char* end = number_end(start, integer, bad);
    // a number that reaches the end of the bytes read may go on in the next read
    if ((end == nullptr ? bad : end) == end_ && !eof_) return scan_number_slow();
    if (end == nullptr) fail_at(bad, "invalid number");
    cur_ = const_cast<char*>(end);
    number_end_ = position(cur_);
    return {std::string_view(start, static_cast<std::size_t>(end - start)), integer, *start == '-'};
}

// Byte by byte across reads, keeping at most kMaxDigits significant digits: the text becomes
// [-]digits[e<exponent>], where a final 1 stands for any nonzero digits dropped.
Number Reader::scan_number_slow() {
    scratch_.clear();
    const bool negative = peek_raw() == '-';
    if (negative) {
        ++cur_;
        scratch_ += '-';
    }
    std::uint64_t n_kept = 0;
    std::int64_t scale = 0;  // value = kept digits * 10^scale (before the exponent part)
    bool sticky = false;
    bool integer = true;
    const auto digit = [&](int d, bool fraction) {
        if (fraction) --scale;
        if (n_kept == 0 && d == '0') return;
        if (n_kept < kMaxDigits) {
            scratch_ += static_cast<char>(d);
            ++n_kept;
        } else {
            ++scale;
            sticky = sticky || d != '0';
        }
    };
    int c = peek_raw();
    if (c == '0') {
        ++cur_;
        if (is_digit(peek_raw())) fail_at(cur_, "invalid number");
    } else if (c >= '1' && c <= '9') {
        while (is_digit(c = peek_raw())) {
            ++cur_;
            digit(c, false);
        }
    } else {
        fail_at(cur_, "invalid number");
    }
    c = peek_raw();
    if (c == '.') {
        integer = false;
        ++cur_;
        if (!is_digit(peek_raw())) fail_at(cur_, "invalid number");
        while (is_digit(c = peek_raw())) {
            ++cur_;
            digit(c, true);
        }
    }
    std::int64_t exponent = 0;
    if (c == 'e' || c == 'E') {
        integer = false;
        ++cur_;
        c = peek_raw();
        const bool exponent_negative = c == '-';
        if (c == '+' || c == '-') ++cur_;
        if (!is_digit(peek_raw())) fail_at(cur_, "invalid number");
        while (is_digit(c = peek_raw())) {
            ++cur_;
            exponent = std::min<std::int64_t>(exponent * 10 + (c - '0'), 1'000'000'000'000);
        }
        if (exponent_negative) exponent = -exponent;
    }
    if (n_kept == 0) scratch_ += '0';
    if (sticky) {
        scratch_ += '1';
        --scale;
    }
    const std::int64_t e = scale + exponent;
    if (e != 0 || !integer) {
        scratch_ += 'e';
        scratch_ += std::to_string(e);
    }
    number_end_ = position(cur_);
    return {scratch_, integer, negative};
}

float Reader::to_f32(const Number& n) {
    float v = 0;
    const auto r = std::from_chars(n.text.data(), n.text.data() + n.text.size(), v);
    if (r.ec == std::errc()) [[likely]]
        return v;
    // the conversion reports both ways out of range; only one of them has a float that is nearest
    if (below_one(n.text)) return n.negative ? -0.0f : 0.0f;
    fail("number out of range");
}

std::string Reader::float_text(const Number& n) {
    double v = 0;
    const auto r = std::from_chars(n.text.data(), n.text.data() + n.text.size(), v);
    if (r.ec != std::errc()) {
        if (!below_one(n.text)) fail("number out of range");
        v = n.negative ? -0.0 : 0.0;
    }
    std::string out;
    text::append_shortest_positional_f64(out, v);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

float Reader::read_f32() {
    const int c = peek();
    if (c != '-' && !is_digit(c)) fail_invalid_type("f32");
    if (static_cast<std::size_t>(end_ - cur_) < kFastNumber && !eof_) refill();
    float v;
    if (const char* end = fast_f32(cur_, end_, eof_, v)) [[likely]] {
        cur_ = const_cast<char*>(end);
        number_end_ = position(cur_);
        return v;
    }
    return to_f32(scan_number());
}

void Reader::read_f32_array(Vector& out, std::size_t reserve) {
    if (peek() != '[') fail_invalid_type("a sequence");
    begin_array();
    out.clear();
    out.reserve(reserve);
    for (bool first = true; next_element(first); first = false) out.push_back(read_f32());
}

std::uint64_t Reader::read_unsigned(std::uint64_t max, std::string_view expected) {
    const int c = peek();
    if (c != '-' && !is_digit(c)) fail_invalid_type(expected);
    const Number n = scan_number();
    if (!n.integer) fail("invalid type: floating point `" + float_text(n) + "`, expected " + std::string(expected));
    std::uint64_t v = 0;
    bool in_range = true;
    for (const char d : n.text.substr(n.negative ? 1 : 0)) {
        // a shortened integer (digits e exponent) is far past any 64-bit value
        if (!is_digit(d) || __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d - '0', &v)) {
            in_range = false;
            break;
        }
    }
    if (!in_range || v > max || (n.negative && v != 0))
        fail("invalid value: integer `" + std::string(n.text) + "`, expected " + std::string(expected));
    return v;
}

void Reader::fail_invalid_type(std::string_view expected) {
    const int c = peek();
    std::string found;
    switch (c) {
        case '"': {
            std::string s;
            ++cur_;
            string_body<true>(&s);
            found = "string " + quoted(s);
            break;
        }
        case 't': literal("true"); found = "boolean `true`"; break;
        case 'f': literal("false"); found = "boolean `false`"; break;
        case 'n': literal("null"); found = "null"; break;
        case '[': fail_at(cur_, "invalid type: sequence, expected " + std::string(expected));
        case '{': fail_at(cur_, "invalid type: map, expected " + std::string(expected));
        case -1: fail("EOF while parsing a value");
        default: {
            if (c != '-' && !is_digit(c)) fail_at(cur_, "expected value");
            const Number n = scan_number();
            found = n.integer ? "integer `" + std::string(n.text) + "`" : "floating point `" + float_text(n) + "`";
        }
    }
    fail("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace wexo::json
