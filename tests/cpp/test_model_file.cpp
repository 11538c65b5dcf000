// Model files: the exact bytes written, the round trip, every reading rule and message, the atomic
// replacement of the file, and the JSONTestSuite corpus through the reader.
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <thread>

#include "core/check.h"
#include "io/file.h"
#include "io/json.h"
#include "model/model_file.h"
#include "support.h"

using wexo::test_support::bits;
using wexo::test_support::kNaN;
using wexo::test_support::matrix;

namespace mf = wexo::model_file;
using wexo::Abort;
using wexo::CategoricalModel;
using wexo::Layer;
using wexo::LinearModel;
using wexo::Matrix;

using wexo::test_support::abort_message;

namespace {

constexpr std::size_t kChunks[] = {1, 5, 4096, 1 << 16};

// The example model: one dense layer of two inputs and one neuron after a forward pass over [1, 2].
LinearModel example_model() {
    Layer l;
    l.layer_type = "dense";
    l.n_inputs = 2;
    l.n_neurons = 1;
    l.weights = matrix(2, 1, {0.013f, -0.0071f});
    l.biases = {0.5f};
    l.inputs = matrix(1, 2, {1.0f, 2.0f});
    l.dweights = matrix(2, 1, {-0.25f, -0.5f});
    l.dbiases = {-0.25f};
    l.weight_momentums = matrix(2, 1, {0.0f, 0.0f});
    l.weight_cache = matrix(2, 1, {0.0f, 0.0f});
    l.bias_momentums = {0.0f};
    l.bias_cache = {0.0f};
    LinearModel m;
    m.layers.push_back(l);
    m.save_best_params = "best.json";
    return m;
}

constexpr const char* kExampleFile =
    R"({"layers":[{"layer_type":"dense","activation_type":"","n_inputs":2,"n_neurons":1,"weights":{"v":1,"dim":[2,1],"data":[0.013,-0.0071]},"biases":{"v":1,"dim":[1],"data":[0.5]},"weight_regularizer_l1":0.0,"weight_regularizer_l2":0.0,"bias_regularizer_l1":0.0,"bias_regularizer_l2":0.0,"inputs":{"v":1,"dim":[1,2],"data":[1.0,2.0]},"activation_inputs":{"v":1,"dim":[0,0],"data":[]},"dweights":{"v":1,"dim":[2,1],"data":[-0.25,-0.5]},"dbiases":{"v":1,"dim":[1],"data":[-0.25]},"weight_momentums":{"v":1,"dim":[2,1],"data":[0.0,0.0]},"weight_cache":{"v":1,"dim":[2,1],"data":[0.0,0.0]},"bias_momentums":{"v":1,"dim":[1],"data":[0.0]},"bias_cache":{"v":1,"dim":[1],"data":[0.0]},"dropout_rate":0.0,"binary_mask":{"v":1,"dim":[0,0],"data":[]}}],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1.0,"save_best_params":"best.json"})";

// Everything a trained model can hold: odd shapes, every float class, escaped and non-ASCII texts.
template <class Model>
Model rich_model() {
    std::mt19937 gen(99);
    const auto random_matrix = [&](std::size_t r, std::size_t c) {
        Matrix m(r, c);
        for (float& v : m.values) {
            std::uint32_t bits = static_cast<std::uint32_t>(gen());
            std::memcpy(&v, &bits, sizeof v);
            if (!std::isfinite(v)) v = 1.5e-7f;
        }
        return m;
    };
    Model m;
    for (int i = 0; i < 3; ++i) {
        Layer l;
        l.layer_type = i == 1 ? "dropout" : "dense";
        l.activation_type = i == 0 ? "relu" : "";
        l.n_inputs = 3 + i;
        l.n_neurons = 18446744073709551615ULL;
        l.weights = random_matrix(3 + i, 2);
        l.biases = {-0.0f, 1e-45f, 3.4028235e38f};
        l.weight_regularizer_l1 = 5e-4f;
        l.bias_regularizer_l2 = -2.5f;
        l.inputs = random_matrix(0, 5);
        l.activation_inputs = random_matrix(4, 1);
        l.dropout_rate = 0.9f;
        l.binary_mask = matrix(2, 2, {0.0f, 1.25f, 1.25f, 0.0f});
        m.layers.push_back(l);
    }
    m.output_type = "out \"quoted\" \\ \t\n\x01\x1f";
    m.loss_type = "caf\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80";
    m.acc_type = "";
    m.save_best_params = "dir/best.json";
    return m;
}


std::string parse_error(std::string_view text) {
    return abort_message([&] { mf::parse_linear(text); });
}

// A valid linear-model document with `layer` as its only layer.
std::string with_layer(const std::string& layer) {
    return R"({"layers":[)" + layer +
           R"(],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1.0,"save_best_params":""})";
}

const std::string kEmpty2 = R"({"v":1,"dim":[0,0],"data":[]})";
const std::string kEmpty1 = R"({"v":1,"dim":[0],"data":[]})";

// A layer whose `weights` value is the given text and every other field empty.
std::string layer_with_weights(const std::string& weights) {
    return R"({"layer_type":"dense","activation_type":"","n_inputs":0,"n_neurons":0,"weights":)" + weights +
           R"(,"biases":)" + kEmpty1 +
           R"(,"weight_regularizer_l1":0.0,"weight_regularizer_l2":0.0,"bias_regularizer_l1":0.0,"bias_regularizer_l2":0.0,"inputs":)" +
           kEmpty2 + R"(,"activation_inputs":)" + kEmpty2 + R"(,"dweights":)" + kEmpty2 + R"(,"dbiases":)" + kEmpty1 +
           R"(,"weight_momentums":)" + kEmpty2 + R"(,"weight_cache":)" + kEmpty2 + R"(,"bias_momentums":)" + kEmpty1 +
           R"(,"bias_cache":)" + kEmpty1 + R"(,"dropout_rate":0.0,"binary_mask":)" + kEmpty2 + "}";
}

std::string message_of(const std::string& error) {  // the text inside Error("...", ...)
    const std::size_t start = error.find("Error(\"");
    const std::size_t end = error.rfind("\", line: ");
    if (start == std::string::npos || end == std::string::npos) return "no Error(...): " + error;
    return error.substr(start + 7, end - start - 7);
}

// ---- files

class TempDir {
public:
    TempDir() {
        char tmpl[] = "/tmp/wexo_model_file_XXXXXX";
        path_ = ::mkdtemp(tmpl);
    }
    ~TempDir() { std::system(("rm -rf '" + path_ + "'").c_str()); }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }
    const std::string& path() const { return path_; }
    std::set<std::string> entries() const {
        std::set<std::string> names;
        if (DIR* d = ::opendir(path_.c_str())) {
            while (const dirent* e = ::readdir(d))
                if (std::string(e->d_name) != "." && std::string(e->d_name) != "..") names.insert(e->d_name);
            ::closedir(d);
        }
        return names;
    }

private:
    std::string path_;
};

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

