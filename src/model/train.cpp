// A training call's start, and the full-batch epoch loop, written once for both model kinds.
#include "model/train.h"

#include <utility>

#include "core/blas_threads.h"
#include "model/kinds.h"
#include "model/model_file.h"
#include "model/report.h"
#include "nn/network.h"

namespace wexo::model {

namespace {

// Buffers that live for the whole call, so that steady-state epochs allocate nothing.
template <class Kind>
struct Workspace {
    Matrix outputs;
    Matrix grad;
    Matrix scratch;
    typename Kind::Predictions predicted;
    std::string line;
};

template <class Kind>
void run(typename Kind::Model& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
         Matrix x, const typename Kind::Targets& y, const Matrix& val_x, const typename Kind::Targets& val_y) {
    Workspace<Kind> w;
    PartHelperScope helpers(num_epochs);  // threads for mid-size products, for this call only
    const bool validate = !val_x.empty_shape();
    const BatchNames x_names{"x", "y", x.n_rows, m.layers.size()};  // for messages
    const BatchNames val_names{"val_x", "val_y", val_x.n_rows, m.layers.size()};
    network::TrainingBatch batch = network::hold(m.layers, std::move(x));
    std::uint32_t print_counter = 0;  // compared on its low 16 bits
    float best_loss = 0.0f;
    // The training batch stays in one buffer while the call holds it, wherever it is.
    model_file::WriteSession file_session({network::inputs(batch, m.layers), val_x});
    for (std::uint32_t e = 1; e <= num_epochs; ++e) {
        const auto epoch = static_cast<std::uint16_t>(e);
        helpers.begin_epoch();

        forward(m, batch, w.outputs);
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
        network::backward(m.layers, w.grad, w.scratch);

        optimizer::pre_update(opt);
        for (Layer& l : m.layers) optimizer::update(opt, l);
        optimizer::post_update(opt);

        if (validate) {
            forward_validation(m, batch, val_x, w.outputs);
            Kind::predict(m, w.outputs, w.predicted);
            const float val_loss = Kind::data_loss(m, w.outputs, w.predicted, val_y, val_names);
            const float val_reg = regularization_loss(m.layers);
            const float val_acc = Kind::accuracy(m, w.predicted, val_y, val_names);
            if ((print_counter & 0xFFFFu) == print_interval) {
                report::validation(w.line, val_acc, val_loss, val_reg, m.loss_type);
                print_counter = 0;
            }
        }

        helpers.end_epoch();

        // The training loss before this update decides; the file gets the parameters after it.
        if (!m.save_best_params.empty() && best_loss > data_loss) {
            model_file::write(m, m.save_best_params, file_session);
            best_loss = data_loss;
        }
    }
}

template <class Kind>
void start(typename Kind::Model& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_freq,
           const TrainingArrays<typename Kind::Targets>& arrays) {
    for (Layer& l : m.layers) layer::init(l);
    opt.current_learning_rate = opt.learning_rate;
    WEXO_CHECK(print_freq != 0, "attempt to divide by zero");
    const auto print_interval = static_cast<std::uint16_t>(num_epochs / print_freq);
    Matrix x = arrays.x();
    const auto y = arrays.y();
    const Matrix val_x = arrays.val_x();
    const auto val_y = arrays.val_y();
    run<Kind>(m, opt, num_epochs, print_interval, std::move(x), y, val_x, val_y);
}

}  // namespace

void train(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_freq,
           const TrainingArrays<ClassVector>& arrays) {
    start<CategoricalKind>(m, opt, num_epochs, print_freq, arrays);
}

void train(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_freq,
           const TrainingArrays<Vector>& arrays) {
    start<LinearKind>(m, opt, num_epochs, print_freq, arrays);
}

void run_epochs(CategoricalModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
                Matrix x, const ClassVector& y, const Matrix& val_x, const ClassVector& val_y) {
    run<CategoricalKind>(m, opt, num_epochs, print_interval, std::move(x), y, val_x, val_y);
}

void run_epochs(LinearModel& m, DynamicOptimizer& opt, std::uint16_t num_epochs, std::uint16_t print_interval,
                Matrix x, const Vector& y, const Matrix& val_x, const Vector& val_y) {
    run<LinearKind>(m, opt, num_epochs, print_interval, std::move(x), y, val_x, val_y);
}

}  // namespace wexo::model
