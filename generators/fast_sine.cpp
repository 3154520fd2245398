#include "generators/fast_sine.h"

#include "generators/vector_clones.h"

namespace vantoro {

VANTORO_VECTOR_CLONES void FastSinBlock(const double* x, double* out, int count) {
    for (int k = 0; k < count; ++k)
        out[k] = fast_trig::SinCosKernel(x[k], 0);
}

VANTORO_VECTOR_CLONES void FastCosBlock(const double* x, double* out, int count) {
    for (int k = 0; k < count; ++k)
        out[k] = fast_trig::SinCosKernel(x[k], 1);
}

} // namespace vantoro
