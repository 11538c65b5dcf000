// Model files: the exact compact JSON image of a model record, and the strict reader.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "model/records.h"

namespace wexo::model_file {

// Replaces the file at path with the model's JSON; aborts with the OS error when it cannot.
void write(const LinearModel& model, const std::string& path);
void write(const CategoricalModel& model, const std::string& path);

// In-memory form of the same bytes (tests, benchmarks).
std::string to_json(const LinearModel& model);
std::string to_json(const CategoricalModel& model);

// Aborts with the OS error, or with Error("<message>", line: L, column: C).
LinearModel read_linear(const std::string& path);
CategoricalModel read_categorical(const std::string& path);

// The same reading from bytes in memory, fed to the reader `chunk` bytes at a time (tests); aborts with the
// bare Error(...) text.
LinearModel parse_linear(std::string_view json, std::size_t chunk = 1 << 16);
CategoricalModel parse_categorical(std::string_view json, std::size_t chunk = 1 << 16);

}  // namespace wexo::model_file
