#pragma once

// Hot block passes are built for AVX-512, for AVX2 with FMA and for baseline x86-64, and the loader picks the
// one the CPU runs; the builds differ only in rounding (FMA contraction). Sanitizer builds keep the baseline
// only: the ifunc resolvers that multiversioning creates run before the sanitizer's runtime is up.
#if defined(TQ4_NO_MULTIVERSIONING)
#define TQ4_VECTOR_CLONES
#else
#define TQ4_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "arch=x86-64-v3", "default")))
#endif
