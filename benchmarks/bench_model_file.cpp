// Times the model-file writer and reader on a linear model whose last batch is a big float32 array;
// benchmarks/bench_model_file.py runs it beside json and orjson on the same numbers.
//
//   bench_model_file write <raw float32 file> <rows> <cols> <out.json> [repeat]
//   bench_model_file read <file.json> [repeat]
//   bench_model_file format <raw float32 file> <rows> <cols> [repeat]
//   bench_model_file later <out.json> [rows 60000] [repeat 5]
//
// Prints one JSON object: best seconds of `repeat` runs, file bytes, and for reading the peak resident
// memory against the size of the loaded record. `format` splits the writer's cost: the same numbers formatted
// into memory only, and the shortest-digits search alone. `later` times what a training call's later writes
// cost without the training around them: a 784-128 relu-10 model whose first layer stores a rows x 784 batch
// (uniform in [0, 1)) and its pre-activation values, the second layer their relu, written through one session
// (the first write, then later ones that copy the batch's text), against the I/O floor: the same file's bytes from
// memory written to a temporary file beside out.json and renamed over out.json.floor, alternating with the writes.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "core/check.h"
#include "core/shortest.h"
#include "core/text.h"
#include "model/model_file.h"

namespace {

using wexo::CategoricalModel;
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

// A 784-128 relu-10 model as a training call leaves it on a rows x 784 batch.
CategoricalModel trained_looking(std::size_t rows) {
    std::mt19937 gen(1);
    std::uniform_real_distribution<float> uniform(0.0f, 1.0f);
    std::normal_distribution<float> normal(0.0f, 1.0f);
    const auto filled = [&](std::size_t r, std::size_t c, bool is_normal) {
        Matrix m(r, c);
        for (float& v : m.values) v = is_normal ? normal(gen) : uniform(gen);
        return m;
    };
    CategoricalModel m;
    for (const auto& [n_in, n_out] : {std::pair<std::size_t, std::size_t>{784, 128}, {128, 10}}) {
        Layer l;
        l.layer_type = "dense";
        l.n_inputs = n_in;
        l.n_neurons = n_out;
        l.weights = filled(n_in, n_out, true);
        l.dweights = filled(n_in, n_out, true);
        l.weight_momentums = filled(n_in, n_out, true);
        l.weight_cache = filled(n_in, n_out, false);
        l.biases.assign(n_out, 0.5f);
        l.dbiases = l.bias_momentums = l.bias_cache = l.biases;
        m.layers.push_back(std::move(l));
    }
    m.layers[0].activation_type = "relu";
    m.layers[0].inputs = filled(rows, 784, false);
    m.layers[0].activation_inputs = filled(rows, 128, true);
    m.layers[1].inputs = m.layers[0].activation_inputs;
    for (float& v : m.layers[1].inputs.values) v = v > 0.0f ? v : 0.0f;
    return m;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// bytes written to a temporary file beside target, then renamed over it.
void replace_with(const std::string& target, const std::string& bytes) {
    const std::string tmp = target + ".tmp";
    const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    WEXO_CHECK(fd >= 0, "cannot create " + tmp);
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::write(fd, bytes.data() + at, bytes.size() - at);
        WEXO_CHECK(n > 0, "cannot write " + tmp);
        at += static_cast<std::size_t>(n);
    }
    WEXO_CHECK(::close(fd) == 0 && ::rename(tmp.c_str(), target.c_str()) == 0, "cannot replace " + target);
}

int later(const std::string& out, std::size_t rows, int repeat) {
    CategoricalModel m = trained_looking(rows);
    wexo::model_file::WriteSession session({m.layers[0].inputs});
    auto start = std::chrono::steady_clock::now();
    wexo::model_file::write(m, out, session);
    const double first = seconds_since(start);
    const std::string bytes = slurp(out);
    const std::string floor_target = out + ".floor";
    replace_with(floor_target, bytes);  // so that every timed floor replaces a file of the same size
    double best = 1e30, best_floor = 1e30;
    for (int i = 0; i < repeat; ++i) {
        m.layers[0].weights.values[0] += 1.0f;  // a new file each time, as after an epoch
        start = std::chrono::steady_clock::now();
        wexo::model_file::write(m, out, session);
        best = std::min(best, seconds_since(start));
        WEXO_CHECK(session.reused_bytes > 0, "a later write did not reuse the batch's text");
        start = std::chrono::steady_clock::now();
        replace_with(floor_target, bytes);
        best_floor = std::min(best_floor, seconds_since(start));
    }
    std::remove(floor_target.c_str());
    std::printf("{\"first_seconds\": %.6f, \"later_seconds\": %.6f, \"floor_seconds\": %.6f, "
                "\"later_over_floor\": %.3f, \"bytes\": %zu}\n",
                first, best, best_floor, best / best_floor, bytes.size());
    return 0;
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
    if (mode == "later" && argc >= 3)
        return later(argv[2], argc > 3 ? std::stoul(argv[3]) : 60000, argc > 4 ? std::atoi(argv[4]) : 5);
    std::fprintf(stderr,
                 "usage: %s write RAW ROWS COLS OUT [REPEAT] | read FILE [REPEAT] | format RAW ROWS COLS [REPEAT] | "
                 "later OUT [ROWS] [REPEAT]\n",
                 argv[0]);
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
