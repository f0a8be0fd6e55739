#pragma once

// Hot pixel loops get an AVX-512 (x86-64-v4) and an AVX2 variant where the processor has one,
// chosen once at load time.
// The resolver that makes the choice runs before ThreadSanitizer's runtime is ready and
// crashes it, so that build goes without.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__) && !defined(__SANITIZE_THREAD__)
#define LUMATAP_VECTOR_CLONES __attribute__((target_clones("arch=x86-64-v4", "avx2", "default")))
#else
#define LUMATAP_VECTOR_CLONES
#endif
