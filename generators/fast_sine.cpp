#include "generators/fast_sine.h"

// The loops below vectorise; on x86-64 Linux they are also built for AVX2 and
// the better one is picked when the library loads. Fused multiply-add stays
// off either way, so every build computes the same values. The sanitizers'
// runtimes are not ready when the loader picks, so their builds keep one.
#if defined(__x86_64__) && defined(__linux__) && !defined(__clang__) &&                            \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define VANTORO_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define VANTORO_VECTOR_CLONES
#endif

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
