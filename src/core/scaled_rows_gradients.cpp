// The row-scaling product with the gradients' steps: none, the relu mask of an input gradient, and the column sums
// of a weight gradient's bias.
#include "core/scaled_rows.h"

namespace wexo::kernels {

template void scaled_rows<Steps::none>(std::size_t, std::size_t, std::size_t, View, const float*, std::size_t, float*,
                                       std::size_t, Epilogue);
template void scaled_rows<Steps::mask>(std::size_t, std::size_t, std::size_t, View, const float*, std::size_t, float*,
                                       std::size_t, Epilogue);
template void scaled_rows<Steps::sums>(std::size_t, std::size_t, std::size_t, View, const float*, std::size_t, float*,
                                       std::size_t, Epilogue);

}  // namespace wexo::kernels