void put(const std::string& path, const std::string& content) { std::ofstream(path, std::ios::binary) << content; }

mode_t mode_of(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 ? st.st_mode & 07777 : 0;
}

}  // namespace

// ---- writing

TEST(ModelFileWriter, ExampleModelGivesTheDocumentedBytes) { EXPECT_EQ(mf::to_json(example_model()), kExampleFile); }

TEST(ModelFileWriter, CategoricalModelHasFiveKeysAndEmptyParts) {
    CategoricalModel m;
    EXPECT_EQ(mf::to_json(m),
              R"({"layers":[],"output_type":"softmax","loss_type":"categorical_crossentropy","acc_type":"categorical","save_best_params":""})");
    Layer l;
    l.inputs = Matrix(0, 5);
    l.dropout_rate = std::numeric_limits<float>::quiet_NaN();
    m.layers.push_back(l);
    const std::string text = mf::to_json(m);
    EXPECT_NE(text.find(R"("inputs":{"v":1,"dim":[0,5],"data":[]})"), std::string::npos);
    EXPECT_NE(text.find(R"("dropout_rate":null)"), std::string::npos);
    // a not-a-number cannot come back
    EXPECT_EQ(message_of(abort_message([&] { mf::parse_categorical(text); })), "invalid type: null, expected f32");
}

