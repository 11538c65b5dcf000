// Progress, validation and evaluation lines, laid out piece by piece.
#include "model/report.h"

#include <charconv>

#include "core/text.h"

namespace wexo::report {

namespace {

void append_int(std::string& out, long long v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

// "epoch" right-aligned in 4 columns; wider numbers print in full
void append_epoch(std::string& out, std::uint16_t epoch) {
    char buf[8];
    const auto r = std::to_chars(buf, buf + sizeof buf, epoch);
    const auto n = static_cast<std::size_t>(r.ptr - buf);
    if (n < 4) out.append(4 - n, ' ');
    out.append(buf, r.ptr);
}

// ", loss: <total> [<loss_type>: <data>, reg: <reg>]" shared by progress and validation lines
void append_losses(std::string& out, float data_loss, float reg_loss, std::string_view loss_type) {
    out += ", loss: ";
    text::append_fixed(out, data_loss + reg_loss, 3);
    out += " [";
    out += loss_type;
    out += ": ";
    text::append_fixed(out, data_loss, 3);
    out += ", reg: ";
    text::append_fixed(out, reg_loss, 3);
    out += ']';
}

}  // namespace

void progress(std::string& line, std::uint16_t epoch, float accuracy, float data_loss, float reg_loss,
              std::string_view loss_type, float learning_rate) {
    line.assign("epoch: ");
    append_epoch(line, epoch);
    line += ", acc: ";
    text::append_fixed(line, accuracy, 3);
    append_losses(line, data_loss, reg_loss, loss_type);
    line += ", lr ";
    text::append_shortest_positional(line, learning_rate);
    line += '\n';
    text::write_stdout(line);
}

void validation(std::string& line, float accuracy, float data_loss, float reg_loss, std::string_view loss_type) {
    line.assign("validation:  acc: ");
    text::append_fixed(line, accuracy, 3);
    append_losses(line, data_loss, reg_loss, loss_type);
    line += '\n';
    text::write_stdout(line);
}

void categorical_sample(std::string& line, std::int32_t truth, std::int32_t predicted, float certainty) {
    line.assign("True: ");
    append_int(line, truth);
    line += ", Predicted: ";
    append_int(line, predicted);
    line += ", Certainty: ";
    text::append_fixed(line, certainty, 1);
    line += "%\n";
    text::write_stdout(line);
}

void categorical_summary(std::string& line, float accuracy_percent) {
    line.assign("Validation accuracy ");
    text::append_fixed(line, accuracy_percent, 1);
    line += "%\n";
    text::write_stdout(line);
}

void linear_sample(std::string& line, float truth, float predicted, float error) {
    line.assign("True: ");
    text::append_fixed(line, truth, 3);
    line += ", Predicted: ";
    text::append_fixed(line, predicted, 3);
    line += ", Error ";
    text::append_fixed(line, error, 3);
    line += '\n';
    text::write_stdout(line);
}

void linear_summary(std::string& line, float mean_squared_error, float accuracy_percent) {
    line.assign("Validation MSE: ");
    text::append_fixed(line, mean_squared_error, 3);
    line += ", Accuracy ";
    text::append_fixed(line, accuracy_percent, 1);
    line += "%\n";
    text::write_stdout(line);
}

}  // namespace wexo::report
