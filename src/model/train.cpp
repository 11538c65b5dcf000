// The full-batch epoch loop, written once for both model kinds.
#include "model/train.h"

#include <utility>

#include "model/model_file.h"
#include "model/kinds.h"
#include "model/report.h"

namespace wexo::model {

void prepare(std::vector<Layer>& layers, DynamicOptimizer& opt) {
    for (Layer& l : layers) layer::init(l);
    opt.current_learning_rate = opt.learning_rate;
}

std::uint16_t print_interval(std::uint16_t num_epochs, std::uint16_t print_freq) {
    WEXO_CHECK(print_freq != 0, "attempt to divide by zero");
    return static_cast<std::uint16_t>(num_epochs / print_freq);
}

namespace {

// Buffers that live for the whole call, so that steady-state epochs allocate nothing.
template <class Kind>
struct Workspace {
    Matrix outputs;
    Matrix grad;
    Matrix scratch;
    Matrix parked;  // the training batch while a validation pass has the first layer's `inputs`
    typename Kind::Predictions predicted;
    std::string line;
};

// x is the call's own copy of the batch. When the first layer keeps its input, x becomes that layer's `inputs` and
// is read there every epoch: the batch is held once, never copied again.
template <class Kind>
void run(typename Kind::Model& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
         Matrix x, const typename Kind::Targets& y, const Matrix& val_x, const typename Kind::Targets& val_y) {
    Workspace<Kind> w;
    const bool validate = !val_x.empty_shape();
    const BatchNames x_names{"x", "y", x.n_rows, m.layers.size()};  // for messages
    const BatchNames val_names{"val_x", "val_y", val_x.n_rows, m.layers.size()};
    const bool stored = first_layer_keeps_input(m.layers);
    if (stored) m.layers.front().inputs = std::move(x);
    bool parked = false;  // x is in w.parked, and the first layer holds the last validation batch
    std::uint32_t print_counter = 0;  // compared on its low 16 bits
    float best_loss = 0.0f;
    // The batch's buffer stays put while it moves between the first layer and w.parked.
    model_file::WriteSession file_session({stored ? m.layers.front().inputs : x, val_x});
    for (std::uint32_t e = 1; e <= num_epochs; ++e) {
        const auto epoch = static_cast<std::uint16_t>(e);

        if (stored) {
            // Taken back only now: until this pass the layer keeps what the last forward pass stored (a model
            // file written after a validation pass holds the validation batch, as with a copying pass).
            if (parked) std::swap(w.parked, m.layers.front().inputs);
            parked = false;
            forward_stored(m, true, w.outputs);
        } else {
            forward(m, x, true, w.outputs);
        }
        Kind::predict(m, w.outputs, w.predicted);
        const float data_loss = Kind::data_loss(m, w.outputs, w.predicted, y, x_names);
        const float reg_loss = regularization_loss(m.layers);
        if (epoch == 1) best_loss = data_loss;
        const float acc = Kind::accuracy(m, w.predicted, y, x_names);

        ++print_counter;
        if ((print_counter & 0xFFFFu) == print_interval) {
            report::progress(w.line, epoch, acc, data_loss, reg_loss, m.loss_type, opt.current_learning_rate);
            print_counter = validate ? print_interval : 0;  // lets this epoch's validation line through
        }

        Kind::loss_gradient(w.outputs, y, w.grad, x_names);
        bool relu_applied = false;
        for (std::size_t i = m.layers.size(); i-- > 0;) {
            const Layer* below = i != 0 ? &m.layers[i - 1] : nullptr;  // the first layer's input gradient is unused
            const layer::InputGrad input{below != nullptr,
                                         below && below->activation_type == kRelu ? &below->activation_inputs : nullptr};
            relu_applied = layer::backward(m.layers[i], w.grad, w.scratch, input, relu_applied);
        }

        optimizer::pre_update(opt);
        for (Layer& l : m.layers) optimizer::update(opt, l);
        optimizer::post_update(opt);

        if (validate) {
            if (stored) {
                std::swap(w.parked, m.layers.front().inputs);  // the pass below stores val_x there
                parked = true;
            }
            forward(m, val_x, false, w.outputs);
            Kind::predict(m, w.outputs, w.predicted);
            const float val_loss = Kind::data_loss(m, w.outputs, w.predicted, val_y, val_names);
            const float val_reg = regularization_loss(m.layers);
            const float val_acc = Kind::accuracy(m, w.predicted, val_y, val_names);
            if ((print_counter & 0xFFFFu) == print_interval) {
                report::validation(w.line, val_acc, val_loss, val_reg, m.loss_type);
                print_counter = 0;
            }
        }

        // The training loss before this update decides; the file gets the parameters after it.
        if (!m.save_best_params.empty() && best_loss > data_loss) {
            model_file::write(m, m.save_best_params, file_session);
            best_loss = data_loss;
        }
    }
}

}  // namespace

void train(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
           Matrix x, const ClassVector& y, const Matrix& val_x, const ClassVector& val_y) {
    run<CategoricalKind>(m, opt, num_epochs, print_interval, std::move(x), y, val_x, val_y);
}

void train(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
           Matrix x, const Vector& y, const Matrix& val_x, const Vector& val_y) {
    run<LinearKind>(m, opt, num_epochs, print_interval, std::move(x), y, val_x, val_y);
}

}  // namespace wexo::model