TEST(ModelFileWriter, WriteReadWriteGivesTheSameBytes) {
    const LinearModel linear = rich_model<LinearModel>();
    const CategoricalModel categorical = rich_model<CategoricalModel>();
    const std::string linear_text = mf::to_json(linear);
    const std::string categorical_text = mf::to_json(categorical);
    EXPECT_NE(linear_text.find(R"("output_type":"out \"quoted\" \\ \t\n\u0001\u001f")"), std::string::npos);
    for (const std::size_t chunk : kChunks) {
        const LinearModel l = mf::parse_linear(linear_text, chunk);
        EXPECT_EQ(l, linear) << chunk;
        EXPECT_EQ(mf::to_json(l), linear_text) << chunk;
        const CategoricalModel c = mf::parse_categorical(categorical_text, chunk);
        EXPECT_EQ(c, categorical) << chunk;
        EXPECT_EQ(mf::to_json(c), categorical_text) << chunk;
    }
    TempDir dir;
    mf::write(linear, dir / "m.json");
    EXPECT_EQ(slurp(dir / "m.json"), linear_text);
    EXPECT_EQ(mf::read_linear(dir / "m.json"), linear);
    mf::write(categorical, dir / "c.json");
    EXPECT_EQ(mf::read_categorical(dir / "c.json"), categorical);
}

// ---- reading what a file may hold besides the writer's own layout

TEST(ModelFileReader, AcceptsReorderedKeysWhitespaceUnknownKeysAndArrayForms) {
    const LinearModel expected = example_model();
    std::string spaced = "\n\t{ \"save_best_params\" : \"best.json\" ,\r\n \"extra\": {\"a\":[1,2,{\"b\":null}]},";
    spaced += std::string(kExampleFile).substr(1, std::string(kExampleFile).find(",\"save_best_params\"") - 1);
    spaced += "  }  \n";
    EXPECT_EQ(mf::parse_linear(spaced), expected);

    // unknown layer keys, keys of a layer reordered, integers for floats, array forms
    std::string layer = R"({"unknown":[[[]]],"n_neurons":1,"layer_type":"dense","activation_type":"","n_inputs":2,)"
                        R"("weights":[1,[2,1],[0.013,-0.0071]],"biases":{"data":[0.5],"dim":[1],"v":1},)"
                        R"("weight_regularizer_l1":0,"weight_regularizer_l2":0,"bias_regularizer_l1":-0,)"
                        R"("bias_regularizer_l2":0e5,"inputs":{"v":1,"dim":[1,2],"data":[1,2e0]},)"
                        R"("activation_inputs":{"v":1,"dim":[0,0],"data":[]},"dweights":{"v":1,"dim":[2,1],)"
                        R"("data":[-0.25,-0.5]},"dbiases":{"v":1,"dim":[1],"data":[-0.25]},"weight_momentums":)"
                        R"({"v":1,"dim":[2,1],"data":[0,0]},"weight_cache":{"v":1,"dim":[2,1],"data":[0,0]},)"
                        R"("bias_momentums":{"v":1,"dim":[1],"data":[0]},"bias_cache":{"v":1,"dim":[1],"data":[0]},)"
                        R"("dropout_rate":0,"binary_mask":{"v":1,"dim":[0,0],"data":[]},"more":"x"})";
    const std::string doc = R"({"layers":[)" + layer +
                            R"(],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear",)"
                            R"("acc_precision":1,"save_best_params":"best.json"})";
    EXPECT_EQ(mf::parse_linear(doc), expected);
    EXPECT_EQ(mf::parse_linear(R"([[],"linear","mean_squared_error","linear",1.0,"p"])").save_best_params, "p");
    EXPECT_EQ(mf::parse_categorical(R"([[],"a","b","c","p"])").acc_type, "c");
    // a repeated array key replaces the earlier value
    const LinearModel m = mf::parse_linear(with_layer(layer_with_weights(R"({"v":1,"dim":[9,9],"data":[7],"dim":[1,1]})")));
    EXPECT_EQ(m.layers[0].weights, matrix(1, 1, {7.0f}));
}

