// Model files: one field list per record drives both the exact writer and the strict reader.
#include "io/model_file.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <type_traits>

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

void write_value(json::Writer& w, const std::string& s) { w.string(s); }
void write_value(json::Writer& w, std::uint64_t v) { w.u64(v); }
void write_value(json::Writer& w, float v) { w.f32(v); }

// {"v":1,"dim":[...],"data":[...]} for a matrix or a vector
void write_array(json::Writer& w, std::initializer_list<std::uint64_t> dim, const Vector& data) {
    w.raw("{\"v\":1,\"dim\":[");
    bool first = true;
    for (const std::uint64_t d : dim) {
        if (!first) w.raw(",");
        w.u64(d);
        first = false;
    }
    w.raw("],\"data\":[");
    w.f32_list(data.data(), data.size());
    w.raw("]}");
}

void write_value(json::Writer& w, const Matrix& m) { write_array(w, {m.n_rows, m.n_cols}, m.values); }
void write_value(json::Writer& w, const Vector& v) { write_array(w, {v.size()}, v); }

template <class Record>
void write_record(json::Writer& w, const Record& r);

void write_value(json::Writer& w, const std::vector<Layer>& layers) {
    w.raw("[");
    for (std::size_t i = 0; i < layers.size(); ++i) {
        if (i > 0) w.raw(",");
        write_record(w, layers[i]);
    }
    w.raw("]");
}

template <class Record>
void write_record(json::Writer& w, const Record& r) {
    bool first = true;
    for_each_field(r, [&](std::string_view key, const auto& field) {
        w.raw(first ? "{\"" : ",\"");
        w.raw(key);
        w.raw("\":");
        write_value(w, field);
        first = false;
    });
    w.raw("}");
}

template <class Model>
void write_file(const Model& m, const std::string& path) {
    file::Replacement out(path, kLabel);
    {
        json::Writer w(out);
        write_record(w, m);
        w.finish();
    }
    out.commit();
}

template <class Model>
std::string to_text(const Model& m) {
    std::string out;
    json::Writer w(out);
    write_record(w, m);
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

std::string to_json(const LinearModel& model) { return to_text(model); }
std::string to_json(const CategoricalModel& model) { return to_text(model); }

LinearModel read_linear(const std::string& path) { return read_file<LinearModel>(path); }
CategoricalModel read_categorical(const std::string& path) { return read_file<CategoricalModel>(path); }

LinearModel parse_linear(std::string_view json, std::size_t chunk) { return parse_text<LinearModel>(json, chunk); }
CategoricalModel parse_categorical(std::string_view json, std::size_t chunk) {
    return parse_text<CategoricalModel>(json, chunk);
}

}  // namespace wexo::model_file
