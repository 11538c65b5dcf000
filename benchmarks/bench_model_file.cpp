// Times the model-file writer and reader on a linear model whose last batch is a big float32 array;
// benchmarks/bench_model_file.py runs it beside json and orjson on the same numbers.
//
//   bench_model_file write <raw float32 file> <rows> <cols> <out.json> [repeat]
//   bench_model_file read <file.json> [repeat]
//   bench_model_file format <raw float32 file> <rows> <cols> [repeat]
//
// Prints one JSON object: best seconds of `repeat` runs, file bytes, and for reading the peak resident
// memory against the size of the loaded record. `format` splits the writer's cost: the same numbers formatted
// into memory only, and the shortest-digits search alone.
#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "core/check.h"
#include "core/shortest.h"
#include "core/text.h"
#include "model/model_file.h"

namespace {

using wexo::Layer;
using wexo::LinearModel;
using wexo::Matrix;

double seconds_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// VmHWM of /proc/self/status: the peak resident size since start or since reset_peak_rss().
long peak_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

// Start the peak over at the current size, so that startup (libraries, their buffers) does not hide it.
void reset_peak_rss() { std::ofstream("/proc/self/clear_refs") << "5"; }

long current_rss_kib() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return -1;
}

std::size_t file_bytes(const std::string& path) {
    struct stat st{};
    return stat(path.c_str(), &st) == 0 ? static_cast<std::size_t>(st.st_size) : 0;
}

std::size_t record_bytes(const LinearModel& m) {
    std::size_t n = 0;
    for (const Layer& l : m.layers) {
        for (const Matrix* x : {&l.weights, &l.inputs, &l.activation_inputs, &l.dweights, &l.weight_momentums,
                                &l.weight_cache, &l.binary_mask})
            n += x->values.capacity();
        n += l.biases.capacity() + l.dbiases.capacity() + l.bias_momentums.capacity() + l.bias_cache.capacity();
    }
    return n * sizeof(float);
}

// A trained-looking 100-input, 1-output dense layer whose stored input batch holds the given numbers.
LinearModel model_with_inputs(const std::string& raw_path, std::size_t rows, std::size_t cols) {
    Layer l;
    l.layer_type = "dense";
    l.activation_type = "relu";
    l.inputs = Matrix(rows, cols);
    std::ifstream in(raw_path, std::ios::binary);
    in.read(reinterpret_cast<char*>(l.inputs.values.data()),
            static_cast<std::streamsize>(l.inputs.values.size() * sizeof(float)));
    WEXO_CHECK(in.gcount() == static_cast<std::streamsize>(l.inputs.values.size() * sizeof(float)),
               "raw input file is shorter than rows * cols floats");
    l.n_inputs = cols;
    l.n_neurons = 1;
    l.weights = Matrix(cols, 1);
    for (std::size_t i = 0; i < cols; ++i) l.weights.values[i] = l.inputs.values[i] * 0.01f;
    l.biases = {0.5f};
    l.dweights = l.weights;
    l.dbiases = {-0.25f};
    LinearModel m;
    m.layers.push_back(std::move(l));
    m.save_best_params = "bench.json";
    return m;
}

int run(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "write" && argc >= 6) {
        const LinearModel m = model_with_inputs(argv[2], std::stoul(argv[3]), std::stoul(argv[4]));
        const int repeat = argc > 6 ? std::atoi(argv[6]) : 3;
        double best = 1e30;
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            wexo::model_file::write(m, argv[5]);
            best = std::min(best, seconds_since(start));
        }
        std::printf("{\"seconds\": %.6f, \"bytes\": %zu}\n", best, file_bytes(argv[5]));
        return 0;
    }
    if (mode == "format" && argc >= 5) {
        const LinearModel m = model_with_inputs(argv[2], std::stoul(argv[3]), std::stoul(argv[4]));
        const int repeat = argc > 5 ? std::atoi(argv[5]) : 3;
        const wexo::Vector& v = m.layers[0].inputs.values;
        constexpr std::size_t kBlock = 8192;
        std::vector<char> buf(kBlock * (wexo::text::kMaxJsonFloat + 1));
        double best = 1e30, best_digits = -1;
        std::size_t bytes = 0, check = 0;
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            bytes = 0;
            for (std::size_t at = 0; at < v.size(); at += kBlock) {
                const std::size_t n = std::min(kBlock, v.size() - at);
                bytes += static_cast<std::size_t>(wexo::text::write_json_float_list(buf.data(), v.data() + at, n) -
                                                  buf.data()) + 1;
            }
            best = std::min(best, seconds_since(start));
        }
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            for (const float x : v) {
                if (x == 0 || !std::isfinite(x)) continue;
                const wexo::text::Decimal d = wexo::text::shortest_f32(x);
                check += d.significand + static_cast<unsigned>(d.exponent);
            }
            const double t = seconds_since(start);
            best_digits = best_digits < 0 ? t : std::min(best_digits, t);
        }
        std::printf("{\"seconds\": %.6f, \"bytes\": %zu, \"digits_seconds\": %.6f, \"check\": %zu}\n", best, bytes,
                    best_digits, check);
        return 0;
    }
    if (mode == "read" && argc >= 3) {
        const int repeat = argc > 3 ? std::atoi(argv[3]) : 3;
        reset_peak_rss();
        const long rss_before = current_rss_kib();
        double best = 1e30;
        std::size_t record = 0;
        for (int i = 0; i < repeat; ++i) {
            const auto start = std::chrono::steady_clock::now();
            const LinearModel m = wexo::model_file::read_linear(argv[2]);
            best = std::min(best, seconds_since(start));
            record = record_bytes(m);
        }
        std::printf("{\"seconds\": %.6f, \"bytes\": %zu, \"rss_before_kib\": %ld, \"rss_peak_kib\": %ld, "
                    "\"record_bytes\": %zu}\n",
                    best, file_bytes(argv[2]), rss_before, peak_rss_kib(), record);
        return 0;
    }
    std::fprintf(stderr, "usage: %s write RAW ROWS COLS OUT [REPEAT] | read FILE [REPEAT] | format RAW ROWS COLS [REPEAT]\n", argv[0]);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const wexo::Abort& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