TEST(ModelFileReader, RejectsWithTheMessageOfEachRule) {
    const std::string model_tail =
        R"("output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1.0,"save_best_params":""})";
    const struct {
        std::string json;
        const char* message;
    } cases[] = {
        {R"({"layers":[]})", "missing field `output_type`"},
        {R"({"layers":[],"layers":[],)" + model_tail, "duplicate field `layers`"},
        {R"([[],"linear"])", "invalid length 2, expected struct LinearModel with 6 elements"},
        {R"([[],"linear","mean_squared_error","linear",1.0,"",7])", "trailing characters"},
        {R"({"layers":[[]],)" + model_tail, "invalid length 0, expected struct Layer with 20 elements"},
        {R"({"layers":[{}],)" + model_tail, "missing field `layer_type`"},
        {R"({"layers":{},)" + model_tail, "invalid type: map, expected a sequence"},
        {R"({"layers":[],"output_type":5,)" + model_tail.substr(23), "invalid type: integer `5`, expected a string"},
        {R"({"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":"x","save_best_params":""})",
         "invalid type: string \"x\", expected f32"},
        {R"({"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":null,"save_best_params":""})",
         "invalid type: null, expected f32"},
        {R"({"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1e39,"save_best_params":""})",
         "number out of range"},
        {"\"model\"", "invalid type: string \"model\", expected struct LinearModel"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[0,0],"data":[],"x":1})")),
         "unknown field `x`, expected one of `v`, `dim`, `data`"},
        {with_layer(layer_with_weights(R"({"dim":[0,0],"data":[]})")), "missing field `v`"},
        {with_layer(layer_with_weights(R"({"v":1,"data":[]})")), "missing field `dim`"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[0,0]})")), "missing field `data`"},
        {with_layer(layer_with_weights(R"({"v":2,"dim":[0,0],"data":[]})")), "unknown array version: 2"},
        {with_layer(layer_with_weights(R"({"v":2,"x":1})")), "unknown array version: 2"},  // checked when read
        {with_layer(layer_with_weights(R"({"v":300,"dim":[0,0],"data":[]})")), "invalid value: integer `300`, expected u8"},
        {with_layer(layer_with_weights(R"({"v":-1,"dim":[0,0],"data":[]})")), "invalid value: integer `-1`, expected u8"},
        {with_layer(layer_with_weights(R"({"v":1.0,"dim":[0,0],"data":[]})")), "invalid type: floating point `1.0`, expected u8"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[2],"data":[1,2]})")), "invalid length 1, expected an array of length 2"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1,2,3],"data":[1,2]})")), "trailing characters"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1,2],"data":[1,2,3]})")), "data and dimension must match in size"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1,2],"data":[1]})")), "data and dimension must match in size"},
        // shapes whose product wraps around 64 bits, or that claim far more than the file holds
        {with_layer(layer_with_weights(R"({"v":1,"dim":[4294967296,4294967296],"data":[]})")),
         "data and dimension must match in size"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[18446744073709551615,18446744073709551615],"data":[1]})")),
         "data and dimension must match in size"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1000000000000,1000],"data":[1,2,3]})")),
         "data and dimension must match in size"},
        {with_layer(layer_with_weights(R"([1,[0,0]])")), "invalid length 2, expected an array object with 3 elements"},
        {with_layer(layer_with_weights(R"("w")")), "invalid type: string \"w\", expected an array object"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1,1],"data":[null]})")), "invalid type: null, expected f32"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[1.5,1],"data":[1]})")),
         "invalid type: floating point `1.5`, expected usize"},
        {with_layer(layer_with_weights(R"({"v":1,"dim":[-1,1],"data":[1]})")), "invalid value: integer `-1`, expected usize"},
        {with_layer(layer_with_weights(kEmpty2) + "x"), "expected `,` or `]`"},
        {std::string(kExampleFile) + " {}", "trailing characters"},
        {"{\"x\":" + std::string(128, '[') + std::string(128, ']') + "}", "recursion limit exceeded"},
    };
    for (const auto& c : cases) EXPECT_EQ(message_of(parse_error(c.json)), c.message) << c.json;
    // the same document parses once the fault is gone
    EXPECT_EQ(parse_error("{\"x\":" + std::string(127, '[') + std::string(127, ']') + ",\"layers\":[]," + model_tail), "");
    const std::string n_inputs_2 = with_layer(layer_with_weights(kEmpty2));
    EXPECT_EQ(parse_error(n_inputs_2), "");
}

TEST(ModelFileReader, PositionsCountLinesFromOneAndBytesReadOnTheLine) {
    EXPECT_EQ(parse_error(""), "Error(\"EOF while parsing a value\", line: 1, column: 0)");
    EXPECT_EQ(parse_error("{}"), "Error(\"missing field `layers`\", line: 1, column: 2)");
    // the byte that ended a number counts as read: here the line feed after 5
    EXPECT_EQ(parse_error("{\n  \"layers\": [],\n  \"output_type\": 5\n}"),
              "Error(\"invalid type: integer `5`, expected a string\", line: 4, column: 0)");
    EXPECT_EQ(parse_error("{\"layers\" []}"), "Error(\"expected `:`\", line: 1, column: 11)");
    EXPECT_EQ(parse_error("{\"layers\":[],}"), "Error(\"trailing comma\", line: 1, column: 14)");
    EXPECT_EQ(parse_error("{\"layers\":[],\"layers\":"), "Error(\"duplicate field `layers`\", line: 1, column: 22)");
}

