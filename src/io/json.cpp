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

// The exponent part's magnitude is capped here: far past any digit count a file can hold, so the cap never
// changes which way a number rounds, and scale + exponent stays well inside 64 bits.
constexpr std::int64_t kMaxExponent = std::int64_t{1} << 56;

// The JSON number grammar, walked once over any byte source: In has int peek() (the byte in front, anything
// that is no part of a number at the end), void take() (consumes it) and void significant(int digit, index)
// (told of each significant digit). Returns false with in standing at the byte that breaks the grammar.
template <class In>
bool scan_grammar(In& in, Grammar& g) {
    const auto digit = [&](int c) {
        if (g.n_digits == 0 && c == '0') return;
        if (g.n_digits < 19) g.head = g.head * 10 + static_cast<unsigned>(c - '0');
        in.significant(c, g.n_digits++);
    };
    int c = in.peek();
    if (c == '-') {
        g.negative = true;
        in.take();
        c = in.peek();
    }
    if (c == '0') {
        in.take();
        if (is_digit(c = in.peek())) return false;
    } else if (c >= '1' && c <= '9') {
        do {
            in.take();
            digit(c);
        } while (is_digit(c = in.peek()));
    } else {
        return false;
    }
    if (c == '.') {
        g.integer = false;
        in.take();
        if (!is_digit(c = in.peek())) return false;
        do {
            in.take();
            digit(c);
            --g.scale;
        } while (is_digit(c = in.peek()));
    }
    if (c == 'e' || c == 'E') {
        g.integer = false;
        in.take();
        c = in.peek();
        const bool exponent_negative = c == '-';
        if (c == '+' || c == '-') {
            in.take();
            c = in.peek();
        }
        if (!is_digit(c)) return false;
        do {
            in.take();
            g.exponent = std::min<std::int64_t>(g.exponent * 10 + (c - '0'), kMaxExponent);
        } while (is_digit(c = in.peek()));
        if (exponent_negative) g.exponent = -g.exponent;
    }
    return true;
}

// A float without the general conversion when the decimal allows an exact shortcut: up to 19 significant
// digits forming D <= 2^53 and a power of ten 10^k, |k| <= 22, are both exact doubles, so D * 10^k (or
// D / 10^-k) is the correctly rounded double q of the decimal value x. Rounding q to float gives the float
// nearest x unless q is exactly halfway between two floats: any such midpoint strictly between x and q would
// be a double nearer x than q. false: the general conversion must decide.
bool exact_f32(const Grammar& g, float& out) {
    if (g.n_digits == 0) {
        out = g.negative ? -0.0f : 0.0f;
        return true;
    }
    const std::int64_t k = g.scale + g.exponent;
    if (g.n_digits > 19 || g.head > (std::uint64_t{1} << 53) || k < -22 || k > 22) return false;
    const auto w = static_cast<double>(g.head);
    const double q = k < 0 ? w / text::kPow10f64[static_cast<std::size_t>(-k)]
                           : w * text::kPow10f64[static_cast<std::size_t>(k)];
    std::uint64_t bits;
    std::memcpy(&bits, &q, sizeof bits);
    if ((bits & 0x1FFFFFFF) == 0x10000000) return false;  // q is a float midpoint
    const auto f = static_cast<float>(q);
    out = g.negative ? -f : f;
    return true;
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

// In place when the number lies whole in the bytes read and has at most kMaxDigits significant digits; byte by
// byte across reads otherwise, so that a number's text and value never depend on where a read ended.
Number Reader::scan_number() {
    if (static_cast<std::size_t>(end_ - cur_) < kFastNumber && !eof_) refill();
    struct InPlace {
        const char* p;
        int peek() const { return static_cast<unsigned char>(*p); }  // the NUL after the bytes read ends it
        void take() { ++p; }
        void significant(int, std::int64_t) {}
    } in{cur_};
    Grammar g;
    const bool ok = scan_grammar(in, g);
    // a number that reaches the end of the bytes read may go on in the next read
    if ((in.p == end_ && !eof_) || g.n_digits > static_cast<std::int64_t>(kMaxDigits)) return scan_number_slow();
    if (!ok) fail_at(in.p, "invalid number");
    const char* start = cur_;
    cur_ = const_cast<char*>(in.p);
    number_end_ = position(cur_);
    return {std::string_view(start, static_cast<std::size_t>(in.p - start)), g};
}

// Byte by byte across reads, keeping at most kMaxDigits significant digits: the text becomes
// [-]digits[e<exponent>], where a final 1 stands for any nonzero digits dropped.
Number Reader::scan_number_slow() {
    scratch_.clear();
    struct Streamed {
        Reader& r;
        bool sticky = false;
        int peek() { return r.peek_raw(); }  // -1 at the end of the input
        void take() { ++r.cur_; }
        void significant(int c, std::int64_t index) {
            if (index < static_cast<std::int64_t>(kMaxDigits))
                r.scratch_ += static_cast<char>(c);
            else
                sticky = sticky || c != '0';
        }
    } in{*this};
    if (peek_raw() == '-') scratch_ += '-';
    Grammar g;
    if (!scan_grammar(in, g)) fail_at(cur_, "invalid number");
    const std::int64_t n_kept = std::min<std::int64_t>(g.n_digits, static_cast<std::int64_t>(kMaxDigits));
    std::int64_t e = g.n_digits - n_kept + g.scale + g.exponent;  // value = kept digits * 10^e
    if (n_kept == 0) scratch_ += '0';
    if (in.sticky) {
        scratch_ += '1';
        --e;
    }
    if (e != 0 || !g.integer) {
        scratch_ += 'e';
        scratch_ += std::to_string(e);
    }
    number_end_ = position(cur_);
    return {scratch_, g};
}

float Reader::to_f32(const Number& n) {
    float v = 0;
    if (exact_f32(n.g, v)) [[likely]]
        return v;
    const auto r = std::from_chars(n.text.data(), n.text.data() + n.text.size(), v);
    if (r.ec == std::errc()) [[likely]]
        return v;
    // the conversion reports both ways out of range; only one of them has a float that is nearest
    if (n.g.below_one()) return n.g.negative ? -0.0f : 0.0f;
    fail("number out of range");
}

std::string Reader::float_text(const Number& n) {
    double v = 0;
    const auto r = std::from_chars(n.text.data(), n.text.data() + n.text.size(), v);
    if (r.ec != std::errc()) {
        if (!n.g.below_one()) fail("number out of range");
        v = n.g.negative ? -0.0 : 0.0;
    }
    std::string out;
    text::append_shortest_positional_f64(out, v);
    if (out.find('.') == std::string::npos) out += ".0";
    return out;
}

float Reader::read_f32() {
    const int c = peek();
    if (c != '-' && !is_digit(c)) fail_invalid_type("f32");
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
    if (!n.g.integer) fail("invalid type: floating point `" + float_text(n) + "`, expected " + std::string(expected));
    std::uint64_t v = 0;
    bool in_range = true;
    for (const char d : n.text.substr(n.g.negative ? 1 : 0)) {
        // a shortened integer (digits e exponent) is far past any 64-bit value
        if (!is_digit(d) || __builtin_mul_overflow(v, 10, &v) || __builtin_add_overflow(v, d - '0', &v)) {
            in_range = false;
            break;
        }
    }
    if (!in_range || v > max || (n.g.negative && v != 0))
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
            found = n.g.integer ? "integer `" + std::string(n.text) + "`" : "floating point `" + float_text(n) + "`";
        }
    }
    fail("invalid type: " + found + ", expected " + std::string(expected));
}

}  // namespace wexo::json
