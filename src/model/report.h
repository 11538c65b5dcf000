// The printed lines of training and evaluation, for both model kinds. Each call writes one line to fd 1;
// `line` is a caller-kept buffer so a 60000-line report allocates once.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace wexo::report {

void progress(std::string& line, std::uint16_t epoch, float accuracy, float data_loss, float reg_loss,
              std::string_view loss_type, float learning_rate);
void validation(std::string& line, float accuracy, float data_loss, float reg_loss, std::string_view loss_type);

void categorical_sample(std::string& line, std::int32_t truth, std::int32_t predicted, float certainty);
void categorical_summary(std::string& line, float accuracy_percent);
void linear_sample(std::string& line, float truth, float predicted, float error);
void linear_summary(std::string& line, float mean_squared_error, float accuracy_percent);

}  // namespace wexo::report
