// The row-scaling product with a layer's forward steps: the bias, and the bias then relu.
#include "core/scaled_rows.h"

namespace wexo::kernels {

template void scaled_rows<Steps::bias>(std::size_t, std::size_t, std::size_t, View, const float*, std::size_t, float*,
                                       std::size_t, Epilogue);
template void scaled_rows<Steps::bias_relu>(std::size_t, std::size_t, std::size_t, View, const float*, std::size_t,
                                            float*, std::size_t, Epilogue);

}  // namespace wexo::kernels
