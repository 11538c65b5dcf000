// Temporary stand-ins so the tree links while the units are written; delete each as it is implemented.
#include "nn/layer.h"
#include "optimizer/optimizer.h"

namespace wexo {
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
