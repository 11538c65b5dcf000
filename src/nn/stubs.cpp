// Temporary stand-ins so the tree links while the units are written; delete each as it is implemented.
#include "nn/accuracy.h"
#include "nn/activation.h"
#include "nn/layer.h"
#include "nn/loss.h"
#include "optimizer/optimizer.h"

namespace wexo {
namespace layer {
void init(Layer&) { fail("not implemented"); }
void forward(Layer&, Matrix&, bool) { fail("not implemented"); }
void backward(Layer&, Matrix&, Matrix&, bool) { fail("not implemented"); }
}  // namespace layer
namespace activation {
void relu::forward(Matrix&, Matrix&) { fail("not implemented"); }
void relu::backward(const Matrix&, Matrix&) { fail("not implemented"); }
void softmax::forward(Matrix&) { fail("not implemented"); }
void linear::predict(const Matrix&, Vector&) { fail("not implemented"); }
}  // namespace activation
namespace loss {
float categorical_crossentropy::calculate(const Matrix&, const ClassVector&) { fail("not implemented"); }
void categorical_crossentropy::backward(const Matrix&, const ClassVector&, Matrix&) { fail("not implemented"); }
float mean_squared_error::calculate(const Vector&, const Vector&) { fail("not implemented"); }
void mean_squared_error::backward(const Matrix&, const Vector&, Matrix&) { fail("not implemented"); }
}  // namespace loss
namespace accuracy {
float categorical::calculate(const ClassVector&, const ClassVector&) { fail("not implemented"); }
float linear::calculate(const Vector&, const Vector&, float, std::size_t) { fail("not implemented"); }
}  // namespace accuracy
namespace optimizer {
void pre_update(DynamicOptimizer&) { fail("not implemented"); }
void update(const DynamicOptimizer&, Layer&) { fail("not implemented"); }
void post_update(DynamicOptimizer&) { fail("not implemented"); }
float integer_power(float, std::int32_t) { fail("not implemented"); }
void adam::update_params(const DynamicOptimizer&, Layer&) { fail("not implemented"); }
void adam::update_params_tf(const DynamicOptimizer&, Layer&) { fail("not implemented"); }
void sgd::update_params(const DynamicOptimizer&, Layer&) { fail("not implemented"); }
}  // namespace optimizer
}  // namespace wexo
