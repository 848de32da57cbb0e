// SPDX-License-Identifier: GPL-3.0-or-later
// This core's sustained throughput for the arithmetic the block chain does:
// float32 and float64 adds and multiplies (each product rounded on its own, no
// fused multiply-add), float64 divisions and square roots, float32 <-> float64
// conversions and the x87 extended-precision add, multiply and divide, at each
// vector width the CPU has (SSE2 128, AVX2 256, AVX-512 512 bits; chosen at
// run time).
//
// Each measurement runs many independent operations on values held in
// registers (no memory traffic, no dependency chains for the vector classes),
// so what it sees is how many operations per second the execution units
// retire.  The x87 unit has eight stack registers and no vector form: it runs
// six interleaved dependency chains, enough to cover its latencies.
#pragma once

#include <cstdint>
#include <string>

namespace bench {

enum class OpClass {
    F32Add,
    F32Mul,
    F64Add,
    F64Mul,
    F64Div,
    F64Sqrt,
    Convert, // float32 <-> float64: a rounding of a double to float and back counts two
    X87Add,
    X87Mul,
    X87Div,
};
inline constexpr int OpClassCount = 10;

enum class Width { Sse128, Avx256, Avx512, X87 };

const char* OpClassName(OpClass op);
const char* WidthName(Width width);

// The widths this op class exists in (x87 classes: X87 only; the rest the
// three vector widths).
bool OpClassHasWidth(OpClass op, Width width);
// Whether this CPU runs the width.
bool WidthSupported(Width width);

// Runs `rounds` rounds of the class's operations at the width and returns the
// number of element operations done.  The width must be supported.
int64_t RunOperations(OpClass op, Width width, int64_t rounds);

// The widest vector width this CPU runs.
Width WidestWidth();

// Float64 adds, float64 multiplies and conversions in the proportions of the
// given counts, issued together (the core overlaps what it can), `rounds`
// rounds at the width.  Returns how many times the given counts were done.
double RunMix(Width width, double adds, double muls, double conversions, int64_t rounds);

} // namespace bench
