// libFuzzer target: the model-file reader on arbitrary bytes, from memory in whole and in small chunks and from
// a file, for both kinds; whatever it accepts must write out and read back to the same bytes.
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>

#include "core/check.h"
#include "model/model_file.h"

namespace {

// The written JSON of what was read, or the abort message.
struct Outcome {
    std::optional<std::string> json;
    std::string message;
};

template <class Read>
Outcome attempt(Read&& read) {
    try {
        return {wexo::model_file::to_json(read()), {}};
    } catch (const wexo::Abort& e) {
        return {std::nullopt, e.what()};
    }
}

[[noreturn]] void disagree(const char* what, const Outcome& a, const Outcome& b) {
    std::fprintf(stderr, "fuzz_model_file: %s disagree:\n  %s\n  %s\n", what,
                 a.json ? a.json->c_str() : a.message.c_str(), b.json ? b.json->c_str() : b.message.c_str());
    std::abort();
}

// One file for the whole run, rewritten per input: the reader takes a path.
struct InputFile {
    int fd;
    std::string path;
};

const InputFile& input_file() {
    static const InputFile file = [] {
        const int fd = ::memfd_create("fuzz_model_file", 0);
        if (fd < 0) std::abort();
        return InputFile{fd, "/proc/self/fd/" + std::to_string(fd)};
    }();
    return file;
}

void write_input_file(std::string_view bytes) {
    const int fd = input_file().fd;
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, bytes.data(), bytes.size(), 0) != static_cast<ssize_t>(bytes.size()))
        std::abort();
}

template <class Parse, class ReadFile>
void check_kind(std::string_view bytes, std::size_t chunk, Parse parse, ReadFile read_file) {
    const Outcome whole = attempt([&] { return parse(bytes, std::size_t{1} << 16); });
    const Outcome chunked = attempt([&] { return parse(bytes, chunk); });
    if (whole.json != chunked.json || whole.message != chunked.message) disagree("whole and chunked", whole, chunked);
    const Outcome from_file = attempt([&] { return read_file(input_file().path); });
    // The file reader puts its path before the same Error(...) text.
    if (whole.json != from_file.json || !std::string_view(from_file.message).ends_with(whole.message))
        disagree("memory and file", whole, from_file);
    if (!whole.json) return;
    const Outcome again = attempt([&] { return parse(*whole.json, std::size_t{1} << 16); });
    if (again.json != whole.json) disagree("written and read back", whole, again);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    write_input_file(bytes);
    const std::size_t chunk = 1 + size % 7;  // buffer boundaries fall anywhere in the input
    check_kind(bytes, chunk, wexo::model_file::parse_linear, wexo::model_file::read_linear);
    check_kind(bytes, chunk, wexo::model_file::parse_categorical, wexo::model_file::read_categorical);
    return 0;
}
