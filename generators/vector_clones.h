// Marks a function whose loops vectorise: on x86-64 Linux it is also built
// for AVX2 and the better build is picked when the library loads. Fused
// multiply-add stays off either way, so every build computes the same values.
// The sanitizers' runtimes are not ready when the loader picks, so their
// builds keep one.
#pragma once

#if defined(__x86_64__) && defined(__linux__) && !defined(__clang__) &&                            \
    !defined(__SANITIZE_THREAD__) && !defined(__SANITIZE_ADDRESS__)
#define VANTORO_VECTOR_CLONES __attribute__((target_clones("avx512f", "avx2", "default")))
#else
#define VANTORO_VECTOR_CLONES
#endif
