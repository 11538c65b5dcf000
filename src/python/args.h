// Argument binding for every module function: one driver, told what to do by the text signature and by the
// parameter types of the function it calls.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <type_traits>
#include <utility>

#include "python/arrays.h"
#include "python/boundary.h"
#include "python/types.h"

namespace wexo::python {

// A string literal usable as a template argument, e.g. Text{"f(a, b=None)"}.
template <std::size_t N>
struct Text {
    char chars[N]{};
    constexpr Text(const char (&s)[N]) { std::copy_n(s, N, chars); }
};

inline constexpr std::size_t kMaxParams = 8;

// What binding needs to know of one function, read from its text signature.
struct Signature {
    const char* function = nullptr;  // NUL-terminated name, for messages
    std::array<std::string_view, kMaxParams> params{};
    std::array<bool, kMaxParams> optional{};  // written "=None": may be omitted, and None counts as omitted
    std::size_t n_params = 0;
};

// Plain index loops: GCC's sanitizer builds cannot evaluate string_view searches on template argument
// objects at compile time.
consteval std::size_t find_char(const char* text, std::size_t from, std::size_t n, char c) {
    while (from < n && text[from] != c) ++from;
    return from;
}

consteval Signature parse_signature(const char* text, std::size_t n, const char* function) {
    constexpr char kNone[] = "=None";
    constexpr std::size_t kNoneSize = sizeof(kNone) - 1;
    Signature sig;
    sig.function = function;
    std::size_t begin = find_char(text, 0, n, '(') + 1;
    const std::size_t close = find_char(text, begin, n, ')');
    while (begin < close) {
        const std::size_t end = find_char(text, begin, close, ',');
        std::size_t size = end - begin;
        bool optional = size >= kNoneSize;
        for (std::size_t i = 0; optional && i < kNoneSize; ++i) optional = text[end - kNoneSize + i] == kNone[i];
        if (optional) size -= kNoneSize;
        if (sig.n_params == kMaxParams) throw "too many parameters";
        sig.params[sig.n_params] = std::string_view(text + begin, size);
        sig.optional[sig.n_params] = optional;
        ++sig.n_params;
        begin = end + 2;  // past ", "
    }
    return sig;
}

// "name(...)" -> "name" and "name(...)\n--\n\n", NUL-terminated, as PyMethodDef wants them.
template <Text Sig>
inline constexpr auto kFunctionName = [] {
    std::array<char, sizeof(Sig.chars)> name{};
    for (std::size_t i = 0; Sig.chars[i] != '('; ++i) name[i] = Sig.chars[i];
    return name;
}();
template <Text Sig>
inline constexpr auto kFunctionDoc = [] {
    constexpr char kTail[] = "\n--\n\n";
    std::array<char, sizeof(Sig.chars) + sizeof(kTail) - 1> doc{};
    std::size_t n = 0;
    for (std::size_t i = 0; i + 1 < sizeof(Sig.chars); ++i) doc[n++] = Sig.chars[i];
    for (std::size_t i = 0; i + 1 < sizeof(kTail); ++i) doc[n++] = kTail[i];
    return doc;
}();
template <Text Sig>
inline constexpr Signature kSignature = parse_signature(Sig.chars, sizeof(Sig.chars) - 1, kFunctionName<Sig>.data());

// Places positional and keyword arguments into slots, borrowed; nullptr where absent, and where an optional
// parameter got None. Raises CPython's usual TypeError and throws PyErrorSet when they do not fit.
void bind_arguments(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** slots);

// Turns a pending TypeError (exactly that type) into "argument '<name>': <message>", keeping its cause;
// leaves any other exception alone.
void prefix_type_error(std::string_view name) noexcept;

// Conversions: each returns false with a Python exception set.
bool convert(PyObject* o, std::string& out);    // str only, as UTF-8
bool convert(PyObject* o, float& out);          // anything float() takes, rounded to float32
bool convert(PyObject* o, std::uint64_t& out);  // __index__ only
bool convert(PyObject* o, std::uint16_t& out);  // __index__ only, 0 to 65535

// A model or optimizer argument becomes a copy of its record: functions never change the one passed in.
template <class R>
    requires std::is_same_v<R, LinearModel> || std::is_same_v<R, CategoricalModel> ||
             std::is_same_v<R, DynamicOptimizer>
bool convert(PyObject* o, R& out) {
    const R* record = record_of<R>(o);
    if (!record) {
        raise_not_instance(o, record_name<R>());
        return false;
    }
    out = *record;
    return true;
}

template <class T>
bool convert(PyObject* o, std::optional<T>& out) {
    if (!o) return true;  // omitted or None
    return convert(o, out.emplace());
}

template <class T>
inline constexpr bool kIsOptional = false;
template <class T>
inline constexpr bool kIsOptional<std::optional<T>> = true;

template <class F>
struct Callable;
template <class Result_, class... Params>
struct Callable<Result_ (*)(Params...)> {
    using Result = Result_;
    using Values = std::tuple<std::decay_t<Params>...>;
};

// Converts the bound slots in signature order; the first failure ends the call.
template <const Signature& Sig, class Values, std::size_t... I>
void convert_all(PyObject* const* slots, Values& values, std::index_sequence<I...>) {
    static_assert(((Sig.optional[I] == kIsOptional<std::tuple_element_t<I, Values>>) && ...),
                  "\"=None\" parameters and std::optional parameters must coincide");
    auto one = [&](std::string_view name, PyObject* slot, auto& value) {
        if (!convert(slot, value)) {
            prefix_type_error(name);
            throw PyErrorSet{};
        }
    };
    (one(Sig.params[I], slots[I], std::get<I>(values)), ...);
}

// The METH_FASTCALL | METH_KEYWORDS entry point of a module function: bind, convert, call Body, wrap its
// result (a record becomes a new object, void becomes None).
template <Text Sig, auto Body>
PyObject* call(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
    using C = Callable<decltype(Body)>;
    using Values = typename C::Values;
    constexpr const Signature& sig = kSignature<Sig>;
    static_assert(sig.n_params == std::tuple_size_v<Values>, "signature and function disagree");
    return guarded([&]() -> PyObject* {
        std::array<PyObject*, kMaxParams> slots{};
        bind_arguments(sig, args, nargs, kwnames, slots.data());
        Values values;
        convert_all<kSignature<Sig>>(slots.data(), values, std::make_index_sequence<std::tuple_size_v<Values>>{});
        if constexpr (std::is_void_v<typename C::Result>) {
            std::apply(Body, std::move(values));
            Py_INCREF(Py_None);
            return Py_None;
        } else {
            return wrap(std::apply(Body, std::move(values))).release();
        }
    });
}

}  // namespace wexo::python
