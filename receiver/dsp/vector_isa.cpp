// SPDX-License-Identifier: GPL-3.0-or-later
#include "receiver/dsp/vector_isa.h"

namespace dsp {

bool VectorIsaSupported(VectorIsa isa) {
#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
    switch (isa) {
    case VectorIsa::Baseline:
        return true;
    case VectorIsa::Avx2:
        return __builtin_cpu_supports("avx2");
    case VectorIsa::Avx512:
        return __builtin_cpu_supports("avx512f");
    }
    return false;
#else
    return isa == VectorIsa::Baseline;
#endif
}

VectorIsa BestVectorIsa() {
    static const VectorIsa Best = [] {
        if (VectorIsaSupported(VectorIsa::Avx512)) return VectorIsa::Avx512;
        if (VectorIsaSupported(VectorIsa::Avx2)) return VectorIsa::Avx2;
        return VectorIsa::Baseline;
    }();
    return Best;
}

std::vector<VectorIsa> SupportedVectorIsas() {
    std::vector<VectorIsa> isas;
    for (VectorIsa isa : {VectorIsa::Baseline, VectorIsa::Avx2, VectorIsa::Avx512})
        if (VectorIsaSupported(isa)) isas.push_back(isa);
    return isas;
}

const char* VectorIsaName(VectorIsa isa) {
    switch (isa) {
    case VectorIsa::Baseline:
        return "baseline";
    case VectorIsa::Avx2:
        return "avx2";
    case VectorIsa::Avx512:
        return "avx512";
    }
    return "?";
}

} // namespace dsp
