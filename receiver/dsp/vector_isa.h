// SPDX-License-Identifier: GPL-3.0-or-later
// The vector instruction sets the chain's fast kernels are built for.  Each
// kernel is compiled once per set from the same loops; the chain runs the
// widest one this CPU has, chosen at run time.  Every variant gives the same
// bits as the kernel's plain per-lag form: the loops keep each element's order
// of operations and only run many elements side by side.
#pragma once

#include <vector>

namespace dsp {

enum class VectorIsa {
    Baseline, // x86-64 SSE2, 128-bit
    Avx2,     // 256-bit
    Avx512,   // AVX-512F, 512-bit
};

// The widest set this CPU runs (found once).
VectorIsa BestVectorIsa();
bool VectorIsaSupported(VectorIsa isa);
// Every set this CPU runs, narrowest first.
std::vector<VectorIsa> SupportedVectorIsas();
const char* VectorIsaName(VectorIsa isa);

} // namespace dsp

// The function attributes of a kernel variant.  AVX-512 vectors are used at
// their full width (the compiler's default tuning would stop at 256 bits).
#define RX_TARGET_AVX2 gnu::target("avx2")
#define RX_TARGET_AVX512 gnu::target("avx512f,prefer-vector-width=512")