TEST(ModelFileReader, ErrorsFoundAfterANumberCountTheByteThatEndedIt) {
    const auto column_after = [](const std::string& text, const std::string& prefix) {
        EXPECT_EQ(text.compare(0, prefix.size(), prefix), 0);
        return ", line: 1, column: " + std::to_string(prefix.size()) + ")";
    };
    const std::string output_type = R"({"layers":[],"output_type":5,)";
    EXPECT_EQ(parse_error(output_type + R"("loss_type":"", "acc_type":""})"),
              "Error(\"invalid type: integer `5`, expected a string\"" + column_after(output_type, output_type));
    const struct {
        const char* weights;
        const char* message;
        const char* prefix;  // of the weights text, up to and including the byte after the number
    } cases[] = {
        {R"({"v":2,"dim":[0,0],"data":[]})", "unknown array version: 2", R"({"v":2,)"},
        {R"({"v":300 ,"dim":[0,0],"data":[]})", "invalid value: integer `300`, expected u8", R"({"v":300 )"},
        {R"({"v":1.0,"dim":[0,0],"data":[]})", "invalid type: floating point `1.0`, expected u8", R"({"v":1.0,)"},
        {R"({"v":1,"dim":[-1,1],"data":[1]})", "invalid value: integer `-1`, expected usize", R"({"v":1,"dim":[-1,)"},
        {R"({"v":1,"dim":[1,1.5],"data":[1]})", "invalid type: floating point `1.5`, expected usize",
         R"({"v":1,"dim":[1,1.5])"},
    };
    for (const auto& c : cases) {
        const std::string doc = with_layer(layer_with_weights(c.weights));
        const std::string prefix = doc.substr(0, doc.find(c.weights)) + c.prefix;
        EXPECT_EQ(parse_error(doc), "Error(\"" + std::string(c.message) + "\"" + column_after(doc, prefix)) << c.weights;
    }
}

// ---- files

TEST(ModelFileRead, OpenAndReadFailuresEndWithTheOsError) {
    TempDir dir;
    EXPECT_EQ(abort_message([&] { mf::read_linear(dir / "missing.json"); }),
              "cannot open model file '" + (dir / "missing.json") + "': "
              "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(abort_message([&] { mf::read_linear(dir.path()); }),
              "cannot read model file '" + dir.path() + "': "
              "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
    put(dir / "bad.json", "{}");
    EXPECT_EQ(abort_message([&] { mf::read_categorical(dir / "bad.json"); }),
              "cannot read model file '" + (dir / "bad.json") + "': Error(\"missing field `layers`\", line: 1, column: 2)");
    put(dir / "trailing.json", std::string(kExampleFile) + "\n x");
    EXPECT_EQ(abort_message([&] { mf::read_linear(dir / "trailing.json"); }),
              "cannot read model file '" + (dir / "trailing.json") +
                  "': Error(\"trailing characters\", line: 2, column: 2)");
}

TEST(ModelFileWrite, NewFileGetsTheUmaskedModeAndNoTemporaryFileStays) {
    TempDir dir;
    const mode_t old = ::umask(027);
    mf::write(example_model(), dir / "a.json");
    ::umask(077);
    mf::write(example_model(), dir / "b.json");
    ::umask(old);
    EXPECT_EQ(mode_of(dir / "a.json"), 0640u);
    EXPECT_EQ(mode_of(dir / "b.json"), 0600u);
    EXPECT_EQ(slurp(dir / "a.json"), kExampleFile);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"a.json", "b.json"}));
}

// A process killed between the two would leave nothing: the new content has no name in the directory until
// commit() gives it one and renames it over the target.
TEST(ModelFileWrite, TheNewFileHasNoNameUntilCommitted) {
    TempDir dir;
    put(dir / "m.json", "previous");
    {
        wexo::file::Replacement out(dir / "m.json", "model file");
        out.write("new ", 4);
        EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
        out.write("content", 7);
        out.commit();
    }
    EXPECT_EQ(slurp(dir / "m.json"), "new content");
    {
        wexo::file::Replacement out(dir / "m.json", "model file");
        out.write("abandoned", 9);  // destroyed without commit(), as after a failure
    }
    EXPECT_EQ(slurp(dir / "m.json"), "new content");
    EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
}

