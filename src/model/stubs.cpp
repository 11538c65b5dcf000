// Temporary stand-ins so the tree links while the units are written; delete each as it is implemented.
#include "model/model.h"
#include "model/train.h"

namespace wexo::model {
void forward(CategoricalModel&, const Matrix&, bool, Matrix&) { fail("not implemented"); }
void forward(LinearModel&, const Matrix&, bool, Matrix&) { fail("not implemented"); }
void predict(std::string_view, const Matrix&, ClassVector&) { fail("not implemented"); }
float regularization_loss(const std::vector<Layer>&) { fail("not implemented"); }
void test(CategoricalModel&, const Matrix&, const ClassVector&) { fail("not implemented"); }
void test(LinearModel&, const Matrix&, const Vector&) { fail("not implemented"); }
void prepare(std::vector<Layer>&, DynamicOptimizer&) { fail("not implemented"); }
std::uint16_t print_interval(std::uint16_t, std::uint16_t) { fail("not implemented"); }
void train(CategoricalModel&, DynamicOptimizer&, std::uint16_t, std::uint16_t, const Matrix&, const ClassVector&,
           const Matrix&, const ClassVector&) { fail("not implemented"); }
void train(LinearModel&, DynamicOptimizer&, std::uint16_t, std::uint16_t, const Matrix&, const Vector&, const Matrix&,
           const Vector&) { fail("not implemented"); }
}  // namespace wexo::model
