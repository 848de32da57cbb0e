// SPDX-License-Identifier: GPL-3.0-or-later
// Register-only microkernels for the throughput of each op class and width.
#include "bench/core_throughput.h"

#include <algorithm>
#include <cmath>

// GCC 12 warns inside its own AVX-512 conversion intrinsics (an undefined
// pass-through operand) wherever they are inlined.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include <immintrin.h>
#pragma GCC diagnostic pop

namespace bench {

namespace {

// Twelve independent operations per round.  The empty asm statements tell the
// compiler that the inputs change every round and that every result is used,
// so nothing is hoisted, folded or dropped; they emit no instruction.
#define RX_EACH12(X) X(0) X(1) X(2) X(3) X(4) X(5) X(6) X(7) X(8) X(9) X(10) X(11)
#define RX_DECLARE(j) V x##j = c;
#define RX_APPLY(OP, j)                                                                            \
    {                                                                                              \
        const V y = OP(x##j, c);                                                                   \
        asm volatile("" ::"v"(y));                                                                 \
    }
#define RX_APPLY12(OP) RX_EACH12_OF(RX_APPLY, OP)
#define RX_EACH12_OF(X, A)                                                                         \
    X(A, 0)                                                                                        \
    X(A, 1) X(A, 2) X(A, 3) X(A, 4) X(A, 5) X(A, 6) X(A, 7) X(A, 8) X(A, 9) X(A, 10) X(A, 11)
#define RX_LAUNDER                                                                                 \
    asm volatile(""                                                                                \
                 : "+v"(x0), "+v"(x1), "+v"(x2), "+v"(x3), "+v"(x4), "+v"(x5), "+v"(x6), "+v"(x7), \
                   "+v"(x8), "+v"(x9), "+v"(x10), "+v"(x11))

// A kernel: `ELEMENTS` element operations per operation on a vector V.
#define RX_VECTOR_KERNEL(NAME, TARGET, V_, SET1, OP_, ELEMENTS)                                    \
    [[gnu::target(TARGET), gnu::noinline]] int64_t NAME(int64_t rounds) {                          \
        using V = V_;                                                                              \
        V c = SET1(1.0);                                                                           \
        asm volatile("" : "+v"(c));                                                                \
        RX_EACH12(RX_DECLARE)                                                                      \
        for (int64_t r = 0; r < rounds; ++r) {                                                     \
            RX_LAUNDER;                                                                            \
            RX_APPLY12(OP_)                                                                        \
        }                                                                                          \
        return rounds * 12 * (ELEMENTS);                                                           \
    }

// One kernel per class for one width.  P is the intrinsic prefix (_mm,
// _mm256, _mm512), D the double vector, F the float vector, N the doubles
// per vector.
#define RX_WIDTH_KERNELS(W, TARGET, P, D, F, N)                                                    \
    RX_VECTOR_KERNEL(F32Add##W, TARGET, F, P##_set1_ps, P##_add_ps, 2 * (N))                       \
    RX_VECTOR_KERNEL(F32Mul##W, TARGET, F, P##_set1_ps, P##_mul_ps, 2 * (N))                       \
    RX_VECTOR_KERNEL(F64Add##W, TARGET, D, P##_set1_pd, P##_add_pd, N)                             \
    RX_VECTOR_KERNEL(F64Mul##W, TARGET, D, P##_set1_pd, P##_mul_pd, N)                             \
    RX_VECTOR_KERNEL(F64Div##W, TARGET, D, P##_set1_pd, P##_div_pd, N)                             \
    RX_VECTOR_KERNEL(F64Sqrt##W, TARGET, D, P##_set1_pd, W##Sqrt, N)                               \
    RX_VECTOR_KERNEL(Convert##W, TARGET, D, P##_set1_pd, W##RoundTrip, 2 * (N))

#define Sse128Sqrt(a, b) _mm_sqrt_pd(a)
#define Sse128RoundTrip(a, b) _mm_cvtps_pd(_mm_cvtpd_ps(a))
#define Avx256Sqrt(a, b) _mm256_sqrt_pd(a)
#define Avx256RoundTrip(a, b) _mm256_cvtps_pd(_mm256_cvtpd_ps(a))
#define Avx512Sqrt(a, b) _mm512_sqrt_pd(a)
#define Avx512RoundTrip(a, b) _mm512_cvtps_pd(_mm512_cvtpd_ps(a))

RX_WIDTH_KERNELS(Sse128, "sse2", _mm, __m128d, __m128, 2)
RX_WIDTH_KERNELS(Avx256, "avx2", _mm256, __m256d, __m256, 4)
RX_WIDTH_KERNELS(Avx512, "avx512f", _mm512, __m512d, __m512, 8)

// Mixed: per group of twelve, adds, multiplies and conversion round trips,
// each kind in as many groups per round as its share asks, the kinds
// interleaved so the core can overlap them as far as it is able.
#define RX_MIX_KERNEL(NAME, TARGET, V_, SET1, ADD, MUL, ROUNDTRIP)                                 \
    [[gnu::target(TARGET), gnu::noinline]] void NAME(int64_t rounds, int adds, int muls,           \
                                                     int conversions) {                            \
        using V = V_;                                                                              \
        V c = SET1(1.0);                                                                           \
        asm volatile("" : "+v"(c));                                                                \
        RX_EACH12(RX_DECLARE)                                                                      \
        const int groups = std::max({adds, muls, conversions});                                    \
        for (int64_t r = 0; r < rounds; ++r) {                                                     \
            for (int g = 0; g < groups; ++g) {                                                     \
                RX_LAUNDER;                                                                        \
                if (g < adds) {                                                                    \
                    RX_APPLY12(ADD)                                                                \
                }                                                                                  \
                if (g < muls) {                                                                    \
                    RX_APPLY12(MUL)                                                                \
                }                                                                                  \
                if (g < conversions) {                                                             \
                    RX_APPLY12(ROUNDTRIP)                                                          \
                }                                                                                  \
            }                                                                                      \
        }                                                                                          \
    }

RX_MIX_KERNEL(MixSse128, "sse2", __m128d, _mm_set1_pd, _mm_add_pd, _mm_mul_pd, Sse128RoundTrip)
RX_MIX_KERNEL(MixAvx256, "avx2", __m256d, _mm256_set1_pd, _mm256_add_pd, _mm256_mul_pd,
              Avx256RoundTrip)
RX_MIX_KERNEL(MixAvx512, "avx512f", __m512d, _mm512_set1_pd, _mm512_add_pd, _mm512_mul_pd,
              Avx512RoundTrip)

// x87: six chains, each value stays near 1 (adding 1 for 10^9 rounds loses
// nothing that matters here); the operand is read from memory once so the
// compiler cannot fold it.
#define RX_X87_KERNEL(NAME, EXPR)                                                                  \
    [[gnu::noinline]] int64_t NAME(int64_t rounds) {                                               \
        static volatile long double one = 1.0L;                                                    \
        const long double c = one;                                                                 \
        long double a0 = c, a1 = c + 1, a2 = c + 2, a3 = c + 3, a4 = c + 4, a5 = c + 5;            \
        for (int64_t r = 0; r < rounds; ++r) {                                                     \
            a0 = EXPR(a0, c);                                                                      \
            a1 = EXPR(a1, c);                                                                      \
            a2 = EXPR(a2, c);                                                                      \
            a3 = EXPR(a3, c);                                                                      \
            a4 = EXPR(a4, c);                                                                      \
            a5 = EXPR(a5, c);                                                                      \
        }                                                                                          \
        one = a0 + a1 + a2 + a3 + a4 + a5;                                                         \
        return rounds * 6;                                                                         \
    }
#define RX_ADD(a, b) ((a) + (b))
#define RX_MUL(a, b) ((a) * (b))
#define RX_DIV(a, b) ((a) / (b))
RX_X87_KERNEL(X87AddKernel, RX_ADD)
RX_X87_KERNEL(X87MulKernel, RX_MUL)
RX_X87_KERNEL(X87DivKernel, RX_DIV)

using Kernel = int64_t (*)(int64_t);

Kernel VectorKernel(OpClass op, Width width) {
#define RX_PICK(W)                                                                                 \
    switch (op) {                                                                                  \
    case OpClass::F32Add:                                                                          \
        return F32Add##W;                                                                          \
    case OpClass::F32Mul:                                                                          \
        return F32Mul##W;                                                                          \
    case OpClass::F64Add:                                                                          \
        return F64Add##W;                                                                          \
    case OpClass::F64Mul:                                                                          \
        return F64Mul##W;                                                                          \
    case OpClass::F64Div:                                                                          \
        return F64Div##W;                                                                          \
    case OpClass::F64Sqrt:                                                                         \
        return F64Sqrt##W;                                                                         \
    case OpClass::Convert:                                                                         \
        return Convert##W;                                                                         \
    default:                                                                                       \
        return nullptr;                                                                            \
    }
    switch (width) {
    case Width::Sse128:
        RX_PICK(Sse128)
    case Width::Avx256:
        RX_PICK(Avx256)
    case Width::Avx512:
        RX_PICK(Avx512)
    default:
        return nullptr;
    }
#undef RX_PICK
}

bool IsX87(OpClass op) {
    return op == OpClass::X87Add || op == OpClass::X87Mul || op == OpClass::X87Div;
}

} // namespace

const char* OpClassName(OpClass op) {
    switch (op) {
    case OpClass::F32Add:
        return "f32_add";
    case OpClass::F32Mul:
        return "f32_mul";
    case OpClass::F64Add:
        return "f64_add";
    case OpClass::F64Mul:
        return "f64_mul";
    case OpClass::F64Div:
        return "f64_div";
    case OpClass::F64Sqrt:
        return "f64_sqrt";
    case OpClass::Convert:
        return "convert";
    case OpClass::X87Add:
        return "x87_add";
    case OpClass::X87Mul:
        return "x87_mul";
    case OpClass::X87Div:
        return "x87_div";
    }
    return "?";
}

const char* WidthName(Width width) {
    switch (width) {
    case Width::Sse128:
        return "sse128";
    case Width::Avx256:
        return "avx256";
    case Width::Avx512:
        return "avx512";
    case Width::X87:
        return "x87";
    }
    return "?";
}

bool OpClassHasWidth(OpClass op, Width width) {
    return IsX87(op) == (width == Width::X87);
}

bool WidthSupported(Width width) {
    switch (width) {
    case Width::Sse128:
    case Width::X87:
        return true;
    case Width::Avx256:
        return __builtin_cpu_supports("avx2");
    case Width::Avx512:
        return __builtin_cpu_supports("avx512f");
    }
    return false;
}

Width WidestWidth() {
    if (WidthSupported(Width::Avx512)) return Width::Avx512;
    if (WidthSupported(Width::Avx256)) return Width::Avx256;
    return Width::Sse128;
}

double RunMix(Width width, double adds, double muls, double conversions, int64_t rounds) {
    // Scaled so that the largest kind fills 32 groups of 12 vectors a round.
    const double largest = std::max({adds, muls, conversions / 2});
    if (largest <= 0) return 0;
    const auto groups = [&](double n) { return int(std::lround(32 * n / largest)); };
    const int addGroups = groups(adds);
    const int mulGroups = groups(muls);
    const int conversionGroups = groups(conversions / 2); // a round trip is two
    switch (width) {
    case Width::Avx512:
        MixAvx512(rounds, addGroups, mulGroups, conversionGroups);
        break;
    case Width::Avx256:
        MixAvx256(rounds, addGroups, mulGroups, conversionGroups);
        break;
    default:
        MixSse128(rounds, addGroups, mulGroups, conversionGroups);
        break;
    }
    const double lanes = width == Width::Avx512 ? 8 : width == Width::Avx256 ? 4 : 2;
    // Each round did 32 x 12 vectors of the largest kind: this many times
    // the counts asked for.
    return double(rounds) * 32 * 12 * lanes / largest;
}

int64_t RunOperations(OpClass op, Width width, int64_t rounds) {
    switch (op) {
    case OpClass::X87Add:
        return X87AddKernel(rounds);
    case OpClass::X87Mul:
        return X87MulKernel(rounds);
    case OpClass::X87Div:
        return X87DivKernel(rounds);
    default:
        return VectorKernel(op, width)(rounds);
    }
}

} // namespace bench