TEST(ModelFileWrite, ExistingFileIsReplacedAndKeepsItsMode) {
    TempDir dir;
    put(dir / "m.json", std::string(100000, 'x'));  // longer than the new content
    ::chmod((dir / "m.json").c_str(), 0604);
    mf::write(example_model(), dir / "m.json");
    EXPECT_EQ(slurp(dir / "m.json"), kExampleFile);
    EXPECT_EQ(mode_of(dir / "m.json"), 0604u);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
}

TEST(ModelFileWrite, SymlinkTargetIsReplacedAndTheLinkStays) {
    TempDir dir;
    ::mkdir((dir / "sub").c_str(), 0755);
    put(dir / "sub/real.json", "old");
    ASSERT_EQ(::symlink("sub/real.json", (dir / "link.json").c_str()), 0);
    ASSERT_EQ(::symlink("link.json", (dir / "link2.json").c_str()), 0);  // a chain of two
    mf::write(example_model(), dir / "link2.json");
    struct stat st;
    ASSERT_EQ(::lstat((dir / "link.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::lstat((dir / "link2.json").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(slurp(dir / "sub/real.json"), kExampleFile);
    // a dangling link gets its target created
    ASSERT_EQ(::symlink("new.json", (dir / "dangling.json").c_str()), 0);
    mf::write(example_model(), dir / "dangling.json");
    EXPECT_EQ(slurp(dir / "new.json"), kExampleFile);
    EXPECT_EQ(dir.entries(), (std::set<std::string>{"sub", "link.json", "link2.json", "dangling.json", "new.json"}));
}

TEST(ModelFileWrite, FailedWriteKeepsThePreviousFileWhole) {
    TempDir dir;
    mf::write(example_model(), dir / "m.json");
    LinearModel big = example_model();
    big.layers[0].inputs = Matrix(1000, 1000);
    // a file-size limit makes the write fail part-way, as a full disk would
    struct sigaction ignore {}, old_action {};
    ignore.sa_handler = SIG_IGN;
    ::sigaction(SIGXFSZ, &ignore, &old_action);
    rlimit old_limit{};
    ::getrlimit(RLIMIT_FSIZE, &old_limit);
    rlimit limit = old_limit;
    limit.rlim_cur = 100000;
    ::setrlimit(RLIMIT_FSIZE, &limit);
    const std::string error = abort_message([&] { mf::write(big, dir / "m.json"); });
    ::setrlimit(RLIMIT_FSIZE, &old_limit);
    ::sigaction(SIGXFSZ, &old_action, nullptr);
    EXPECT_EQ(error, "cannot write model file '" + (dir / "m.json") + "': "
                     "Os { code: 27, kind: FileTooLarge, message: \"File too large\" }");
    EXPECT_EQ(slurp(dir / "m.json"), kExampleFile);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
}

TEST(ModelFileWrite, OpenFailuresEndWithTheOsError) {
    TempDir dir;
    EXPECT_EQ(abort_message([&] { mf::write(example_model(), dir / "no/such/dir.json"); }),
              "cannot open model file '" + (dir / "no/such/dir.json") +
                  "' for writing: "
                  "Os { code: 2, kind: NotFound, message: \"No such file or directory\" }");
    EXPECT_EQ(abort_message([&] { mf::write(example_model(), dir.path()); }),
              "cannot open model file '" + dir.path() + "' for writing: "
                  "Os { code: 21, kind: IsADirectory, message: \"Is a directory\" }");
    EXPECT_EQ(dir.entries(), std::set<std::string>{});
}

TEST(ModelFileWrite, DeviceIsWrittenInPlaceAndItsErrorReported) {
    struct stat st;
    if (::stat("/dev/full", &st) != 0) GTEST_SKIP() << "no /dev/full";
    const std::string error = abort_message([] { mf::write(example_model(), "/dev/full"); });
    struct stat after;
    const bool still_device = ::lstat("/dev/full", &after) == 0 && S_ISCHR(after.st_mode);
    if (!still_device && ::geteuid() == 0) {  // a broken writer replaced it: put the device back
        ::unlink("/dev/full");
        ::mknod("/dev/full", S_IFCHR | 0666, ::makedev(1, 7));
        ::chmod("/dev/full", 0666);
    }
    EXPECT_TRUE(still_device);
    EXPECT_EQ(error, "cannot write model file '/dev/full': "
                     "Os { code: 28, kind: StorageFull, message: \"No space left on device\" }");
}

TEST(ModelFileWrite, PipeIsWrittenInPlace) {
    TempDir dir;
    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = slurp(fifo); });
    mf::write(example_model(), fifo);
    reader.join();
    EXPECT_EQ(received, kExampleFile);
    struct stat st;
    ASSERT_EQ(::lstat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    EXPECT_EQ(dir.entries(), std::set<std::string>{"fifo"});
}

// ---- the public JSON parsing corpus, each case as the value of an unknown model key

namespace {

std::string corpus_dir() {
    std::vector<std::string> candidates;
    if (const char* env = std::getenv("WEXO_JSONTESTSUITE")) candidates.emplace_back(env);
    candidates.emplace_back("../shared/data/jsontestsuite/test_parsing");  // from the repository root
    char exe[4096];
    const ssize_t n = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (n > 0) {  // <repo>/build/<dir>/wexo_cpp_tests
        std::string p(exe, static_cast<std::size_t>(n));
        for (int i = 0; i < 3; ++i) p = p.substr(0, p.rfind('/'));
        candidates.push_back(p.substr(0, p.rfind('/')) + "/shared/data/jsontestsuite/test_parsing");
    }
    for (const std::string& c : candidates) {
        struct stat st;
        if (::stat(c.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return c;
    }
    return "";
}

}  // namespace

TEST(ModelFileReader, JsonTestSuiteCasesAsUnknownValues) {
    const std::string dir = corpus_dir();
    if (dir.empty()) GTEST_SKIP() << "JSONTestSuite corpus not found (set WEXO_JSONTESTSUITE)";
    DIR* d = ::opendir(dir.c_str());
    ASSERT_NE(d, nullptr);
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 5 && name.substr(name.size() - 5) == ".json") names.push_back(name);
    }
    ::closedir(d);
    ASSERT_GT(names.size(), 100u);
    const std::string tail =
        R"(,"layers":[],"output_type":"linear","loss_type":"mean_squared_error","acc_type":"linear","acc_precision":1.0,"save_best_params":""})";
    int n_checked = 0;
    for (const std::string& name : names) {
        const std::string doc = "{\"unknown\":" + slurp(dir + "/" + name) + "\n" + tail;
        for (const std::size_t chunk : {std::size_t{1}, std::size_t{1} << 16}) {
            bool loaded = false;
            try {
                mf::parse_linear(doc, chunk);
                loaded = true;
            } catch (const Abort&) {
            }
            if (name[0] == 'y') {
                EXPECT_TRUE(loaded) << name << " should load";
            } else if (name[0] == 'n') {
                EXPECT_FALSE(loaded) << name << " should fail";
            }
        }
        ++n_checked;
    }
    EXPECT_EQ(n_checked, static_cast<int>(names.size()));
}

// ---- writes of one training call

namespace {

// A categorical model whose first layer stores x, with numbers of every layout (and a NaN, written as null).
CategoricalModel model_storing(const Matrix& x) {
    CategoricalModel m = rich_model<CategoricalModel>();
    m.layers[0].inputs = x;
    return m;
}

Matrix odd_numbers(std::size_t rows, std::size_t cols) {
    std::mt19937 gen(7);
    wexo::Vector v(rows * cols);
    for (float& f : v) f = std::bit_cast<float>(static_cast<std::uint32_t>(gen()));
    v[0] = kNaN;
    v[1] = -0.0f;
    v[2] = 1e-45f;
    return matrix(rows, cols, v);
}

}  // namespace

TEST(ModelFileSession, ConstantBatchIsCopiedFromThePreviousFileWithTheSameBytes) {
    TempDir dir;
    const Matrix x = odd_numbers(300, 40);
    const Matrix none;
    mf::WriteSession session({none, x});
    CategoricalModel m = model_storing(x);
    mf::write(m, dir / "m.json", session);
    EXPECT_EQ(session.reused_bytes, 0u);  // nothing to copy from yet
    EXPECT_EQ(slurp(dir / "m.json"), mf::to_json(m));
    std::string x_text;
    {
        wexo::json::Writer w(x_text);
        w.f32_list(x.values.data(), x.values.size());
        w.finish();
    }
    for (int i = 0; i < 3; ++i) {
        m.layers[0].weights.values[0] += 1.0f;  // what training changes between writes
        mf::write(m, dir / "m.json", session);
        EXPECT_EQ(session.reused_bytes, x_text.size());
        EXPECT_EQ(slurp(dir / "m.json"), mf::to_json(m));
    }
    // a stored batch that differs from x by one bit is formatted
    m.layers[0].inputs.values[5] = std::nextafter(m.layers[0].inputs.values[5], 0.0f);
    mf::write(m, dir / "m.json", session);
    EXPECT_EQ(session.reused_bytes, 0u);
    EXPECT_EQ(slurp(dir / "m.json"), mf::to_json(m));
    EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
}

// Whatever happened to the previous file after it was written, the new one has exactly the model's bytes: a
// changed file is not copied from, and a file replaced by someone else leaves the written one readable.
TEST(ModelFileSession, PreviousFileChangedOrReplacedStillGivesTheExactBytes) {
    TempDir dir;
    const Matrix x = odd_numbers(100, 30);
    mf::WriteSession session({x});
    CategoricalModel m = model_storing(x);
    const std::string path = dir / "m.json";
    const auto rewrite = [&] {
        m.layers[0].biases[0] += 1.0f;
        mf::write(m, path, session);
        return slurp(path) == mf::to_json(m);
    };
    mf::write(m, path, session);
    // the same size, one digit of x changed in place
    const std::string text = slurp(path);
    const std::size_t at = text.find("\"inputs\"") + 40;
    const int fd = ::open(path.c_str(), O_WRONLY);
    ASSERT_GE(fd, 0);
    const char digit = text[at] == '1' ? '2' : '1';
    ASSERT_EQ(::pwrite(fd, &digit, 1, static_cast<off_t>(at)), 1);
    ::close(fd);
    EXPECT_TRUE(rewrite());
    EXPECT_EQ(session.reused_bytes, 0u);
    // shortened
    ASSERT_EQ(::truncate(path.c_str(), 100), 0);
    EXPECT_TRUE(rewrite());
    EXPECT_EQ(session.reused_bytes, 0u);
    // another file of the same size renamed over it (which changes the written file's link count)
    EXPECT_TRUE(rewrite());
    EXPECT_GT(session.reused_bytes, 0u);
    put(dir / "other", slurp(path));
    ASSERT_EQ(::rename((dir / "other").c_str(), path.c_str()), 0);
    EXPECT_TRUE(rewrite());
    EXPECT_TRUE(rewrite());
    EXPECT_GT(session.reused_bytes, 0u);
    EXPECT_EQ(dir.entries(), std::set<std::string>{"m.json"});
}

TEST(ModelFileSession, DeviceIsWrittenInPlaceWithoutCopying) {
    const Matrix x = odd_numbers(10, 10);
    mf::WriteSession session({x});
    const CategoricalModel m = model_storing(x);
    for (int i = 0; i < 2; ++i) {
        mf::write(m, "/dev/null", session);
        EXPECT_EQ(session.reused_bytes, 0u);
    }
}

// A layer's stored inputs repeat most floats of the pre-activation matrix of the layer below (relu keeps the
// positive ones and NaN). A write reads their text back from the new file across its read buffers, formats the
// rest, and gives exactly the bytes formatting everything gives; a pipe, which cannot be read back, gets every
// number formatted.
TEST(ModelFileSession, InputsRepeatingTheLayerBelowAreReadBackWithTheSameBytes) {
    TempDir dir;
    const Matrix pre = odd_numbers(700, 50);  // about 0.5 MB of text: several read buffers
    Matrix relu = pre;
    for (float& v : relu.values)
        if (!(v > 0.0f) && !std::isnan(v)) v = 0.0f;
    relu.values[3] = std::nextafter(relu.values[3], 1e30f);  // differs in the last bit only
    CategoricalModel m = rich_model<CategoricalModel>();
    m.layers[0].activation_inputs = pre;
    m.layers[1].inputs = relu;
    m.layers[2].inputs = relu;  // the layer below it stores no pre-activation matrix of this shape
    const std::string expected = mf::to_json(m);
    mf::WriteSession session({Matrix()});
    mf::write(m, dir / "m.json", session);
    EXPECT_EQ(session.reread_numbers, relu.values.size());
    EXPECT_EQ(slurp(dir / "m.json"), expected);

    const std::string fifo = dir / "fifo";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::string received;
    std::thread reader([&] { received = slurp(fifo); });
    mf::write(m, fifo, session);
    reader.join();
    EXPECT_EQ(session.reread_numbers, 0u);
    EXPECT_EQ(received, expected);
}
